// The I2C buses and their devices:
//   bus 0: multiplexer 0x71 (one control byte), board EEPROM 0x52 behind
//          channel 0 (16-bit offsets, auto-increment, wraps at 64 KiB, written
//          through to eeprom.bin), LED controller 0x58 (byte registers);
//   bus 1: no devices;
//   bus 2: real-time clock 0x68 (DS1307-like: 7 BCD clock registers, control
//          and RAM up to 0x3F, clock registers read-only here).
// A transfer to an address with no reachable device fails with ENXIO.
#include "sandbox/emu.h"
#include "sandbox/emu_internal.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace emu_internal {

namespace {

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

} // namespace

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
            if (n > 2) {
                eeprom_persist(e, start, n - 2);
                if (power_op(e)) power_cut(e); // the bytes written are kept
            }
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

} // namespace emu_internal

using namespace emu_internal;

// ---------------------------------------------------------------- test controls

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
