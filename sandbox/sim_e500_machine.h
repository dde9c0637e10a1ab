// The machine of switch-sim boot --target e500, made from a board (sim_e500_machine.cpp).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "sandbox/sim_e500.h"

namespace e500 {

// The programs a power-on needs (qemu-system-ppc, device-tree-compiler).
extern const char qemu_path[], fdtget_path[], fdtput_path[];

struct partition {
    std::string name; // the kernel's name of it
    std::string file; // relative to the board
    uint64_t offset = 0;
    std::vector<uint8_t> data;
};

// Runs a program with /dev/null as input; its output goes to *out when given, else to
// /dev/null; its errors to ours, or to the file errors when given. Returns its exit status
// (-1 when it did not run).
int run_program(const std::vector<std::string>& args, std::string* out = nullptr,
                const char* errors = nullptr);

// A QEMU option value: commas are doubled.
std::string qemu_value(const std::string& text);

// board.conf on this target: the erase block is the machine's, the clock is QEMU's, and
// injected faults have no place on real drivers. Sets *rtc_base ("" for the host's clock).
bool read_board_conf(const sim_e500_options& options, std::string* rtc_base);

// The partitions from the board's files, each at the next erase block; false (after a
// message) when a file is missing or they do not fit the flash.
bool read_partitions(const std::string& board, std::vector<partition>* parts);

// The machine's flash image holding the partitions, and the kernel's mtdparts naming them.
std::vector<uint8_t> flash_image(const std::vector<partition>& parts, std::string* mtdparts);

// A new file holding data (refused when it exists), and the first size bytes of a file.
bool write_file(const std::string& path, const std::vector<uint8_t>& data);
bool read_back(const std::string& path, size_t size, std::vector<uint8_t>* data);

// The machine's own device tree dumped by QEMU run with qemu_args, edited: no RTC driver on
// the boot manager's clock, and the timebase frequency times the time scale.
bool make_device_tree(const std::vector<std::string>& qemu_args, const std::string& dtb,
                      double time_scale);

} // namespace e500
