// What the emulated devices share: the board's configuration, the state of every device
// and the descriptor table, one emulation per process. Internal to sandbox/emu_*.cpp.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <mtd/mtd-user.h>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace emu_internal {

const char* const kPartNames[] = {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"};
constexpr int kPartCount = 6;
constexpr int kBusCount = 3;
constexpr size_t kI2cMaxTransfer = 8192; // i2c-dev cuts longer transfers to this
constexpr int kMuxAddr = 0x71;
constexpr int kEepromAddr = 0x52;
constexpr int kLedAddr = 0x58;
constexpr int kRtcAddr = 0x68;
constexpr size_t kEepromSize = 65536;
constexpr int kRtcRegs = 64;
constexpr size_t kChunk = 65536;

enum class Kind { i2c, flash };

struct EmuFd {
    Kind kind = Kind::i2c;
    int bus = -1;
    int addr = 0; // selected 7-bit address (i2c-dev starts at 0)
    int part = -1;
    int access = O_RDWR;
    uint64_t pos = 0;
};

struct BusAddr {
    int bus;
    int addr;
};

struct PartBlock {
    int part;
    uint64_t block;
};

struct BoardConfig {
    uint32_t erase_size = 65536;
    int64_t rtc_offset = 0;
    bool rtc_fixed = false;
    time_t rtc_fixed_time = 0;
    std::vector<int> missing_i2c;
    std::vector<BusAddr> naks;
    std::vector<PartBlock> read_faults, erase_faults, write_faults;
    uint64_t cut_after = 0; // 0: no power cut
};

struct Emu {
    bool dir_known = false;
    std::string dir;
    bool config_loaded = false;
    BoardConfig config;
    std::map<int, EmuFd> fds;
    uint8_t mux = 0;
    bool eeprom_loaded = false;
    std::vector<uint8_t> eeprom;
    uint16_t eeprom_ptr = 0;
    std::array<uint8_t, 256> led{};
    uint8_t led_ptr = 0;
    std::array<uint8_t, kRtcRegs> rtc_ram{};
    uint8_t rtc_ptr = 0;
    std::vector<std::pair<uint8_t, uint8_t>> led_writes;
    int nth_bus = -1, nth_addr = -1, nth_left = 0;
    uint64_t transfers = 0;
};

extern Emu g_emu;

// The emulation, its board directory and board.conf known (emu_devices.cpp).
Emu& emu();

// ---------------------------------------------------------------- board files (emu_config.cpp)

// Every board file may have been replaced from inside the sandbox by a link, a FIFO or a
// device: opens it without following a link or blocking, and refuses (with a message on
// stderr naming the file) anything but a regular file of at most max_size bytes. A missing
// file fails quietly with ENOENT.
int open_board_file(const std::string& path, int flags, uint64_t max_size);
// Index of a flash partition name in kPartNames, or -1.
int part_index(const std::string& name);
// Whether the emulated clock can show time t.
bool rtc_showable(int64_t t);
// Reads board.conf (and the clock offset of the environment) into e.config.
void load_config(Emu& e);
void append_event(const std::string& dir, const char* kind, const std::string& text);
// Whole positioned transfers; a read past the end of the file gives 0xFF bytes.
bool full_pread(int fd, uint8_t* buf, size_t n, uint64_t off);
bool full_pwrite(int fd, const uint8_t* buf, size_t n, uint64_t off);

inline bool can_read(const EmuFd& f) {
    return f.access == O_RDONLY || f.access == O_RDWR;
}
inline bool can_write(const EmuFd& f) {
    return f.access == O_WRONLY || f.access == O_RDWR;
}

// ---------------------------------------------------------------- power cuts (emu_power.cpp)

// Counts one write, erase, rename or fsync of this power-on: true when it is the one after
// which board.conf's cut_after ends the power-on.
bool power_op(Emu& e);
// The board loses power: an event line, then every process of the board ends at once.
[[noreturn]] void power_cut(Emu& e);

// ---------------------------------------------------------------- I2C devices (emu_i2c.cpp)

ssize_t i2c_write(Emu& e, const EmuFd& f, const uint8_t* data, size_t n);
ssize_t i2c_read(Emu& e, const EmuFd& f, uint8_t* data, size_t n);

// ---------------------------------------------------------------- flash (emu_flash.cpp)

// Whether the partition may be opened for writing: its size is a whole number of erase blocks.
bool flash_writeable(const Emu& e, int fd);
ssize_t flash_read(Emu& e, int fd, const EmuFd& f, void* buffer, size_t count, int64_t off);
ssize_t flash_program(Emu& e, int fd, const EmuFd& f, const void* buffer, size_t count,
                      int64_t off);
int flash_erase(Emu& e, int fd, const EmuFd& f, const erase_info_user* ei);
int flash_info(Emu& e, int fd, mtd_info_user* info);

} // namespace emu_internal
