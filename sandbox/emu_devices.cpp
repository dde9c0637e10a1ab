// Device seam bound to emulated devices: the sandbox build.
//
// /dev/i2c-0..2 and /dev/mtd-{uboot,ubootenv,devicetree,kernel,rfs,rescue} are
// served from the board directory (see board_layout.h); every other path and
// descriptor goes to the C library unchanged.
//
// An emulated I2C descriptor is a real descriptor of /dev/null (so its number
// can never be handed out twice); an emulated flash descriptor is the real
// descriptor of the partition's backing file. Both are kept at 3 or above and
// close on exec. Device behaviour follows the hardware closely:
//   bus 0: multiplexer 0x71 (one control byte), board EEPROM 0x52 behind
//          channel 0 (16-bit offsets, auto-increment, wraps at 64 KiB, written
//          through to eeprom.bin), LED controller 0x58 (byte registers);
//   bus 1: no devices;
//   bus 2: real-time clock 0x68 (DS1307-like: 7 BCD clock registers, control
//          and RAM up to 0x3F, clock registers read-only here).
// A transfer to an address with no reachable device fails with ENXIO.
// Flash: NOR rules (writes only clear bits, erase sets whole blocks to 0xFF
// and needs aligned ranges), reads past the end give 0 bytes, writes starting
// at or past the end fail with ENOSPC and writes running over it are cut short.
#include "board/devio.h"
#include "sandbox/board_layout.h"
#include "sandbox/emu.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <map>
#include <mtd/mtd-user.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

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

Emu g_emu;

// ---------------------------------------------------------------- board files

