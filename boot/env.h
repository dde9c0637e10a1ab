// The boot environment flags record: read once from the boot loader
// environment, plus three flags set while the boot manager runs.
#pragma once
#include <cstdint>

struct boot_env_flags_t {
    int32_t gdb;
    int32_t gdbserver;
    int32_t diag_rescue;
    int32_t diag_diags;
    uint8_t shell;
    uint8_t memchk;
    int32_t gdbport;
    int32_t lowsec;
    uint8_t usb_boot;
    volatile uint8_t interrupted;
    uint8_t second_attempt;
    uint8_t bootlimit; // unconfirmed starts a slot is given, 1 to 9; 0: boot counting off
};

extern boot_env_flags_t boot_env_flags;

enum : int { ENV_TEXT_SIZE = 8192, DEFAULT_GDB_PORT = 1234 };

int read_boot_environment();
// Parses an environment text (entries separated by blanks, NUL-terminated) into the record.
void parse_boot_environment(const char* text);
