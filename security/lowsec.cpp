// Security modes: low security mode (boot loader override or the marker
// file), the physical presence test with the blue location LED, and the
// system key wipe of the rescue menu.
#include "security/lowsec.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "board/i2c.h"
#include "board/sys.h"
#include "boot/console.h"
#include "boot/env.h"
#include "boot/startup.h"
#include "crypto/random/random.h"
#include "security/keys.h"

namespace {

constexpr uint8_t kLedReg = 0x11;
constexpr int kAttempts = 3;
constexpr int kPeriods = 11; // every attempt shows at least this many dots
constexpr char kMarkerText[] = "lowsec=1\n";
static_assert(sizeof kMarkerText - 1 == 9, "the marker holds nine bytes");

// The blink count for a clock seconds byte: the sum of its two BCD digits, at
// least 1. When the clock cannot be read, a random count from 1 to 14.
int blink_count() {
    uint8_t clock[7] = {0};
    if (rtc_read(clock)) {
        int n = (clock[0] >> 4) + (clock[0] & 0x0F);
        return n ? n : 1;
    }
    uint8_t r = 0;
    if (!g_pRandomContext || RANDOM_generate(g_pRandomContext, &r, 1) < 0) {
        timespec ts = {};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        r = uint8_t(ts.tv_nsec ^ (ts.tv_nsec >> 8));
    }
    return 1 + r % 14;
}

// One key, echoed with a line end.
int key_echoed() {
    int key = get_key();
    printf("%c\n", key);
    fflush(stdout);
    return key;
}

// Leaving low security mode: anything but n/N (or no key) removes the marker.
int leave_low_security() {
    printf("Switch is in low security mode. Confirm disabling Y/n? ");
    fflush(stdout);
    int key = key_echoed();
    if (key == 0) return 0;
    if (key == 'N' || key == 'n') return 1;
    lowsec_set(0);
    return 1;
}

// One dot of the blinking: the LED in state `first` for a second, idle for a
// second. False when Ctrl-C came.
bool show_period(uint8_t first, uint8_t idle) {
    if (boot_env_flags.interrupted) return false;
    printf(".");
    fflush(stdout);
    led_reg_write(kLedReg, first);
    sys_sleep(1);
    led_reg_write(kLedReg, idle);
    sys_sleep(1);
    return true;
}

// Writes the marker whole and syncs it. False with errno set otherwise, and
// then no marker is left: its existence alone would count.
bool write_marker(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const ssize_t length = sizeof kMarkerText - 1;
    ssize_t n = write(fd, kMarkerText, size_t(length));
    if (n >= 0 && n < length) errno = ENOSPC; // a short write
    bool ok = n == length && fsync(fd) == 0;
    int saved = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        unlink(path.c_str());
        errno = saved;
    }
    return ok;
}

} // namespace

int lowsec_is_enabled() {
    if (boot_env_flags.lowsec) {
        puts("NOTE: Uboot low security mode override enabled");
        return 1;
    }
    return access(sys_path(LOWSEC_MARKER_PATH).c_str(), F_OK) == 0 ? 1 : 0;
}

int lowsec_set(int on) {
    const std::string path = sys_path(LOWSEC_MARKER_PATH);
    if (!on) {
        unlink(path.c_str());
        return 0;
    }
    write_marker(path);
    return 0;
}

int physical_presence_test() {
    if (lowsec_is_enabled()) return leave_low_security();

    printf("WARNING: the following test is used to determine physical presence and if completed "
           "will put the switch in low security mode.\nDo you wish to continue y/N? ");
    fflush(stdout);
    int key = key_echoed();
    if (key == 0 || toupper(key) != 'Y') return 0;

    uint8_t v = 0;
    led_reg_read(kLedReg, &v);
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        v = uint8_t((v & 0x3F) | 0x40);
        const uint8_t idle = v;
        const uint8_t blink = uint8_t(v & 0x3F);
        led_reg_write(kLedReg, idle);

        printf("Hit a key to start the test. The blue location LED will blink a number of times.");
        fflush(stdout);
        key_echoed();

        const int n = blink_count();
        for (int i = 0; i < n; ++i)
            if (!show_period(blink, idle)) return 0;
        // Idle periods up to eleven in all, so the duration tells nothing about N.
        for (int i = n; i < kPeriods; ++i)
            if (!show_period(idle, idle)) return 0;

        printf("\nHow many times did the LED blink? ");
        fflush(stdout);
        char answer[8];
        read_line(answer, sizeof answer);
        if (boot_env_flags.interrupted) return 0;

        if (strtol(answer, nullptr, 10) == n) {
            if (!write_marker(sys_path(LOWSEC_MARKER_PATH))) {
                printf("Correct, but low security mode could not be enabled (err %d)\n", errno);
                return 0;
            }
            puts("Correct. Physical presence established and low security mode enabled");
            return 1;
        }
        printf("Incorrect. Try again (attempt %d of %d)\n", attempt, kAttempts);
    }
    puts("Maximum number of test failed. Board is resetting");
    sys_sleep(1);
    reboot_board();
}

int wipe_system_keys() {
    printf("Confirm: wiping system keys y/N: ");
    fflush(stdout);
    int key = get_key();
    printf("\n");
    if (toupper(key) != 'Y') return 1;
    delete_system_key_files();
    puts("System keys have been deleted. Reset the switch to complete the operation");
    return 1;
}