// Every board file may have been replaced from inside the sandbox by a link, a FIFO or a
// device: opens it without following a link or blocking, and refuses (with a message on
// stderr naming the file) anything but a regular file of at most max_size bytes. A missing
// file fails quietly with ENOENT.
int open_board_file(const std::string& path, int flags, uint64_t max_size) {
    int fd = open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0 && errno != ELOOP) return -1;
    struct stat st {};
    const char* why = nullptr;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "not a regular file";
    } else if (static_cast<uint64_t>(st.st_size) > max_size) {
        why = "larger than the emulation accepts";
    }
    if (why) {
        fprintf(stderr, "emulated board: %s: %s; refused\n", path.c_str(), why);
        if (fd >= 0) close(fd);
        errno = EINVAL;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// ---------------------------------------------------------------- board.conf

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool parse_u64(const std::string& text, uint64_t* out) {
    std::string t = trim(text);
    if (t.empty() || t[0] == '-' || t[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(t.c_str(), &end, 0);
    if (errno != 0 || end == t.c_str() || *end != '\0') return false;
    *out = v;
    return true;
}

bool parse_i64(const std::string& text, int64_t* out) {
    std::string t = trim(text);
    if (t.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long v = strtoll(t.c_str(), &end, 10);
    if (errno != 0 || end == t.c_str() || *end != '\0') return false;
    *out = v;
    return true;
}

int part_index(const std::string& name) {
    for (int i = 0; i < kPartCount; ++i) {
        if (name == kPartNames[i]) return i;
    }
    return -1;
}

bool parse_part_block(const std::string& value, PartBlock* out) {
    size_t colon = value.find(':');
    if (colon == std::string::npos) return false;
    int part = part_index(trim(value.substr(0, colon)));
    uint64_t block = 0;
    if (part < 0 || !parse_u64(value.substr(colon + 1), &block)) return false;
    *out = PartBlock{part, block};
    return true;
}

bool rtc_showable(int64_t t) {
    return t >= EMU_RTC_FIRST && t <= EMU_RTC_LAST;
}

// "YYYY-MM-DD HH:MM:SS" of a real date the clock can show.
bool parse_fixed_time(const std::string& value, time_t* out) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, used = 0;
    if (sscanf(value.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &used) != 6 ||
        value[size_t(used)] != '\0') {
        return false;
    }
    if (y < 2000 || y > 2099 || mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 ||
        mi > 59 || s < 0 || s > 59) {
        return false;
    }
    struct tm tm {};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    time_t t = timegm(&tm);
    struct tm check {};
    if (!gmtime_r(&t, &check) || check.tm_mday != d) return false; // 31 April and the like
    *out = t;
    return true;
}

// Whether the clock shows a time it can show with this offset: from the fixed time, or
// from the host's clock now.
bool rtc_offset_showable(const BoardConfig& c, int64_t offset) {
    int64_t base =
        c.rtc_fixed ? static_cast<int64_t>(c.rtc_fixed_time) : static_cast<int64_t>(time(nullptr));
    int64_t t = 0;
    return !__builtin_add_overflow(base, offset, &t) && rtc_showable(t);
}

const char kRtcRefused[] = ": the emulated clock shows " EMU_RTC_RANGE_TEXT " UTC only";

// Applies one line; returns "" or why a clock value was refused (the line is then ignored).
std::string apply_config_line(BoardConfig& c, const std::string& raw) {
    std::string line = trim(raw);
    if (line.empty() || line[0] == '#') return "";
    size_t eq = line.find('=');
    if (eq == std::string::npos) return "";
    std::string key = trim(line.substr(0, eq));
    std::string value = trim(line.substr(eq + 1));
    uint64_t u = 0;
    if (key == "erase_size") {
        if (parse_u64(value, &u) && u <= UINT32_MAX) c.erase_size = static_cast<uint32_t>(u);
    } else if (key == "rtc_offset") {
        int64_t v = 0;
        if (!parse_i64(value, &v) || !rtc_offset_showable(c, v)) return line + kRtcRefused;
        c.rtc_offset = v;
    } else if (key == "rtc_fixed") {
        time_t t = 0;
        if (!parse_fixed_time(value, &t)) return line + kRtcRefused;
        BoardConfig with_fixed = c;
        with_fixed.rtc_fixed = true;
        with_fixed.rtc_fixed_time = t;
        if (!rtc_offset_showable(with_fixed, c.rtc_offset)) return line + kRtcRefused;
        c = with_fixed;
    } else if (key == "fault_missing_i2c") {
        if (parse_u64(value, &u) && u < kBusCount) c.missing_i2c.push_back(static_cast<int>(u));
    } else if (key == "fault_nak") {
        size_t colon = value.find(':');
        uint64_t bus = 0, addr = 0;
        if (colon != std::string::npos && parse_u64(value.substr(0, colon), &bus) &&
            parse_u64(value.substr(colon + 1), &addr) && bus < kBusCount && addr <= 0x7F) {
            c.naks.push_back(BusAddr{static_cast<int>(bus), static_cast<int>(addr)});
        }
    } else if (key == "fault_flash_read" || key == "fault_flash_erase" ||
               key == "fault_flash_write") {
        PartBlock pb{};
        if (!parse_part_block(value, &pb)) return "";
        if (key == "fault_flash_read") c.read_faults.push_back(pb);
        if (key == "fault_flash_erase") c.erase_faults.push_back(pb);
        if (key == "fault_flash_write") c.write_faults.push_back(pb);
    }
    return "";
}

// Applies a whole board.conf text; *first_error gets the first refusal ("" when none).
void apply_config_text(BoardConfig& c, const std::string& text, std::string* first_error) {
    size_t start = 0, number = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        ++number;
        std::string why = apply_config_line(c, text.substr(start, end - start));
        if (!why.empty() && first_error->empty()) {
            *first_error = "line " + std::to_string(number) + ": " + why;
        }
        start = end + 1;
    }
}

void load_config(Emu& e) {
    e.config = BoardConfig();
    std::string path = e.dir + "/board.conf";
    std::string text;
    int fd = open_board_file(path, O_RDONLY, EMU_MAX_BOARD_CONF);
    if (fd >= 0) {
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) != 0) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 || text.size() + size_t(n) > EMU_MAX_BOARD_CONF) break;
            text.append(buf, size_t(n));
        }
        close(fd);
    }
    std::string error;
    apply_config_text(e.config, text, &error);
    if (!error.empty()) fprintf(stderr, "emulated board: %s: %s\n", path.c_str(), error.c_str());
    const char* env = getenv(SIM_RTC_OFFSET_ENV);
    int64_t v = 0;
    if (env && parse_i64(env, &v)) {
        if (rtc_offset_showable(e.config, v)) {
            e.config.rtc_offset = v;
        } else {
            fprintf(stderr, "emulated board: %s=%s%s\n", SIM_RTC_OFFSET_ENV, env, kRtcRefused);
        }
    }
    e.config_loaded = true;
}

