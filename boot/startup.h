// Start-up helpers of the boot sequence: the SIGINT handler, the clock, the
// boot slot choice and the one way the boot manager ends without an application.
#pragma once
#include <cstddef>
#include <cstdint>

// SIGINT handler: sets boot_env_flags.interrupted and nothing else.
void on_interrupt(int signal_number);
// Installs on_interrupt for SIGINT with an empty mask and no flags (no SA_RESTART).
int install_interrupt_handler();

// Sleeps 1 second and runs "reboot" through the shell; exits with status 0.
[[noreturn]] void reboot_board();

// 1 or 2 as the board EEPROM's boot slot register says; 1 for anything else.
int choose_boot_slot();

// Formats the date command from the seven clock bytes (seconds, minutes,
// hours, weekday, date, month, year; BCD). Returns the length written.
int format_date_command(const uint8_t clock[7], char* out, size_t size);
// Reads the real-time clock and sets the system clock from it. When the clock
// cannot be read, the system clock is left alone. Returns 1 when set.
int set_clock_from_rtc();

// Mounts the persistent /user filesystem.
void mount_user_filesystem();
