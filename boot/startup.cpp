// Start-up helpers of the boot sequence.
#include "boot/startup.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "board/i2c.h"
#include "board/sys.h"
#include "boot/env.h"

void on_interrupt(int signal_number) {
    (void)signal_number;
    boot_env_flags.interrupted = 1;
}

int install_interrupt_handler() {
    struct sigaction action = {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: Ctrl-C ends a waiting console read
    return sigaction(SIGINT, &action, nullptr);
}

void reboot_board() {
    sys_sleep(1);
    fflush(stdout);
    if (run_shell("reboot") < 0) fputs("System reboot failed, please power-cycle.\n", stderr);
    fflush(nullptr);
    exit(0);
}

int choose_boot_slot() {
    switch (board_get_boot_slot()) {
    case 2:
        return 2;
    default:
        return 1;
    }
}

int format_date_command(const uint8_t clock[7], char* out, size_t size) {
    return snprintf(out, size, "date %2.2x%2.2x%2.2x%2.2x20%2.2x.%2.2x\n", clock[5] & 0x1F,
                    clock[4] & 0x3F, clock[2] & 0x3F, clock[1] & 0x7F, clock[6], clock[0] & 0x7F);
}

int set_clock_from_rtc() {
    uint8_t clock[7] = {};
    // A failed read leaves the bytes unfilled: setting the clock from them
    // would only put a wrong date on the system.
    if (rtc_read(clock) == 0) return 0;
    char command[64];
    format_date_command(clock, command, sizeof command);
    run_shell(command);
    return 1;
}

void mount_user_filesystem() {
    run_shell("/bin/mount -t ubifs -o compr=none -o sync ubi0:user /user");
}
