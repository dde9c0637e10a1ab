// switch-sim boot and shell: powering on a simulated board (see sim_sandbox.h).
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include "sandbox/emu.h"
#include "sandbox/sim_common.h"
#include "sandbox/sim_e500.h"
#include "sandbox/sim_sandbox.h"

namespace {

using namespace sim_sandbox;

// Exit statuses of a power-on besides the boot manager's own (README, usage text).
const int timeout_status = 124;
const int operator_status = 125;
// Limits of one power-on: a fork bomb stops at the process limit; no file grows past the
// size limit.
const rlim_t max_processes = 512;
const rlim_t max_file_size = rlim_t(512) << 20;

// Runs bwrap and waits for it; returns the exit status of the sandboxed program (128 + the
// signal number when a signal ended it, timeout_status when the time-out powered it off).
// The console's settings are put back afterwards, since a boot manager stopped in the
// middle of a key read leaves it in raw mode.
int run_sandbox(const std::vector<std::string>& args, const sandbox_setup& setup,
                const console_relay& relay, long timeout, int filter_fd) {
    termios saved{};
    bool have_termios = isatty(0) && tcgetattr(0, &saved) == 0;

    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    struct sigaction old_int {
    }, old_quit{}, old_winch{};
    sigaction(SIGINT, &ignore, &old_int);
    sigaction(SIGQUIT, &ignore, &old_quit);
    if (relay.master >= 0) {
        struct sigaction winch {};
        winch.sa_handler = on_window_change;
        sigemptyset(&winch.sa_mask);
        sigaction(SIGWINCH, &winch, &old_winch);
    }

    pid_t pid = fork();
    if (pid < 0) {
        sim_error("fork: %s", strerror(errno));
        return 1;
    }
    if (pid == 0) {
        // Keep no orphaned sandbox behind when the launcher is killed.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() == 1) _exit(1);
        if (relay.master >= 0) attach_relay(relay);
        // No core files from the sandbox: the host's core handler is not ours to feed.
        const rlimit no_core{0, 0}, processes{max_processes, max_processes},
            file_size{max_file_size, max_file_size};
        setrlimit(RLIMIT_CORE, &no_core);
        setrlimit(RLIMIT_NPROC, &processes);
        setrlimit(RLIMIT_FSIZE, &file_size);
        fcntl(filter_fd, F_SETFD, 0); // bwrap reads the filter from it
        for (int fd : setup.inherited) fcntl(fd, F_SETFD, 0);
        std::vector<char*> argv;
        for (const std::string& s : args) argv.push_back(const_cast<char*>(s.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        fprintf(stderr, "switch-sim: %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    close(filter_fd);
    if (relay.input >= 0 && have_termios) {
        termios raw = saved;
        cfmakeraw(&raw);
        tcsetattr(0, TCSANOW, &raw);
    }
    bool timed_out = false, powered_off = false;
    int status = wait_for_sandbox(pid, setup, relay, timeout, &timed_out, &powered_off);
    if (have_termios) tcsetattr(0, TCSANOW, &saved);
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGQUIT, &old_quit, nullptr);
    if (relay.master >= 0) sigaction(SIGWINCH, &old_winch, nullptr);
    if (timed_out) {
        sim_error("powered the board off after %ld seconds (--timeout)", timeout);
        return timeout_status;
    }
    return powered_off ? operator_status : status;
}

off_t events_size(const std::string& board) {
    int fd = sim_open_board_file(board, "events.log", O_RDONLY, EMU_EVENTS_LOG_MAX, true);
    if (fd < 0) return 0;
    struct stat st;
    off_t size = fstat(fd, &st) == 0 ? st.st_size : 0;
    close(fd);
    return size;
}

// Whether the board's event log gained a reboot line after offset `from`.
bool rebooted_since(const std::string& board, off_t from) {
    int fd = sim_open_board_file(board, "events.log", O_RDONLY, EMU_EVENTS_LOG_MAX, true);
    if (fd < 0) return false;
    std::string tail;
    char buffer[65536];
    ssize_t n;
    while ((n = pread(fd, buffer, sizeof buffer, from + off_t(tail.size()))) > 0)
        tail.append(buffer, size_t(n));
    close(fd);
    return tail.find(" reboot ") != std::string::npos;
}

// One host-side line on how a boot ended, and its exit status.
int report_end(const std::string& board, off_t events_before, int status) {
    if (status == timeout_status) return status; // run_sandbox said so
    if (status == operator_status) {
        sim_error("powered off by the operator (Ctrl-] q); exit status %d", status);
    } else if (status > 128 && status < 128 + 65) {
        sim_error("the boot manager was stopped by signal %d; exit status %d", status - 128,
                  status);
    } else if (rebooted_since(board, events_before)) {
        sim_error("the board rebooted; exit status %d", status);
    } else {
        sim_error("the board's program ended without a reboot (the application started, or "
                  "the boot manager stopped); exit status %d",
                  status);
    }
    return status;
}

// One power-on of a board at a time: two would share its flash files. The lock goes with
// this process (the sandbox and QEMU do not inherit it).
bool lock_board(const std::string& board) {
    int lock = open(board.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lock < 0 || flock(lock, LOCK_EX | LOCK_NB) != 0) {
        sim_error("%s: %s", board.c_str(),
                  lock >= 0 && errno == EWOULDBLOCK
                      ? "powered on already (by another switch-sim boot or shell); refused"
                      : strerror(errno));
        return false;
    }
    return true;
}

// The switch's own build under a real kernel: QEMU holds no more host privilege than the
// sandbox would (the same identity, and the same system call filter below its own).
int power_on_e500(const boot_options& options) {
    if (!lock_board(options.board)) return 1;
    sandbox_setup setup;
    if (!prepare_setup(options, &setup)) return 1;
    sim_e500_options e500;
    e500.board = options.board;
    e500.rtc_given = options.rtc_given;
    e500.rtc_offset = options.rtc_offset;
    e500.usb_after = options.usb_after;
    e500.timeout = options.timeout;
    e500.time_scale = options.time_scale;
    e500.as_root = setup.as_root;
    e500.uid = setup.uid;
    e500.gid = setup.gid;
    e500.filter = console_filter();
    return sim_e500_power_on(e500);
}

// *ran tells whether the sandbox was started.
int power_on(const boot_options& options, bool* ran) {
    if (!lock_board(options.board)) return 1;
    sandbox_setup setup;
    if (!prepare_setup(options, &setup)) return 1;
    console_relay relay;
    // A terminal is always relayed, so that the console escape reaches the launcher.
    if (setup.as_root || isatty(0)) {
        if (!open_relay(setup, &relay)) {
            sim_error("cannot make the sandbox's console: %s", strerror(errno));
            return 1;
        }
        setup.console = relay.slave;
    } else {
        setup.console = console_device();
    }
    int filter_fd = console_filter_fd();
    if (filter_fd < 0) {
        sim_error("cannot prepare the sandbox's system call filter");
        return 1;
    }
    std::vector<std::string> args;
    if (!sandbox_arguments(options, setup, filter_fd, &args)) {
        close(filter_fd);
        return 1;
    }
    *ran = true;
    return run_sandbox(args, setup, relay, options.timeout, filter_fd);
}

} // namespace

// switch-sim boot DIR [--rtc "YYYY-MM-DD HH:MM:SS"] [--usb-after SECONDS]
int sim_cmd_boot(int argc, char** argv) {
    boot_options options;
    if (!parse_boot_options(argc, argv, false, &options)) return 2;
    if (options.e500) return power_on_e500(options);
    off_t events_before = events_size(options.board);
    bool ran = false;
    int status = power_on(options, &ran);
    fflush(stdout);
    return ran ? report_end(options.board, events_before, status) : status;
}

// switch-sim shell DIR [--rtc ...] [--usb-after ...] [-- COMMAND ...]: runs a command (a
// shell by default) in the same sandbox as a boot, for debugging and for the tests.
int sim_cmd_shell(int argc, char** argv) {
    boot_options options;
    if (!parse_boot_options(argc, argv, true, &options)) return 2;
    if (options.command.empty()) options.command = {"/bin/sh"};
    bool ran = false;
    return power_on(options, &ran);
}
