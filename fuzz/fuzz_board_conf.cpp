// libFuzzer target: board.conf through the emulated devices. Each input is a board's
// board.conf; the clock, the flash geometry and the fault rules are read from it at the
// next device use, and the clock registers must come out as BCD the boot manager reads.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <mtd/mtd-user.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

#include "board/devio.h"
#include "sandbox/emu.h"

namespace {

std::string g_board;

void remove_board() {
    emu_remove_board(g_board);
}

void check_bcd(uint8_t value, uint8_t high_mask) {
    if ((value & 0x0F) > 9 || ((value & high_mask) >> 4) > 9) abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_board = emu_make_temp_board("FUZZ00000001", 65536);
    if (g_board.empty()) abort();
    atexit(remove_board);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    emu_check_board_conf(text, nullptr, &error);
    if (size >= 8) {
        int64_t offset = 0;
        for (int i = 0; i < 8; ++i) offset = int64_t(uint64_t(offset) << 8 | data[i]);
        emu_check_board_conf(text, &offset, &error);
    }

    // A power cut (cut_after) ends the process on purpose: its line is parsed above, but such
    // a board is not powered on here.
    if (text.find("cut_after") != std::string::npos) return 0;

    const std::string path = g_board + "/board.conf";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, data, size) != ssize_t(size)) abort();
    close(fd);
    emu_reset();

    int rtc = dev_open("/dev/i2c-2", O_RDWR);
    if (rtc >= 0) {
        uint8_t regs[7] = {};
        const uint8_t reg0 = 0;
        if (dev_ioctl(rtc, I2C_SLAVE, reinterpret_cast<void*>(uintptr_t(0x68))) == 0 &&
            dev_write(rtc, &reg0, 1) == 1 && dev_read(rtc, regs, 7) == 7) {
            check_bcd(regs[0], 0x70);
            check_bcd(regs[1], 0x70);
            check_bcd(regs[2], 0x30);
            check_bcd(regs[4], 0x30);
            check_bcd(regs[5], 0x10);
            check_bcd(regs[6], 0xF0);
        }
        dev_close(rtc);
    }
    int flash = dev_open("/dev/mtd-ubootenv", O_RDWR);
    if (flash >= 0) {
        mtd_info_user info{};
        uint8_t byte = 0;
        dev_ioctl(flash, MEMGETINFO, &info);
        dev_pread(flash, &byte, 1, 0);
        if (info.erasesize >= 1024) { // smaller blocks only cost time
            erase_info_user erase{0, info.erasesize};
            dev_ioctl(flash, MEMERASE, &erase);
        }
        dev_close(flash);
    }
    return 0;
}
