// Powering on a simulated board: the boot manager runs in a bubblewrap sandbox whose root
// filesystem is a small tmpfs that looks like the switch's: a shell, busybox's file tools,
// stub platform programs that only record themselves, the board directory at /sim, its
// user/ at /user, its usb/ at /mnt/usb, a fresh /tmp, and the caller's terminal as the
// console (/dev/ttyS0). Nothing outside the board directory is writable from inside.
//
// Signals: Ctrl-C on the console must reach the boot manager (its SIGINT handler is part
// of the dialogues) without killing the launcher or bwrap, whose death would take the
// sandbox down. So the launcher and bwrap ignore SIGINT and SIGQUIT, the sandbox keeps the
// caller's session and controlling terminal (no --new-session), and the sandbox's first
// program ("_init") puts both signals back to their defaults before it starts the boot
// manager. Ctrl-\ therefore stops a boot manager that hangs. Sharing the terminal would let
// a program in the sandbox push input into the caller's shell with the TIOCSTI ioctl, so a
// seccomp filter refuses that ioctl (and TIOCLINUX) in the sandbox.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <cstddef>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <set>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "sandbox/board_layout.h"
#include "sandbox/sim_common.h"

#ifndef BOOTMGR_SIM_PATH
#define BOOTMGR_SIM_PATH "bootmgr-sim"
#endif
#ifndef SANDBOX_SOURCE_DIR
#define SANDBOX_SOURCE_DIR "sandbox"
#endif

namespace {

const char* const bwrap_path = "/usr/bin/bwrap";
const char* const dash_path = "/usr/bin/dash";
const char* const ldd_path = "/usr/bin/ldd";
const char* const sandbox_path = "/bin:/sbin:/usr/bin:/usr/sbin";
const long max_usb_delay = 3600;

// busybox applets offered under their own names. Names that a stub program provides are
// left out even when listed here, so that the stub is what every caller finds.
const char* const busybox_applets[] = {
    "[",     "awk",      "basename", "cat",    "chmod",   "cmp",  "cp",     "cut",
    "dd",    "diff",     "dirname",  "echo",   "env",     "expr", "false",  "find",
    "grep",  "gunzip",   "gzip",     "head",   "hexdump", "id",   "kill",   "ln",
    "ls",    "md5sum",   "mkdir",    "mktemp", "mv",      "od",   "printf", "ps",
    "pwd",   "readlink", "realpath", "rm",     "rmdir",   "sed",  "seq",    "sha256sum",
    "sleep", "sort",     "stty",     "stat",   "sync",    "tail", "tar",    "tee",
    "test",  "touch",    "tr",       "true",   "uname",   "uniq", "usleep", "wc",
    "which", "xargs",    "xxd",      "zcat",
};

// The seccomp program given to bwrap: TIOCSTI and TIOCLINUX ioctls fail with EPERM; system
// calls of another architecture or ABI fail with ENOSYS; everything else is allowed.
std::vector<sock_filter> console_filter() {
#if defined(__x86_64__)
    const uint32_t arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    const uint32_t arch = AUDIT_ARCH_AARCH64;
#else
    return {};
#endif
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    const uint32_t arg1_low = offsetof(seccomp_data, args[1]);
#else
    const uint32_t arg1_low = offsetof(seccomp_data, args[1]) + 4;
#endif
    const uint32_t other_abi = 0x40000000u; // x32 system call numbers
    return {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, other_abi, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ioctl, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg1_low),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, TIOCSTI, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, TIOCLINUX, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
    };
}

// A pipe holding the seccomp program for bwrap; returns its reading end or -1.
int console_filter_fd() {
    std::vector<sock_filter> program = console_filter();
    if (program.empty()) return -1;
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0) return -1;
    size_t size = program.size() * sizeof(sock_filter); // far below the pipe's capacity
    bool ok = write(pipefd[1], program.data(), size) == ssize_t(size);
    close(pipefd[1]);
    if (!ok) {
        close(pipefd[0]);
        return -1;
    }
    return pipefd[0];
}

struct boot_options {
    std::string board; // absolute board directory
    bool rtc_given = false;
    long long rtc_offset = 0;
    long usb_after = -1;              // seconds; -1: not given
    std::vector<std::string> command; // what runs in the sandbox (after _init)
};

