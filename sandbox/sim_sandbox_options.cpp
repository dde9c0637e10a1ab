// switch-sim boot and shell: the command line and the board's files checked before a power-on.
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "sandbox/sim_sandbox.h"
#include "sandbox/emu.h"
#include "sandbox/sim_common.h"

namespace sim_sandbox {

namespace {

const long max_timeout = 7 * 24 * 3600;

bool parse_rtc(const char* text, long long* offset) {
    time_t wanted = 0;
    if (!emu_parse_clock_time(text, &wanted)) return false;
    *offset = static_cast<long long>(wanted) - static_cast<long long>(time(nullptr));
    return true;
}

} // namespace

// The board's files as the emulated devices will see them: regular files of sane sizes,
// and clock values in board.conf (and --rtc) that the emulated clock can show.
bool check_board_files(const boot_options& options) {
    std::vector<uint8_t> conf;
    int fd = sim_open_board_file(options.board, "board.conf", O_RDONLY, SIM_MAX_BOARD_CONF, true);
    if (fd < 0 && errno != ENOENT) return false;
    if (fd >= 0) {
        close(fd);
        if (!sim_read_file(options.board, "board.conf", &conf, SIM_MAX_BOARD_CONF)) return false;
    }
    std::string error;
    int64_t offset = options.rtc_offset;
    if (!emu_check_board_conf(std::string(conf.begin(), conf.end()),
                              options.rtc_given ? &offset : nullptr, &error)) {
        sim_error("%s/board.conf: %s", options.board.c_str(), error.c_str());
        return false;
    }
    struct board_file {
        const char* name;
        uint64_t max_size;
    };
    const board_file files[] = {
        {"eeprom.bin", SIM_EEPROM_SIZE},
        {"events.log", EMU_EVENTS_LOG_MAX},
        {"flash/uboot.bin", SIM_MAX_FLASH_FILE},
        {"flash/ubootenv.bin", SIM_MAX_FLASH_FILE},
        {"flash/devicetree.bin", SIM_MAX_FLASH_FILE},
        {"flash/kernel.bin", SIM_MAX_FLASH_FILE},
        {"flash/rfs.bin", SIM_MAX_FLASH_FILE},
        {"flash/rescue.bin", SIM_MAX_FLASH_FILE},
    };
    for (const board_file& file : files) {
        fd = sim_open_board_file(options.board, file.name, O_RDONLY, file.max_size, true);
        if (fd < 0 && errno != ENOENT) return false;
        if (fd >= 0) close(fd);
    }
    return true;
}

namespace {

const char* const value_options[] = {"--rtc",  "--target",     "--timeout",
                                     "--link", "--time-scale", "--usb-after"};

// The options alone: "[DIR] [--rtc TIME] ..." and, for the shell command, "-- CMD ...".
// *first_command is the index of the command's first word.
bool parse_options_only(int argc, char** argv, bool want_command, boot_options* options,
                        std::string* dir, int* first_command) {
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        for (const char* option : value_options) {
            if (arg == option && i + 1 >= argc) {
                sim_error("%s needs a value", option);
                return false;
            }
        }
        if (arg == "--rtc" && i + 1 < argc) {
            if (!parse_rtc(argv[++i], &options->rtc_offset)) {
                sim_error("--rtc: '%s' is not a time \"YYYY-MM-DD HH:MM:SS\" the emulated "
                          "clock shows (" EMU_RTC_RANGE_TEXT ")",
                          argv[i]);
                return false;
            }
            options->rtc_given = true;
        } else if (arg == "--target" && i + 1 < argc) {
            std::string target = argv[++i];
            if (target != "ppc" && target != "host" && (target != "e500" || want_command)) {
                sim_error("--target: 'host', 'ppc' or 'e500', not '%s'", argv[i]);
                return false;
            }
            options->ppc = target == "ppc";
            options->e500 = target == "e500";
        } else if (arg == "--timeout" && i + 1 < argc) {
            uint64_t seconds = 0;
            if (!sim_parse_number(argv[++i], uint64_t(max_timeout), &seconds) || seconds == 0) {
                sim_error("--timeout: whole seconds from 1 to %ld", max_timeout);
                return false;
            }
            options->timeout = long(seconds);
        } else if (arg == "--link" && i + 1 < argc) {
            std::string state = argv[++i];
            if (state != "up" && state != "down") {
                sim_error("--link: up or down");
                return false;
            }
            options->link_down = state == "down";
        } else if (arg == "--time-scale" && i + 1 < argc) {
            char* end = nullptr;
            double factor = strtod(argv[++i], &end);
            if (end == argv[i] || *end != '\0' || !(factor >= 0.001 && factor <= 1000)) {
                sim_error("--time-scale: a factor from 0.001 to 1000");
                return false;
            }
            options->time_scale = argv[i];
        } else if (arg == "--usb-after" && i + 1 < argc) {
            uint64_t seconds = 0;
            if (!sim_parse_number(argv[++i], uint64_t(max_usb_delay), &seconds)) {
                sim_error("--usb-after: whole seconds from 0 to %ld", max_usb_delay);
                return false;
            }
            options->usb_after = long(seconds);
        } else if (arg == "--" && want_command) {
            ++i;
            break;
        } else if (arg.empty() || arg[0] == '-' || !dir->empty()) {
            sim_error("%s: unexpected argument '%s'", argv[0], argv[i]);
            return false;
        } else {
            *dir = arg;
        }
    }
    *first_command = i;
    return true;
}

} // namespace

// Parses "DIR [--rtc TIME] [--usb-after SECONDS] ..." and, for the shell command,
// "-- CMD ...", and checks the board.
bool parse_boot_options(int argc, char** argv, bool want_command, boot_options* options) {
    std::string dir;
    int i = 0;
    if (!parse_options_only(argc, argv, want_command, options, &dir, &i)) return false;
    if (dir.empty()) {
        sim_error(
            "usage: switch-sim %s DIR [--rtc \"YYYY-MM-DD HH:MM:SS\"] [--usb-after SECONDS] "
            "[--timeout SECONDS] [--target host|ppc|e500] [--link up|down] [--time-scale F]%s",
            argv[0], want_command ? " [-- COMMAND ...]" : "");
        return false;
    }
    for (; i < argc; ++i) options->command.push_back(argv[i]);
    return sim_open_board(dir, &options->board) && check_board_files(*options);
}

} // namespace sim_sandbox

bool sim_check_boot_options(int argc, char** argv) {
    sim_sandbox::boot_options options;
    std::string dir;
    int first_command = 0;
    if (!sim_sandbox::parse_options_only(argc, argv, false, &options, &dir, &first_command))
        return false;
    if (!dir.empty()) sim_error("%s: unexpected argument '%s'", argv[0], dir.c_str());
    return dir.empty();
}
