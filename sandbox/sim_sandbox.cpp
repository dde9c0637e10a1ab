// switch-sim boot and shell: powering on a simulated board (see sim_sandbox.h).
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include "sandbox/sim_common.h"
#include "sandbox/sim_sandbox.h"

namespace {

using namespace sim_sandbox;

const int timeout_status = 124;
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
    bool timed_out = false;
    int status = wait_for_sandbox(pid, setup, relay, timeout, &timed_out);
    if (have_termios) tcsetattr(0, TCSANOW, &saved);
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGQUIT, &old_quit, nullptr);
    if (relay.master >= 0) sigaction(SIGWINCH, &old_winch, nullptr);
    if (timed_out) {
        sim_error("powered the board off after %ld seconds (--timeout)", timeout);
        return timeout_status;
    }
    return status;
}

int power_on(const boot_options& options) {
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
    return run_sandbox(args, setup, relay, options.timeout, filter_fd);
}

} // namespace

// switch-sim boot DIR [--rtc "YYYY-MM-DD HH:MM:SS"] [--usb-after SECONDS]
int sim_cmd_boot(int argc, char** argv) {
    boot_options options;
    if (!parse_boot_options(argc, argv, false, &options)) return 2;
    return power_on(options);
}

// switch-sim shell DIR [--rtc ...] [--usb-after ...] [-- COMMAND ...]: runs a command (a
// shell by default) in the same sandbox as a boot, for debugging and for the tests.
int sim_cmd_shell(int argc, char** argv) {
    boot_options options;
    if (!parse_boot_options(argc, argv, true, &options)) return 2;
    if (options.command.empty()) options.command = {"/bin/sh"};
    return power_on(options);
}