// Runs a program and returns its standard output (empty on failure).
std::string capture_output(const std::vector<std::string>& args) {
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0) return std::string();
    pid_t pid = fork();
    if (pid < 0) {
        close(pipefd[0]);
        close(pipefd[1]);
        return std::string();
    }
    if (pid == 0) {
        dup2(pipefd[1], 1);
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0) {
            dup2(null_fd, 0);
            dup2(null_fd, 2);
        }
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipefd[1]);
    std::string out;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(pipefd[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buffer, size_t(n));
    }
    close(pipefd[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return out;
}

// The shared libraries a host program needs, as the dynamic loader finds them (empty for
// a static program). Each is bound at the same path in the sandbox.
void add_shared_libraries(const std::string& program, std::set<std::string>* libraries) {
    std::string out = capture_output({ldd_path, program});
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        std::string line = out.substr(start, end - start);
        start = end + 1;
        std::string path;
        size_t arrow = line.find("=> ");
        if (arrow != std::string::npos) {
            path = line.substr(arrow + 3);
        } else {
            size_t first = line.find_first_not_of(" \t");
            if (first == std::string::npos) continue;
            path = line.substr(first);
        }
        size_t blank = path.find(' ');
        if (blank != std::string::npos) path.resize(blank);
        if (!path.empty() && path[0] == '/' && sim_is_file(path)) libraries->insert(path);
    }
}

std::string self_path() {
    char buffer[4096];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return std::string();
    buffer[n] = '\0';
    return buffer;
}

std::string busybox_path() {
    if (sim_is_file("/bin/busybox")) return "/bin/busybox";
    if (sim_is_file("/usr/bin/busybox")) return "/usr/bin/busybox";
    return std::string();
}

// Stub programs: SANDBOX_SOURCE_DIR/stubs/<dir>/<name> is bound at /<dir>/<name>.
bool add_stubs(std::vector<std::string>* args, std::set<std::string>* stub_names_in_bin) {
    std::string root = std::string(SANDBOX_SOURCE_DIR) + "/stubs";
    const char* const dirs[] = {"bin", "sbin", "usr/bin", "usr/sbin"};
    bool any = false;
    for (const char* dir : dirs) {
        std::string path = root + "/" + dir;
        DIR* d = opendir(path.c_str());
        if (d == nullptr) continue;
        while (dirent* entry = readdir(d)) {
            std::string name = entry->d_name;
            std::string file = path + "/" + name;
            if (name[0] == '.' || !sim_is_file(file) || access(file.c_str(), X_OK) != 0) continue;
            args->insert(args->end(), {"--ro-bind", file, std::string("/") + dir + "/" + name});
            if (std::string(dir) == "bin") stub_names_in_bin->insert(name);
            any = true;
        }
        closedir(d);
    }
    if (!any) sim_error("no stub programs found in %s", root.c_str());
    return any;
}

// The terminal device of standard input, when it is one.
std::string console_device() {
    if (!isatty(0)) return std::string();
    const char* name = ttyname(0);
    if (name != nullptr) {
        struct stat st;
        if (stat(name, &st) == 0 && S_ISCHR(st.st_mode)) return name;
    }
    return "/proc/self/fd/0"; // bwrap's own standard input: the same terminal
}

bool parse_rtc(const char* text, long long* offset) {
    int year, month, day, hour, minute, second, used = 0;
    if (sscanf(text, "%4d-%2d-%2d %2d:%2d:%2d%n", &year, &month, &day, &hour, &minute, &second,
               &used) != 6 ||
        text[used] != '\0' || year < 1970 || year > 2099 || month < 1 || month > 12 || day < 1 ||
        day > 31 || hour > 23 || minute > 59 || second > 59 || hour < 0 || minute < 0 ||
        second < 0) {
        return false;
    }
    tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    time_t wanted = timegm(&t);
    tm check{};
    gmtime_r(&wanted, &check);
    if (check.tm_mday != day) return false; // 31 April and the like
    *offset = static_cast<long long>(wanted) - static_cast<long long>(time(nullptr));
    return true;
}

bool valid_term(const char* term) {
    if (term == nullptr || *term == '\0' || strlen(term) > 64) return false;
    for (const char* p = term; *p != '\0'; ++p) {
        bool ok = (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') ||
                  (*p >= '0' && *p <= '9') || *p == '-' || *p == '.' || *p == '+' || *p == '_';
        if (!ok) return false;
    }
    return true;
}

// Parses "DIR [--rtc TIME] [--usb-after SECONDS]" and, for the shell command, "-- CMD ...".
bool parse_boot_options(int argc, char** argv, bool want_command, boot_options* options) {
    std::string dir;
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--rtc" && i + 1 < argc) {
            if (!parse_rtc(argv[++i], &options->rtc_offset)) {
                sim_error("--rtc: '%s' is not a time \"YYYY-MM-DD HH:MM:SS\"", argv[i]);
                return false;
            }
            options->rtc_given = true;
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
        } else if (arg.empty() || arg[0] == '-' || !dir.empty()) {
            sim_error("%s: unexpected argument '%s'", argv[0], argv[i]);
            return false;
        } else {
            dir = arg;
        }
    }
    if (dir.empty()) {
        sim_error(
            "usage: switch-sim %s DIR [--rtc \"YYYY-MM-DD HH:MM:SS\"] [--usb-after SECONDS]%s",
            argv[0], want_command ? " [-- COMMAND ...]" : "");
        return false;
    }
    for (; i < argc; ++i) options->command.push_back(argv[i]);
    return sim_open_board(dir, &options->board);
}

