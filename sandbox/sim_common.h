// The switch-sim launcher: shared helpers of its commands.
//
// Host side:  new, env, eeprom, events, boot, shell (see sim_main.cpp for the usage text).
// In the sandbox the same program is bound at SIM_SELF_IN_SANDBOX and runs the commands
// "_init" (the sandbox's first program) and "log" (the stub programs' event writer).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#define SIM_SELF_IN_SANDBOX "/usr/lib/sim/switch-sim"
#define SIM_BOOTMGR_IN_SANDBOX "/sbin/bootmgr"
#define SIM_USB_MARKER "/tmp/usb"

// Board file sizes (board_layout.h).
enum : uint32_t {
    SIM_EEPROM_SIZE = 64u * 1024u,
    SIM_EEPROM_SERIAL_LEN = 12,
    SIM_ENV_PARTITION_SIZE = 64u * 1024u,
    SIM_DEFAULT_ERASE_SIZE = 64u * 1024u,
};

// Prints "switch-sim: " and the formatted message on stderr.
void sim_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Parses a decimal or 0x-hexadecimal number no larger than max. Rejects signs, blanks,
// empty text and trailing characters.
bool sim_parse_number(const char* text, uint64_t max, uint64_t* value);

// Largest board files the host-side commands accept.
#define SIM_MAX_BOARD_CONF (64u * 1024u)
#define SIM_MAX_FLASH_FILE (64u * 1024u * 1024u)

// Opens board + "/" + relative (components separated by '/') without following a symbolic
// link at any step and without blocking on a FIFO, and checks that it is a regular file of
// at most max_size bytes. Every file of a board may have been planted by the sandbox, so the
// host-side commands open board files only through here. Returns the descriptor, or -1 after
// a message naming the file (no message for a missing file when missing_ok; errno ENOENT).
int sim_open_board_file(const std::string& board, const std::string& relative, int flags,
                        uint64_t max_size, bool missing_ok);

// Whole-file helpers over sim_open_board_file; they report failures themselves.
bool sim_read_file(const std::string& board, const std::string& relative,
                   std::vector<uint8_t>* data, size_t max_size);
bool sim_write_at(const std::string& board, const std::string& relative, uint64_t max_size,
                  uint64_t offset, const uint8_t* data, size_t length);
bool sim_is_directory(const std::string& path);
// Writes all of data to fd, again after an interruption; false when a write fails.
bool sim_write_all(int fd, const char* data, size_t length);
bool sim_is_file(const std::string& path);

// Checks that dir looks like a board directory and returns its absolute path.
bool sim_open_board(const std::string& dir, std::string* absolute);

// Standard CRC-32 (reflected polynomial 0xEDB88320, initial and final complement).
uint32_t sim_crc32(const uint8_t* data, size_t length);

// Checks boot options without a DIR (argv[0] is the command name); false after a message.
bool sim_check_boot_options(int argc, char** argv);

// Commands; argv[0] is the command name.
int sim_cmd_new(int argc, char** argv);
int sim_cmd_env(int argc, char** argv);
int sim_cmd_eeprom(int argc, char** argv);
int sim_cmd_events(int argc, char** argv);
int sim_cmd_boot(int argc, char** argv);
int sim_cmd_shell(int argc, char** argv);
int sim_cmd_log(int argc, char** argv);
int sim_cmd_init(int argc, char** argv);
int sim_cmd_tiocsti(int argc, char** argv);
