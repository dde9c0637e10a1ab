// Controls of the emulated devices for tests and for the switch-sim launcher.
//
// The emulated devices (sandbox/emu_devices.cpp) serve /dev/i2c-0..2 and
// /dev/mtd-* from a board directory laid out as described in board_layout.h.
// The directory is taken from SIM_BOARD (default "/sim") at first use, or set
// with emu_set_board_dir().
#pragma once
#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

// Creates a board directory with the layout of board_layout.h and the default
// sizes: every flash file erased to 0xFF, eeprom.bin of 64 KiB 0xFF with the
// unit serial at 0x000D (the first 12 characters of serial, padded with 0x00
// bytes up to 12; a null or empty serial leaves all 12 bytes 0x00, an unset
// serial), the boot slot 1 at 0x0100, 0x00 (USB boot off) at 0x013B, an empty
// user/, no usb/ and a board.conf holding "erase_size=N". dir itself is created
// when missing (its parent must exist); existing files are overwritten.
// Returns false with a message in *error (when error is not null) on failure.
bool emu_create_board(const char* dir, const char* serial, uint32_t erase_size, std::string* error);

// Creates a board (as above) in a fresh directory under $TMPDIR (or /tmp),
// points the emulation at it and returns its path; "" on failure.
std::string emu_make_temp_board(const char* serial, uint32_t erase_size);
// Removes a board directory and everything in it.
void emu_remove_board(const std::string& dir);

// Points the emulation at another board directory and resets it.
void emu_set_board_dir(const char* dir);
// The board directory in use.
std::string emu_board_dir();
// Forgets all device state: closes every emulated descriptor (handles held by
// the caller become invalid), drops the multiplexer, LED and pointer state and
// pending injected faults, and reads board.conf and eeprom.bin again at next use.
void emu_reset();

// LED controller register writes recorded since the last reset, as
// (register, value) pairs in order. They are also appended to events.log.
std::vector<std::pair<uint8_t, uint8_t>> emu_led_writes();

// Makes the n-th write transfer (n >= 1, counted from this call) to the device
// with 7-bit address addr7 on the bus fail once with ENXIO, as a NAK would.
// Earlier and later transfers succeed. n <= 0 cancels a pending fault.
void emu_fail_nth_write(int bus, int addr7, int n);

// Number of write and read transfers that reached any emulated I2C device
// (including NAKed ones) since the last reset.
uint64_t emu_i2c_transfer_count();

// Counts one of the boot manager's file writes, renames or fsyncs under /user for board.conf's
// cut_after, and cuts the power when it is due (sandbox/power_files.cpp calls it).
void emu_power_file_op();

// Largest events.log the writer grows and the reader accepts; appends past it are refused.
constexpr uint64_t EMU_EVENTS_LOG_MAX = 16u * 1024u * 1024u;
// Largest board.conf, eeprom.bin and flash partition file the emulation opens.
constexpr uint64_t EMU_MAX_BOARD_CONF = 64u * 1024u;
constexpr uint64_t EMU_MAX_FLASH_FILE = 64u * 1024u * 1024u;

// What the emulated clock can show: its year register holds two BCD digits of 20xx,
// 2000-01-01 00:00:00 to 2099-12-31 23:59:59 UTC.
constexpr int64_t EMU_RTC_FIRST = 946684800;
constexpr int64_t EMU_RTC_LAST = 4102444799;
#define EMU_RTC_RANGE_TEXT "2000-01-01 00:00:00 to 2099-12-31 23:59:59"

// "YYYY-MM-DD HH:MM:SS" (UTC) of a real date the clock can show, as seconds since 1970.
bool emu_parse_clock_time(const std::string& value, time_t* out);

// Checks the clock values of a board.conf text (rtc_fixed, rtc_offset applied to the host's
// clock now) and of an rtc offset for one boot (rtc_offset_override, when not null). False
// with a message naming the line in *error for the first value the clock cannot show.
bool emu_check_board_conf(const std::string& text, const int64_t* rtc_offset_override,
                          std::string* error);

// The time the emulated clock of a board with this board.conf text shows at host time
// `host` (its rtc_fixed, or host + its rtc_offset), without a boot's own offset.
int64_t emu_board_clock(const std::string& conf_text, int64_t host);

// Appends one line "<seconds.micros> <kind> <text>" to an event log, newlines
// in text written as \n, in one write so concurrent writers keep lines whole. The log is
// opened without following a link or blocking on a FIFO, must be a regular file, and does
// not grow past EMU_EVENTS_LOG_MAX.
// Used by the emulated devices and by the sandbox's stub programs.
bool emu_append_event(const std::string& log_path, const std::string& kind,
                      const std::string& text);