// The bwrap command line for one power-on.
bool sandbox_arguments(const boot_options& options, int filter_fd, std::vector<std::string>* args) {
    std::string self = self_path();
    std::string busybox = busybox_path();
    if (self.empty() || busybox.empty() || !sim_is_file(dash_path) || !sim_is_file(bwrap_path)) {
        sim_error("the sandbox needs %s, %s and busybox (scripts/deps.sh installs them)",
                  bwrap_path, dash_path);
        return false;
    }
    const std::string& board = options.board;
    std::vector<std::string>& a = *args;
    a = {bwrap_path,
         "--unshare-all", // user (when possible), IPC, PID, network, UTS, cgroup
         "--unshare-net", "--die-with-parent", "--cap-drop",     "ALL",  "--hostname",
         "switch",        "--clearenv",        "--setenv",       "PATH", sandbox_path,
         "--setenv",      SIM_BOARD_ENV,       SIM_BOARD_DEFAULT};
    const char* term = getenv("TERM");
    a.insert(a.end(), {"--setenv", "TERM", valid_term(term) ? term : "vt100"});
    if (options.rtc_given) {
        a.insert(a.end(), {"--setenv", SIM_RTC_OFFSET_ENV, std::to_string(options.rtc_offset)});
    }
    for (const char* dir : {"/bin", "/sbin", "/usr", "/usr/bin", "/usr/sbin", "/usr/lib",
                            "/usr/lib/sim", "/mnt", "/mnt/usb", "/etc"}) {
        a.insert(a.end(), {"--perms", "0755", "--dir", dir});
    }

    std::set<std::string> libraries;
    add_shared_libraries(dash_path, &libraries);
    add_shared_libraries(busybox, &libraries);
    add_shared_libraries(self, &libraries);
    if (sim_is_file(BOOTMGR_SIM_PATH)) add_shared_libraries(BOOTMGR_SIM_PATH, &libraries);
    for (const std::string& lib : libraries) a.insert(a.end(), {"--ro-bind", lib, lib});

    a.insert(a.end(), {"--ro-bind", dash_path, "/bin/sh"});
    a.insert(a.end(), {"--ro-bind", busybox, "/bin/busybox"});
    a.insert(a.end(), {"--ro-bind", self, SIM_SELF_IN_SANDBOX});
    if (sim_is_file(BOOTMGR_SIM_PATH)) {
        a.insert(a.end(), {"--ro-bind", BOOTMGR_SIM_PATH, SIM_BOOTMGR_IN_SANDBOX});
    } else if (options.command.empty()) {
        sim_error("%s: the boot manager is not built (cmake --build BUILD --target bootmgr-sim)",
                  BOOTMGR_SIM_PATH);
        return false;
    }
    std::set<std::string> stubs;
    if (!add_stubs(&a, &stubs)) return false;
    for (const char* applet : busybox_applets) {
        if (stubs.count(applet) == 0)
            a.insert(a.end(), {"--symlink", "busybox", std::string("/bin/") + applet});
    }

    a.insert(a.end(), {"--bind", board, SIM_BOARD_DEFAULT});
    a.insert(a.end(), {"--bind", board + "/user", "/user"});
    bool usb = sim_is_directory(board + "/usb");
    if (usb) a.insert(a.end(), {"--bind", board + "/usb", "/mnt/usb"});
    a.insert(a.end(), {"--perms", "01777", "--tmpfs", "/tmp"});
    a.insert(a.end(), {"--dev", "/dev"});
    std::string console = console_device();
    a.insert(a.end(), {"--dev-bind", console.empty() ? "/dev/null" : console, "/dev/ttyS0"});
    a.insert(a.end(), {"--proc", "/proc"});
    a.insert(a.end(), {"--remount-ro", "/"});
    a.insert(a.end(), {"--chdir", "/"});
    a.insert(a.end(), {"--seccomp", std::to_string(filter_fd)});

    a.insert(a.end(), {SIM_SELF_IN_SANDBOX, "_init"});
    if (usb)
        a.insert(a.end(),
                 {"--usb-after", std::to_string(options.usb_after < 0 ? 0 : options.usb_after)});
    a.push_back("--");
    if (options.command.empty()) {
        a.push_back(SIM_BOOTMGR_IN_SANDBOX);
    } else {
        a.insert(a.end(), options.command.begin(), options.command.end());
    }
    return true;
}