Emu& emu() {
    if (!g_emu.dir_known) {
        const char* env = getenv(SIM_BOARD_ENV);
        g_emu.dir = (env && *env) ? env : SIM_BOARD_DEFAULT;
        g_emu.dir_known = true;
    }
    if (!g_emu.config_loaded) load_config(g_emu);
    return g_emu;
}

// ---------------------------------------------------------------- events.log

void append_event(const std::string& dir, const char* kind, const std::string& text) {
    emu_append_event(dir + "/events.log", kind, text);
}

// ---------------------------------------------------------------- helpers

bool full_pread(int fd, uint8_t* buf, size_t n, uint64_t off) {
    size_t done = 0;
    while (done < n) {
        ssize_t r = pread(fd, buf + done, n - done, static_cast<off_t>(off + done));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return false;
        if (r == 0) { // the backing file ended: the rest reads as erased
            memset(buf + done, 0xFF, n - done);
            return true;
        }
        done += static_cast<size_t>(r);
    }
    return true;
}

bool full_pwrite(int fd, const uint8_t* buf, size_t n, uint64_t off) {
    size_t done = 0;
    while (done < n) {
        ssize_t w = pwrite(fd, buf + done, n - done, static_cast<off_t>(off + done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

// Moves a fresh descriptor to 3 or above, close on exec.
int settle_fd(int fd) {
    if (fd < 0 || fd >= 3) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int saved = errno;
    close(fd);
    errno = saved;
    return moved;
}

EmuFd* find_fd(int fd) {
    if (fd < 0) return nullptr;
    auto it = g_emu.fds.find(fd);
    return it == g_emu.fds.end() ? nullptr : &it->second;
}

int i2c_path_bus(const char* path) {
    for (int bus = 0; bus < kBusCount; ++bus) {
        char name[32];
        snprintf(name, sizeof name, "/dev/i2c-%d", bus);
        if (strcmp(path, name) == 0) return bus;
    }
    return -1;
}

int mtd_path_part(const char* path) {
    static const char prefix[] = "/dev/mtd-";
    if (strncmp(path, prefix, sizeof prefix - 1) != 0) return -1;
    return part_index(path + sizeof prefix - 1);
}

bool can_read(const EmuFd& f) {
    return f.access == O_RDONLY || f.access == O_RDWR;
}
bool can_write(const EmuFd& f) {
    return f.access == O_WRONLY || f.access == O_RDWR;
}

// ---------------------------------------------------------------- EEPROM

void eeprom_load(Emu& e) {
    if (e.eeprom_loaded) return;
    e.eeprom.assign(kEepromSize, 0xFF);
    std::string path = e.dir + "/eeprom.bin";
    int fd = open_board_file(path, O_RDONLY, kEepromSize);
    if (fd >= 0) {
        size_t done = 0;
        while (done < kEepromSize) {
            ssize_t r = read(fd, e.eeprom.data() + done, kEepromSize - done);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            done += static_cast<size_t>(r);
        }
        close(fd);
    }
    e.eeprom_loaded = true;
}

// Writes eeprom bytes [start, start + n) (wrapping at 64 KiB) through to eeprom.bin.
void eeprom_persist(Emu& e, uint16_t start, size_t n) {
    std::string path = e.dir + "/eeprom.bin";
    int fd = open_board_file(path, O_WRONLY | O_CREAT, kEepromSize);
    if (fd < 0) return;
    struct stat st {};
    if (fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) < kEepromSize) {
        full_pwrite(fd, e.eeprom.data(), kEepromSize, 0);
    } else if (n >= kEepromSize) {
        full_pwrite(fd, e.eeprom.data(), kEepromSize, 0);
    } else {
        size_t first = std::min(n, kEepromSize - start);
        full_pwrite(fd, e.eeprom.data() + start, first, start);
        if (first < n) full_pwrite(fd, e.eeprom.data(), n - first, 0);
    }
    close(fd);
}

// ---------------------------------------------------------------- RTC

// Two BCD digits of a value from 0 to 99.
uint8_t to_bcd(int v) {
    unsigned u = static_cast<unsigned>(v) % 100u;
    return static_cast<uint8_t>((u / 10) << 4 | (u % 10));
}

void rtc_snapshot(Emu& e, std::array<uint8_t, kRtcRegs>& regs) {
    regs = e.rtc_ram;
    int64_t base = e.config.rtc_fixed ? static_cast<int64_t>(e.config.rtc_fixed_time)
                                      : static_cast<int64_t>(time(nullptr));
    int64_t shown = 0;
    // Values were checked when board.conf was read; the host clock can still run past them.
    if (__builtin_add_overflow(base, e.config.rtc_offset, &shown) || !rtc_showable(shown)) return;
    time_t t = static_cast<time_t>(shown);
    struct tm tm {};
    if (!gmtime_r(&t, &tm)) return;
    regs[0] = to_bcd(tm.tm_sec);
    regs[1] = to_bcd(tm.tm_min);
    regs[2] = to_bcd(tm.tm_hour); // 24-hour mode: bit 6 clear
    regs[3] = static_cast<uint8_t>(tm.tm_wday + 1);
    regs[4] = to_bcd(tm.tm_mday);
    regs[5] = to_bcd(tm.tm_mon + 1);
    regs[6] = to_bcd(tm.tm_year % 100);
}

// ---------------------------------------------------------------- I2C devices

bool device_answers(const Emu& e, int bus, int addr) {
    if (bus == 0) {
        if (addr == kMuxAddr || addr == kLedAddr) return true;
        if (addr == kEepromAddr) return (e.mux & 0x01) != 0;
        return false;
    }
    if (bus == 2) return addr == kRtcAddr;
    return false;
}

// Common gate of every transfer: 0 when the device takes part, else -1 (ENXIO).
int i2c_gate(Emu& e, const EmuFd& f, bool is_write) {
    ++e.transfers;
    if (!device_answers(e, f.bus, f.addr)) {
        errno = ENXIO;
        return -1;
    }
    for (const BusAddr& n : e.config.naks) {
        if (n.bus == f.bus && n.addr == f.addr) {
            errno = ENXIO;
            return -1;
        }
    }
    if (is_write && e.nth_left > 0 && e.nth_bus == f.bus && e.nth_addr == f.addr) {
        if (--e.nth_left == 0) {
            e.nth_bus = e.nth_addr = -1;
            errno = ENXIO;
            return -1;
        }
    }
    return 0;
}

ssize_t i2c_write(Emu& e, const EmuFd& f, const uint8_t* data, size_t n) {
    n = std::min(n, kI2cMaxTransfer);
    if (i2c_gate(e, f, true) < 0) return -1;
    if (f.bus == 0 && f.addr == kMuxAddr) {
        if (n > 0) e.mux = data[n - 1];
    } else if (f.bus == 0 && f.addr == kEepromAddr) {
        eeprom_load(e);
        if (n >= 2) {
            e.eeprom_ptr = static_cast<uint16_t>(data[0] << 8 | data[1]);
            uint16_t start = e.eeprom_ptr;
            for (size_t i = 2; i < n; ++i) e.eeprom[e.eeprom_ptr++] = data[i];
            if (n > 2) eeprom_persist(e, start, n - 2);
        }
        // A single byte is an incomplete address: the chip ignores it.
    } else if (f.bus == 0 && f.addr == kLedAddr) {
        if (n >= 1) {
            e.led_ptr = data[0];
            for (size_t i = 1; i < n; ++i) {
                uint8_t reg = e.led_ptr++;
                e.led[reg] = data[i];
                e.led_writes.emplace_back(reg, data[i]);
                char text[32];
                snprintf(text, sizeof text, "reg=0x%02x val=0x%02x", reg, data[i]);
                append_event(e.dir, "led", text);
            }
        }
    } else if (f.bus == 2 && f.addr == kRtcAddr) {
        if (n >= 1) {
            e.rtc_ptr = static_cast<uint8_t>(data[0] % kRtcRegs);
            for (size_t i = 1; i < n; ++i) {
                // The clock registers keep the host's time; control and RAM are kept.
                if (e.rtc_ptr >= 7) e.rtc_ram[e.rtc_ptr] = data[i];
                e.rtc_ptr = static_cast<uint8_t>((e.rtc_ptr + 1) % kRtcRegs);
            }
        }
    }
    return static_cast<ssize_t>(n);
}

ssize_t i2c_read(Emu& e, const EmuFd& f, uint8_t* data, size_t n) {
    n = std::min(n, kI2cMaxTransfer);
    if (i2c_gate(e, f, false) < 0) return -1;
    if (f.bus == 0 && f.addr == kMuxAddr) {
        memset(data, e.mux, n);
    } else if (f.bus == 0 && f.addr == kEepromAddr) {
        eeprom_load(e);
        for (size_t i = 0; i < n; ++i) data[i] = e.eeprom[e.eeprom_ptr++];
    } else if (f.bus == 0 && f.addr == kLedAddr) {
        for (size_t i = 0; i < n; ++i) data[i] = e.led[e.led_ptr++];
    } else if (f.bus == 2 && f.addr == kRtcAddr) {
        std::array<uint8_t, kRtcRegs> regs{};
        rtc_snapshot(e, regs);
        for (size_t i = 0; i < n; ++i) {
            data[i] = regs[e.rtc_ptr];
            e.rtc_ptr = static_cast<uint8_t>((e.rtc_ptr + 1) % kRtcRegs);
        }
    }
    return static_cast<ssize_t>(n);
}

// ---------------------------------------------------------------- flash

bool file_size(int fd, uint64_t* size) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size < 0) return false;
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool block_faulted(const Emu& e, const std::vector<PartBlock>& faults, int part, uint64_t off,
                   uint64_t n) {
    if (n == 0 || faults.empty()) return false;
    uint32_t es = e.config.erase_size;
    uint64_t first = es ? off / es : 0;
    uint64_t last = es ? (off + n - 1) / es : 0;
    for (const PartBlock& pb : faults) {
        if (pb.part == part && pb.block >= first && pb.block <= last) return true;
    }
    return false;
}

// The common start of a positioned flash transfer: a handle opened for it,
// an offset that is not negative, and the partition's size. False, with
// errno set, when the transfer cannot start.
bool flash_start(int fd, bool allowed, int64_t off, uint64_t* uoff, uint64_t* size) {
    if (!allowed) {
        errno = EBADF;
        return false;
    }
    if (off < 0) {
        errno = EINVAL;
        return false;
    }
    if (!file_size(fd, size)) return false;
    *uoff = static_cast<uint64_t>(off);
    return true;
}

ssize_t flash_read(Emu& e, int fd, const EmuFd& f, void* buffer, size_t count, int64_t off) {
    uint64_t uoff = 0, size = 0;
    if (!flash_start(fd, can_read(f), off, &uoff, &size)) return -1;
    if (uoff >= size || count == 0) return 0;
    uint64_t n = std::min<uint64_t>(count, size - uoff);
    if (block_faulted(e, e.config.read_faults, f.part, uoff, n)) {
        errno = EIO;
        return -1;
    }
    if (!full_pread(fd, static_cast<uint8_t*>(buffer), n, uoff)) return -1;
    return static_cast<ssize_t>(n);
}

ssize_t flash_program(Emu& e, int fd, const EmuFd& f, const void* buffer, size_t count,
                      int64_t off) {
    uint64_t uoff = 0, size = 0;
    if (!flash_start(fd, can_write(f), off, &uoff, &size)) return -1;
    if (uoff >= size) {
        errno = ENOSPC;
        return -1;
    }
    if (count == 0) return 0;
    uint64_t n = std::min<uint64_t>(count, size - uoff);
    if (block_faulted(e, e.config.write_faults, f.part, uoff, n)) {
        errno = EIO;
        return -1;
    }
    const uint8_t* src = static_cast<const uint8_t*>(buffer);
    // Small writes (the common 1 KiB pieces) stay on the stack.
    uint8_t small[4096];
    std::vector<uint8_t> large;
    uint8_t* old = small;
    size_t span = sizeof small;
    if (n > sizeof small) {
        large.resize(static_cast<size_t>(std::min<uint64_t>(n, kChunk)));
        old = large.data();
        span = large.size();
    }
    for (uint64_t done = 0; done < n;) {
        size_t piece = static_cast<size_t>(std::min<uint64_t>(n - done, span));
        if (!full_pread(fd, old, piece, uoff + done)) return -1;
        for (size_t i = 0; i < piece; ++i) old[i] &= src[done + i]; // NOR: bits only clear
        if (!full_pwrite(fd, old, piece, uoff + done)) return -1;
        done += piece;
    }
    return static_cast<ssize_t>(n);
}

int flash_erase(Emu& e, int fd, const EmuFd& f, const erase_info_user* ei) {
    if (!ei) {
        errno = EFAULT;
        return -1;
    }
    if (!can_write(f)) {
        errno = EPERM;
        return -1;
    }
    uint32_t es = e.config.erase_size;
    uint64_t size = 0;
    if (!file_size(fd, &size)) return -1;
    if (es == 0 || ei->start % es != 0 || ei->length % es != 0 ||
        uint64_t(ei->start) + ei->length > size) {
        errno = EINVAL;
        return -1;
    }
    static const std::vector<uint8_t> erased(kChunk, 0xFF);
    for (uint64_t block = ei->start; block < uint64_t(ei->start) + ei->length; block += es) {
        if (block_faulted(e, e.config.erase_faults, f.part, block, 1)) {
            errno = EIO;
            return -1;
        }
        for (uint64_t done = 0; done < es;) {
            size_t piece = static_cast<size_t>(std::min<uint64_t>(es - done, kChunk));
            if (!full_pwrite(fd, erased.data(), piece, block + done)) return -1;
            done += piece;
        }
    }
    return 0;
}

int flash_info(Emu& e, int fd, mtd_info_user* info) {
    if (!info) {
        errno = EFAULT;
        return -1;
    }
    uint64_t size = 0;
    if (!file_size(fd, &size)) return -1;
    memset(info, 0, sizeof *info);
    info->type = MTD_NORFLASH;
    info->flags = MTD_CAP_NORFLASH;
    info->size = static_cast<uint32_t>(std::min<uint64_t>(size, UINT32_MAX));
    info->erasesize = e.config.erase_size;
    info->writesize = 1;
    info->oobsize = 0;
    return 0;
}

} // namespace

// ---------------------------------------------------------------- the seam

int dev_open(const char* path, int flags) {
    if (!path) {
        errno = EFAULT;
        return -1;
    }
    int bus = i2c_path_bus(path);
    int part = mtd_path_part(path);
    if (bus < 0 && part < 0) return open(path, flags, 0666);

    Emu& e = emu();
    EmuFd f;
    f.access = flags & O_ACCMODE;
    int fd = -1;
    if (bus >= 0) {
        for (int missing : e.config.missing_i2c) {
            if (missing == bus) {
                errno = ENOENT;
                return -1;
            }
        }
        fd = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (fd < 0) fd = eventfd(0, EFD_CLOEXEC);
        f.kind = Kind::i2c;
        f.bus = bus;
    } else {
        std::string file = e.dir + "/flash/" + kPartNames[part] + ".bin";
        fd = open_board_file(file, O_RDWR, EMU_MAX_FLASH_FILE);
        if (fd < 0 && errno == EACCES && f.access == O_RDONLY) {
            fd = open_board_file(file, O_RDONLY, EMU_MAX_FLASH_FILE);
        }
        f.kind = Kind::flash;
        f.part = part;
    }
    fd = settle_fd(fd);
    if (fd < 0) return -1;
    e.fds[fd] = f;
    return fd;
}

int dev_close(int fd) {
    if (find_fd(fd)) g_emu.fds.erase(fd);
    return close(fd);
}

int dev_ioctl(int fd, unsigned long request, void* arg) {
    EmuFd* f = find_fd(fd);
    if (!f) return ioctl(fd, request, arg);
    Emu& e = emu();
    if (f->kind == Kind::i2c) {
        if (request == I2C_SLAVE || request == I2C_SLAVE_FORCE) {
            uintptr_t addr = reinterpret_cast<uintptr_t>(arg);
            if (addr > 0x7F) {
                errno = EINVAL;
                return -1;
            }
            f->addr = static_cast<int>(addr);
            return 0;
        }
        errno = ENOTTY;
        return -1;
    }
    if (request == MEMGETINFO) return flash_info(e, fd, static_cast<mtd_info_user*>(arg));
    if (request == MEMERASE) return flash_erase(e, fd, *f, static_cast<erase_info_user*>(arg));
    errno = ENOTTY;
    return -1;
}

ssize_t dev_read(int fd, void* buffer, size_t count) {
    EmuFd* f = find_fd(fd);
    if (!f) return read(fd, buffer, count);
    Emu& e = emu();
    if (count > 0 && !buffer) {
        errno = EFAULT;
        return -1;
    }
    if (f->kind == Kind::i2c) {
        if (!can_read(*f)) {
            errno = EBADF;
            return -1;
        }
        return i2c_read(e, *f, static_cast<uint8_t*>(buffer), count);
    }
    if (f->pos > static_cast<uint64_t>(INT64_MAX)) return 0;
    ssize_t r = flash_read(e, fd, *f, buffer, count, static_cast<int64_t>(f->pos));
    if (r > 0) f->pos += static_cast<uint64_t>(r);
    return r;
}

ssize_t dev_write(int fd, const void* buffer, size_t count) {
    EmuFd* f = find_fd(fd);
    if (!f) return write(fd, buffer, count);
    Emu& e = emu();
    if (count > 0 && !buffer) {
        errno = EFAULT;
        return -1;
    }
    if (f->kind == Kind::i2c) {
        if (!can_write(*f)) {
            errno = EBADF;
            return -1;
        }
        return i2c_write(e, *f, static_cast<const uint8_t*>(buffer), count);
    }
    if (f->pos > static_cast<uint64_t>(INT64_MAX)) {
        errno = ENOSPC;
        return -1;
    }
    ssize_t r = flash_program(e, fd, *f, buffer, count, static_cast<int64_t>(f->pos));
    if (r > 0) f->pos += static_cast<uint64_t>(r);
    return r;
}

ssize_t dev_pread(int fd, void* buffer, size_t count, off_t offset) {
    EmuFd* f = find_fd(fd);
    if (!f) return pread(fd, buffer, count, offset);
    if (f->kind == Kind::i2c) {
        errno = ESPIPE;
        return -1;
    }
    if (count > 0 && !buffer) {
        errno = EFAULT;
        return -1;
    }
    return flash_read(emu(), fd, *f, buffer, count, offset);
}

ssize_t dev_pwrite(int fd, const void* buffer, size_t count, off_t offset) {
    EmuFd* f = find_fd(fd);
    if (!f) return pwrite(fd, buffer, count, offset);
    if (f->kind == Kind::i2c) {
        errno = ESPIPE;
        return -1;
    }
    if (count > 0 && !buffer) {
        errno = EFAULT;
        return -1;
    }
    return flash_program(emu(), fd, *f, buffer, count, offset);
}

void dev_note_event(const char* line) {
    int saved = errno;
    append_event(emu().dir, "shell", line ? line : "");
    errno = saved;
}

// ---------------------------------------------------------------- test controls

void emu_reset() {
    for (auto& entry : g_emu.fds) close(entry.first);
    g_emu.fds.clear();
    g_emu.config_loaded = false;
    g_emu.mux = 0;
    g_emu.eeprom_loaded = false;
    g_emu.eeprom.clear();
    g_emu.eeprom_ptr = 0;
    g_emu.led.fill(0);
    g_emu.led_ptr = 0;
    g_emu.rtc_ram.fill(0);
    g_emu.rtc_ptr = 0;
    g_emu.led_writes.clear();
    g_emu.nth_bus = g_emu.nth_addr = -1;
    g_emu.nth_left = 0;
    g_emu.transfers = 0;
}

void emu_set_board_dir(const char* dir) {
    emu_reset();
    g_emu.dir = dir ? dir : SIM_BOARD_DEFAULT;
    g_emu.dir_known = true;
}

std::string emu_board_dir() {
    return emu().dir;
}

std::vector<std::pair<uint8_t, uint8_t>> emu_led_writes() {
    return g_emu.led_writes;
}

void emu_fail_nth_write(int bus, int addr7, int n) {
    if (n <= 0) {
        g_emu.nth_bus = g_emu.nth_addr = -1;
        g_emu.nth_left = 0;
        return;
    }
    g_emu.nth_bus = bus;
    g_emu.nth_addr = addr7;
    g_emu.nth_left = n;
}

uint64_t emu_i2c_transfer_count() {
    return g_emu.transfers;
}

bool emu_append_event(const std::string& log_path, const std::string& kind,
                      const std::string& text) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    char stamp[48];
    snprintf(stamp, sizeof stamp, "%lld.%06ld ", static_cast<long long>(ts.tv_sec),
             static_cast<long>(ts.tv_nsec / 1000));
    std::string line = stamp;
    line += kind;
    line += ' ';
    for (char ch : text) {
        if (ch == '\n')
            line += "\\n";
        else
            line += ch;
    }
    line += '\n';
    // One write on an O_APPEND descriptor keeps the lines of concurrent writers whole.
    int fd = open_board_file(log_path, O_WRONLY | O_APPEND | O_CREAT, EMU_EVENTS_LOG_MAX);
    if (fd < 0) return false;
    struct stat st {};
    if (fstat(fd, &st) != 0 ||
        static_cast<uint64_t>(st.st_size) + line.size() > EMU_EVENTS_LOG_MAX) {
        close(fd);
        errno = EFBIG;
        return false;
    }
    ssize_t n;
    do n = write(fd, line.data(), line.size());
    while (n < 0 && errno == EINTR);
    close(fd);
    return n == static_cast<ssize_t>(line.size());
}

bool emu_check_board_conf(const std::string& text, const int64_t* rtc_offset_override,
                          std::string* error) {
    BoardConfig config;
    std::string why;
    apply_config_text(config, text, &why);
    if (why.empty() && rtc_offset_override && !rtc_offset_showable(config, *rtc_offset_override)) {
        why = "rtc offset " + std::to_string(*rtc_offset_override) + kRtcRefused;
    }
    if (why.empty()) return true;
    if (error) *error = why;
    return false;
}