// Runs bwrap and waits for it; returns the exit status of the sandboxed program (128 + the
// signal number when a signal ended it). The console's settings are put back afterwards,
// since a boot manager stopped in the middle of a key read leaves it in raw mode.
int run_sandbox(const std::vector<std::string>& args, int filter_fd) {
    termios saved{};
    bool have_termios = isatty(0) && tcgetattr(0, &saved) == 0;

    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    struct sigaction old_int {
    }, old_quit{};
    sigaction(SIGINT, &ignore, &old_int);
    sigaction(SIGQUIT, &ignore, &old_quit);

    pid_t pid = fork();
    if (pid < 0) {
        sim_error("fork: %s", strerror(errno));
        return 1;
    }
    if (pid == 0) {
        // Keep no orphaned sandbox behind when the launcher is killed.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() == 1) _exit(1);
        // No core files from the sandbox: the host's core handler is not ours to feed.
        rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        fcntl(filter_fd, F_SETFD, 0); // bwrap reads the filter from it
        std::vector<char*> argv;
        for (const std::string& s : args) argv.push_back(const_cast<char*>(s.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        fprintf(stderr, "switch-sim: %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    close(filter_fd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            status = 1 << 8;
            break;
        }
    }
    if (have_termios) tcsetattr(0, TCSANOW, &saved);
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGQUIT, &old_quit, nullptr);
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
}

int power_on(const boot_options& options) {
    int filter_fd = console_filter_fd();
    if (filter_fd < 0) {
        sim_error("cannot prepare the sandbox's system call filter");
        return 1;
    }
    std::vector<std::string> args;
    if (!sandbox_arguments(options, filter_fd, &args)) {
        close(filter_fd);
        return 1;
    }
    return run_sandbox(args, filter_fd);
}

void create_usb_marker() {
    int fd = open(SIM_USB_MARKER, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
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

// In the sandbox: _tiocsti tries to push a character into the console's input, which the
// sandbox forbids. Prints the outcome; exit status 0 when refused.
int sim_cmd_tiocsti(int, char**) {
    char c = '\n';
    if (ioctl(0, TIOCSTI, &c) == 0) {
        puts("TIOCSTI allowed");
        return 1;
    }
    printf("TIOCSTI refused: %s\n", strerror(errno));
    return 0;
}

// In the sandbox: _init [--usb-after SECONDS] -- PROGRAM [ARG ...]
// Plays the platform's part at power-on: the USB hot-plug handling creates the mount
// marker once the stick is mounted (after the given delay), then the program starts with
// SIGINT and SIGQUIT back at their defaults.
int sim_cmd_init(int argc, char** argv) {
    long usb_after = -1;
    int i = 1;
    if (i + 1 < argc && strcmp(argv[i], "--usb-after") == 0) {
        uint64_t seconds = 0;
        if (!sim_parse_number(argv[i + 1], uint64_t(max_usb_delay), &seconds)) return 127;
        usb_after = long(seconds);
        i += 2;
    }
    if (i >= argc || strcmp(argv[i], "--") != 0 || i + 1 >= argc) {
        sim_error("usage: switch-sim _init [--usb-after SECONDS] -- PROGRAM [ARG ...]");
        return 127;
    }
    ++i;
    if (usb_after == 0) {
        create_usb_marker();
    } else if (usb_after > 0) {
        pid_t pid = fork();
        if (pid == 0) {
            signal(SIGINT, SIG_IGN);
            signal(SIGQUIT, SIG_IGN);
            int null_fd = open("/dev/null", O_RDWR);
            if (null_fd >= 0) {
                dup2(null_fd, 0);
                dup2(null_fd, 1);
                dup2(null_fd, 2);
                if (null_fd > 2) close(null_fd);
            }
            timespec left{usb_after, 0};
            while (nanosleep(&left, &left) != 0 && errno == EINTR) {
            }
            create_usb_marker();
            _exit(0);
        }
    }
    signal(SIGINT, SIG_DFL);
    signal(SIGQUIT, SIG_DFL);
    execv(argv[i], argv + i);
    sim_error("%s: %s", argv[i], strerror(errno));
    return 127;
}
