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
//
// Host privilege: the sandbox never runs with the host's root. Started by an ordinary user,
// bwrap makes an unprivileged user namespace as that user. Started by root, bwrap sets the
// sandbox up with its privilege (so the build, the sources and the board need not be
// reachable by anyone else), and the sandbox's first program gives up root for good before
// anything of the board runs: it becomes the owner of the board directory, or a dedicated
// unprivileged uid when root owns the board (which is then handed to that uid). A terminal
// is not passed on to it: the sandbox gets a pseudo-terminal of its own whose traffic the
// launcher relays. Everywhere: /proc/sys and the other host-writing parts of /proc are
// read-only, the board is mounted nosuid and nodev, no setuid or setgid bit can be set, and
// the boot has limits on its /tmp, its processes, its file sizes and (--timeout) its time.
//
// The board, user/ and usb/ are opened once and bound by descriptor; bwrap still mounts by
// path, so the first program checks that each mount is the directory opened (device and
// inode) before anything else runs: a link swapped in between is refused.
//
// Console and network: whenever the caller's input is a terminal the sandbox gets a
// pseudo-terminal of its own that the launcher relays, which lets the console escape
// (sim_console.h) reach the launcher; Ctrl-C still arrives as a byte and the sandbox's
// terminal turns it into SIGINT. After the host identity is final, _init gives the board
// its management network (sim_net.h) in a user namespace of the sandbox's own.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cstddef>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <pwd.h>
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
#include "sandbox/emu.h"
#include "sandbox/sim_common.h"
#include "sandbox/sim_console.h"
#include "sandbox/sim_net.h"

#ifndef BOOTMGR_SIM_PATH
#define BOOTMGR_SIM_PATH "bootmgr-sim"
#endif
#ifndef BOOTMGR_SIM_PPC_PATH
#define BOOTMGR_SIM_PPC_PATH "build-ppc/bootmgr-sim"
#endif
#ifndef SANDBOX_SOURCE_DIR
#define SANDBOX_SOURCE_DIR "sandbox"
#endif

namespace {

const char* const bwrap_path = "/usr/bin/bwrap";
const char* const dash_path = "/usr/bin/dash";
const char* const ldd_path = "/usr/bin/ldd";
// --target ppc: the PowerPC boot manager runs under this emulator (a static program), while
// the shell and the platform programs it starts run natively.
const char* const qemu_ppc_path = "/usr/bin/qemu-ppc-static";
// The memory checker that the launch's memory-check rows preload by its bare name: the
// sandbox's loader (no cache there) finds it in /usr/lib.
const char* const duma_name = "libduma.so.0.0.0";
#ifndef SIM_SERIAL_LINE_PATH
#define SIM_SERIAL_LINE_PATH ""
#endif
// The XMODEM receiver's preload (sandbox/serial_line.cpp); the rx wrapper names it.
const char* const SIM_SERIAL_LINE_IN_SANDBOX = "/usr/lib/sim/serial_line.so";
const char* const duma_folders[] = {"/usr/lib", "/usr/lib/x86_64-linux-gnu", "/lib"};
const char* const sandbox_path = "/bin:/sbin:/usr/bin:/usr/sbin";
const long max_usb_delay = 3600;
const long max_timeout = 7 * 24 * 3600;
const int timeout_status = 124;

// The host identity a sandbox started by root runs under when root owns the board.
const uid_t dedicated_id = 99999;
// Limits of one power-on: /tmp holds a 256 MiB image and its unpacked tarball; a fork bomb
// stops at the process limit; no file grows past the size limit.
const char* const tmp_size = "805306368"; // 768 MiB
const rlim_t max_processes = 512;
const rlim_t max_file_size = rlim_t(512) << 20;
// Parts of /proc through which a process writes the host, read-only in the sandbox.
const char* const proc_read_only[] = {"/proc/sys", "/proc/sysrq-trigger", "/proc/irq", "/proc/bus",
                                      "/proc/fs"};

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

#ifndef __NR_fchmodat2
#define __NR_fchmodat2 452
#endif

// The seccomp program given to bwrap: TIOCSTI and TIOCLINUX ioctls fail with EPERM; so does
// every call that would set a setuid or setgid bit (chmod and its kin, and the mode of a
// file being created); io_uring and openat2 (whose modes a filter cannot see) and system
// calls of another architecture or ABI fail with ENOSYS; everything else is allowed.
std::vector<sock_filter> console_filter() {
#if defined(__x86_64__)
    const uint32_t arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    const uint32_t arch = AUDIT_ARCH_AARCH64;
#else
    return {};
#endif
    auto low_word = [](unsigned arg) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        return uint32_t(offsetof(seccomp_data, args[0]) + 8 * arg);
#else
        return uint32_t(offsetof(seccomp_data, args[0]) + 8 * arg + 4);
#endif
    };
    const uint32_t other_abi = 0x40000000u; // x32 system call numbers
    const uint32_t deny = SECCOMP_RET_ERRNO | EPERM, missing = SECCOMP_RET_ERRNO | ENOSYS;
    std::vector<sock_filter> p = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, missing),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, other_abi, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, missing),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ioctl, 0, 5),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, low_word(1)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, TIOCSTI, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, TIOCLINUX, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, deny),
    };
    for (uint32_t nr :
         {__NR_io_uring_setup, __NR_io_uring_enter, __NR_io_uring_register, __NR_openat2}) {
        p.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, nr, 0, 1));
        p.push_back(BPF_STMT(BPF_RET | BPF_K, missing));
    }
    struct mode_call {
        uint32_t nr;
        unsigned mode_arg;
    };
    const mode_call mode_calls[] = {
#ifdef __NR_chmod
        {__NR_chmod, 1},   {__NR_open, 2},     {__NR_creat, 1},     {__NR_mknod, 1},
#endif
        {__NR_fchmod, 1},  {__NR_fchmodat, 2}, {__NR_fchmodat2, 2}, {__NR_openat, 3},
        {__NR_mknodat, 2},
    };
    for (const mode_call& call : mode_calls) {
        p.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, call.nr, 0, 4));
        p.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, low_word(call.mode_arg)));
        p.push_back(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, S_ISUID | S_ISGID, 0, 1));
        p.push_back(BPF_STMT(BPF_RET | BPF_K, deny));
        p.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    }
    p.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    return p;
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
    long timeout = 0;                 // seconds; 0: none
    bool link_down = false;           // the management link starts without carrier
    std::string time_scale;           // factor of the boot manager's sleeps; "": 1
    bool ppc = false;                 // --target ppc
    std::vector<std::string> command; // what runs in the sandbox (after _init)
};

// Who the sandbox runs as on the host, and the directories bound by descriptor.
struct sandbox_setup {
    bool as_root = false; // started by root: _init gives root up for uid and gid
    uid_t uid = 0;
    gid_t gid = 0;
    int board_fd = -1, user_fd = -1, usb_fd = -1;
    std::string console;             // what is bound at /dev/ttyS0
    std::vector<int> inherited;      // descriptors bwrap must receive
    std::vector<std::string> expect; // _init's --expect PATH=DEV:INO checks
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
    time_t wanted = 0;
    if (!emu_parse_clock_time(text, &wanted)) return false;
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

// Root hands a board it owns to the sandbox's identity: every directory and regular file
// of the board that root owns changes to uid:gid. Links are not followed, other mounts and
// files with several names are left alone.
bool adopt_board(int dir_fd, dev_t device, uid_t uid, gid_t gid, int depth) {
    if (depth > 32) return true;
    int listing = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listing < 0 ? nullptr : fdopendir(listing);
    if (dir == nullptr) {
        if (listing >= 0) close(listing);
        return false;
    }
    bool ok = true;
    while (dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
        struct stat st;
        if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_dev != device) continue;
        if (S_ISDIR(st.st_mode)) {
            int sub = openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0) continue;
            if (st.st_uid == 0 && fchown(sub, uid, gid) != 0) ok = false;
            ok = adopt_board(sub, device, uid, gid, depth + 1) && ok;
            close(sub);
        } else if (S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == 0) {
            if (fchownat(dir_fd, name, uid, gid, AT_SYMLINK_NOFOLLOW) != 0) ok = false;
        }
    }
    closedir(dir);
    return ok;
}

std::string dev_ino(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return std::string();
    return std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
           std::to_string(static_cast<unsigned long long>(st.st_ino));
}

// Opens the board, user/ and usb/ once, and chooses the sandbox's host identity.
bool prepare_setup(const boot_options& options, sandbox_setup* setup) {
    const std::string& board = options.board;
    setup->board_fd = open(board.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (setup->board_fd < 0) {
        sim_error("%s: %s", board.c_str(), strerror(errno));
        return false;
    }
    struct open_dir {
        const char* name;
        int* fd;
        const char* mount;
        bool optional;
    };
    const open_dir dirs[] = {{"user", &setup->user_fd, "/user", false},
                             {"usb", &setup->usb_fd, "/mnt/usb", true}};
    for (const open_dir& d : dirs) {
        *d.fd = openat(setup->board_fd, d.name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (*d.fd < 0 && errno == ENOENT && d.optional) continue;
        if (*d.fd < 0) {
            sim_error("%s/%s: must be a directory of its own, not a link or a file", board.c_str(),
                      d.name);
            return false;
        }
    }
    for (const open_dir& d : dirs) {
        if (*d.fd >= 0) setup->expect.push_back(std::string(d.mount) + "=" + dev_ino(*d.fd));
    }
    setup->expect.push_back(std::string(SIM_BOARD_DEFAULT) + "=" + dev_ino(setup->board_fd));
    for (int fd : {setup->board_fd, setup->user_fd, setup->usb_fd}) {
        if (fd >= 0) setup->inherited.push_back(fd);
    }
    if (geteuid() != 0) return true;

    setup->as_root = true;
    struct stat st;
    if (fstat(setup->board_fd, &st) != 0) return false;
    if (st.st_uid != 0) {
        setup->uid = st.st_uid;
        passwd* pw = getpwuid(st.st_uid);
        setup->gid = st.st_gid != 0 ? st.st_gid : pw != nullptr ? pw->pw_gid : gid_t(st.st_uid);
    } else {
        setup->uid = dedicated_id;
        setup->gid = dedicated_id;
    }
    int dir = open(board.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = dir >= 0 && (st.st_uid != 0 || fchown(dir, setup->uid, setup->gid) == 0) &&
              adopt_board(dir, st.st_dev, setup->uid, setup->gid, 0);
    if (dir >= 0) close(dir);
    if (!ok) {
        sim_error("%s: cannot hand the board to uid %u: %s", board.c_str(), unsigned(setup->uid),
                  strerror(errno));
        return false;
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
                sim_error("--rtc: '%s' is not a time \"YYYY-MM-DD HH:MM:SS\" the emulated "
                          "clock shows (" EMU_RTC_RANGE_TEXT ")",
                          argv[i]);
                return false;
            }
            options->rtc_given = true;
        } else if (arg == "--target" && i + 1 < argc) {
            std::string target = argv[++i];
            if (target != "ppc" && target != "host") {
                sim_error("--target: 'host' or 'ppc', not '%s'", argv[i]);
                return false;
            }
            options->ppc = target == "ppc";
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
        } else if (arg.empty() || arg[0] == '-' || !dir.empty()) {
            sim_error("%s: unexpected argument '%s'", argv[0], argv[i]);
            return false;
        } else {
            dir = arg;
        }
    }
    if (dir.empty()) {
        sim_error("usage: switch-sim %s DIR [--rtc \"YYYY-MM-DD HH:MM:SS\"] [--usb-after SECONDS] "
                  "[--timeout SECONDS] [--target host|ppc] [--link up|down] [--time-scale F]%s",
                  argv[0], want_command ? " [-- COMMAND ...]" : "");
        return false;
    }
    for (; i < argc; ++i) options->command.push_back(argv[i]);
    return sim_open_board(dir, &options->board) && check_board_files(*options);
}

// The bwrap command line for one power-on.
bool sandbox_arguments(const boot_options& options, const sandbox_setup& setup, int filter_fd,
                       std::vector<std::string>* args) {
    std::string self = self_path();
    std::string busybox = busybox_path();
    if (self.empty() || busybox.empty() || !sim_is_file(dash_path) || !sim_is_file(bwrap_path)) {
        sim_error("the sandbox needs %s, %s and busybox (scripts/deps.sh installs them)",
                  bwrap_path, dash_path);
        return false;
    }
    std::vector<std::string>& a = *args;
    a = {bwrap_path};
    if (setup.as_root) {
        // No user namespace: bwrap's mounts are made with root's reach, and _init leaves
        // root for the sandbox's own uid, which needs the capabilities to do so.
        a.insert(a.end(), {"--unshare-ipc", "--unshare-pid", "--unshare-uts",
                           "--unshare-cgroup-try", "--cap-drop", "ALL", "--cap-add", "CAP_SETUID",
                           "--cap-add", "CAP_SETGID", "--cap-add", "CAP_SETPCAP"});
    } else {
        // user (when possible), IPC, PID, network, UTS, cgroup
        a.insert(a.end(), {"--unshare-all", "--cap-drop", "ALL"});
    }
    a.insert(a.end(),
             {"--unshare-net", "--die-with-parent", "--hostname", "switch", "--clearenv",
              "--setenv", "PATH", sandbox_path, "--setenv", SIM_BOARD_ENV, SIM_BOARD_DEFAULT});
    const char* term = getenv("TERM");
    a.insert(a.end(), {"--setenv", "TERM", valid_term(term) ? term : "vt100"});
    if (options.rtc_given) {
        a.insert(a.end(), {"--setenv", SIM_RTC_OFFSET_ENV, std::to_string(options.rtc_offset)});
    }
    if (!options.time_scale.empty()) {
        a.insert(a.end(), {"--setenv", SIM_TIME_SCALE_ENV, options.time_scale});
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
    const std::vector<sim_net_program> network = sim_net_programs();
    if (network.empty()) return false;
    for (const sim_net_program& program : network) add_shared_libraries(program.host, &libraries);
    std::string duma;
    for (const char* folder : duma_folders) {
        std::string candidate = std::string(folder) + "/" + duma_name;
        if (duma.empty() && sim_is_file(candidate)) duma = candidate;
    }
    if (!duma.empty()) add_shared_libraries(duma, &libraries);
    // Folders on the way are made readable by all: the sandbox's uid is not bwrap's.
    std::set<std::string> folders;
    for (const std::string& lib : libraries) {
        for (size_t slash = lib.find('/', 1); slash != std::string::npos;
             slash = lib.find('/', slash + 1)) {
            folders.insert(lib.substr(0, slash));
        }
    }
    for (const std::string& folder : folders) {
        a.insert(a.end(), {"--perms", "0755", "--dir", folder});
    }
    for (const std::string& lib : libraries) a.insert(a.end(), {"--ro-bind", lib, lib});

    if (!duma.empty()) a.insert(a.end(), {"--ro-bind", duma, std::string("/usr/lib/") + duma_name});
    a.insert(a.end(), {"--ro-bind", dash_path, "/bin/sh"});
    a.insert(a.end(), {"--ro-bind", busybox, "/bin/busybox"});
    a.insert(a.end(), {"--ro-bind", self, SIM_SELF_IN_SANDBOX});
    if (sim_is_file(SIM_SERIAL_LINE_PATH))
        a.insert(a.end(), {"--ro-bind", SIM_SERIAL_LINE_PATH, SIM_SERIAL_LINE_IN_SANDBOX});
#ifdef BOOTMGR_CONFIRM_SIM_PATH
    // The application OS's confirmation program (boot counting), over the emulated board.
    if (sim_is_file(BOOTMGR_CONFIRM_SIM_PATH))
        a.insert(a.end(), {"--ro-bind", BOOTMGR_CONFIRM_SIM_PATH, "/usr/bin/bootmgr-confirm"});
#endif
    if (options.ppc) {
        if (!sim_is_file(BOOTMGR_SIM_PPC_PATH) || !sim_is_file(qemu_ppc_path)) {
            sim_error("--target ppc needs %s (cmake -S . -B build-ppc "
                      "-DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake && cmake --build "
                      "build-ppc --target bootmgr-sim) and %s (qemu-user-static)",
                      BOOTMGR_SIM_PPC_PATH, qemu_ppc_path);
            return false;
        }
        a.insert(a.end(), {"--ro-bind", BOOTMGR_SIM_PPC_PATH, SIM_BOOTMGR_IN_SANDBOX});
        a.insert(a.end(), {"--ro-bind", qemu_ppc_path, qemu_ppc_path});
    } else if (sim_is_file(BOOTMGR_SIM_PATH)) {
        a.insert(a.end(), {"--ro-bind", BOOTMGR_SIM_PATH, SIM_BOOTMGR_IN_SANDBOX});
    } else if (options.command.empty()) {
        sim_error("%s: the boot manager is not built (cmake --build BUILD --target bootmgr-sim)",
                  BOOTMGR_SIM_PATH);
        return false;
    }
    for (const sim_net_program& program : network) {
        a.insert(a.end(), {"--ro-bind", program.host, program.sandbox});
    }
    const std::vector<std::string> network_args = sim_net_sandbox_arguments();
    a.insert(a.end(), network_args.begin(), network_args.end());
    std::set<std::string> stubs;
    if (!add_stubs(&a, &stubs)) return false;
    for (const char* applet : busybox_applets) {
        if (stubs.count(applet) == 0)
            a.insert(a.end(), {"--symlink", "busybox", std::string("/bin/") + applet});
    }

    a.insert(a.end(), {"--bind-fd", std::to_string(setup.board_fd), SIM_BOARD_DEFAULT});
    a.insert(a.end(), {"--bind-fd", std::to_string(setup.user_fd), "/user"});
    if (setup.usb_fd >= 0) {
        a.insert(a.end(), {"--bind-fd", std::to_string(setup.usb_fd), "/mnt/usb"});
    }
    a.insert(a.end(), {"--perms", "01777", "--size", tmp_size, "--tmpfs", "/tmp"});
    a.insert(a.end(), {"--dev", "/dev"});
    a.insert(a.end(),
             {"--dev-bind", setup.console.empty() ? "/dev/null" : setup.console, "/dev/ttyS0"});
    a.insert(a.end(), {"--proc", "/proc"});
    for (const char* path : proc_read_only) {
        if (access(path, F_OK) == 0) a.insert(a.end(), {"--ro-bind", path, path});
    }
    a.insert(a.end(), {"--remount-ro", "/"});
    a.insert(a.end(), {"--chdir", "/"});
    a.insert(a.end(), {"--seccomp", std::to_string(filter_fd)});

    a.insert(a.end(), {SIM_SELF_IN_SANDBOX, "_init"});
    if (setup.as_root) {
        a.insert(a.end(), {"--uid", std::to_string(setup.uid), "--gid", std::to_string(setup.gid)});
    }
    for (const std::string& expect : setup.expect) a.insert(a.end(), {"--expect", expect});
    if (options.link_down) a.insert(a.end(), {"--link", "down"});
    if (setup.usb_fd >= 0)
        a.insert(a.end(),
                 {"--usb-after", std::to_string(options.usb_after < 0 ? 0 : options.usb_after)});
    a.push_back("--");
    if (options.command.empty() && options.ppc) {
        a.insert(a.end(), {qemu_ppc_path, SIM_BOOTMGR_IN_SANDBOX});
    } else if (options.command.empty()) {
        a.push_back(SIM_BOOTMGR_IN_SANDBOX);
    } else {
        a.insert(a.end(), options.command.begin(), options.command.end());
    }
    return true;
}

// The pseudo-terminal of a sandbox started by root while a terminal is attached: the
// sandbox's console is its slave, owned by the sandbox's uid; the launcher relays the
// caller's terminal to and from the master.
struct console_relay {
    bool tty[3] = {}; // which of the caller's standard descriptors are terminals
    int master = -1;
    std::string slave;
    int slave_fd = -1;
    int input = -1;  // the caller's terminal relayed into the master, or -1
    int output = -1; // where the master's output goes
    int model = -1;  // the terminal whose settings and size the slave copies
};

volatile sig_atomic_t g_window_changed = 0;

void on_window_change(int) {
    g_window_changed = 1;
}

bool open_relay(const sandbox_setup& setup, console_relay* r) {
    for (int fd = 0; fd < 3; ++fd) r->tty[fd] = isatty(fd) != 0;
    if (!r->tty[0] && !r->tty[1] && !r->tty[2]) return true;
    r->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const char* name = nullptr;
    if (r->master < 0 || grantpt(r->master) != 0 || unlockpt(r->master) != 0 ||
        (name = ptsname(r->master)) == nullptr) {
        return false;
    }
    r->slave = name;
    if ((setup.as_root && chown(name, setup.uid, setup.gid) != 0) || chmod(name, 0600) != 0)
        return false;
    r->model = r->tty[0] ? 0 : r->tty[1] ? 1 : 2;
    int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) return false;
    termios settings{};
    winsize size{};
    if (tcgetattr(r->model, &settings) == 0) tcsetattr(slave, TCSANOW, &settings);
    if (ioctl(r->model, TIOCGWINSZ, &size) == 0) ioctl(slave, TIOCSWINSZ, &size);
    // Held until the sandbox has ended, so that the master does not hang up in between.
    r->slave_fd = slave;
    r->input = r->tty[0] ? 0 : -1;
    r->output = r->tty[1] ? 1 : 2;
    return true;
}

bool write_all(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= size_t(n);
    }
    return true;
}

// In the child: the slave becomes the controlling terminal of a session of its own and
// takes the place of each standard descriptor that was a terminal.
void attach_relay(const console_relay& r) {
    setsid();
    int slave = open(r.slave.c_str(), O_RDWR | O_CLOEXEC);
    if (slave < 0) _exit(127);
    ioctl(slave, TIOCSCTTY, 0);
    for (int fd = 0; fd < 3; ++fd) {
        if (r.tty[fd]) dup2(slave, fd);
    }
}

// Waits for the sandbox, relaying the console when there is a relay, and powers the board
// off (kills bwrap, which takes the sandbox down) when the time-out runs out.
int wait_for_sandbox(pid_t pid, const sandbox_setup& setup, const console_relay& r, long timeout,
                     bool* timed_out) {
    sim_console_escape escape;
    escape.input = r.input;
    escape.output = r.output;
    escape.master = r.master;
    escape.drop_identity = setup.as_root;
    escape.uid = setup.uid;
    escape.gid = setup.gid;
    bool powered_off = false; // by the operator, through the escape
    int pidfd = int(syscall(SYS_pidfd_open, pid, 0));
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long deadline =
        timeout > 0 ? now.tv_sec * 1000LL + now.tv_nsec / 1000000 + timeout * 1000LL : -1;
    bool input_open = r.input >= 0, master_open = r.master >= 0, exited = false;
    int status = 0;
    char buffer[4096];
    while (!exited) {
        int wait_ms = pidfd >= 0 ? -1 : 50;
        if (deadline >= 0 && !*timed_out) {
            clock_gettime(CLOCK_MONOTONIC, &now);
            long long left = deadline - (now.tv_sec * 1000LL + now.tv_nsec / 1000000);
            if (left <= 0) {
                kill(pid, SIGKILL);
                *timed_out = true;
                continue;
            }
            wait_ms = wait_ms < 0 || left < wait_ms ? int(std::min(left, 1000000LL)) : wait_ms;
        }
        pollfd fds[3];
        nfds_t count = 0;
        if (pidfd >= 0) fds[count++] = {pidfd, POLLIN, 0};
        int master_slot = master_open ? int(count) : -1;
        if (master_open) fds[count++] = {r.master, POLLIN, 0};
        int input_slot = input_open ? int(count) : -1;
        if (input_open) fds[count++] = {r.input, POLLIN, 0};
        int ready = poll(fds, count, wait_ms);
        if (g_window_changed) {
            g_window_changed = 0;
            winsize size{};
            if (ioctl(r.model, TIOCGWINSZ, &size) == 0) ioctl(r.master, TIOCSWINSZ, &size);
        }
        if (ready < 0 && errno != EINTR) break;
        if (master_slot >= 0 && fds[master_slot].revents != 0) {
            ssize_t n = read(r.master, buffer, sizeof buffer);
            if (n > 0) {
                write_all(r.output, buffer, size_t(n));
            } else if (n == 0 || errno != EINTR) {
                master_open = false; // every slave descriptor is closed
            }
        }
        if (input_slot >= 0 && fds[input_slot].revents != 0) {
            ssize_t n = read(r.input, buffer, sizeof buffer);
            if (n > 0) {
                if (sim_console_input(&escape, buffer, size_t(n))) {
                    kill(pid, SIGKILL);
                    powered_off = true;
                }
            } else if (n == 0 || errno != EINTR) {
                input_open = false;
            }
        }
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno == ECHILD)) exited = true;
    }
    if (!exited) {
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (master_open) { // what the sandbox wrote last
        fcntl(r.master, F_SETFL, O_NONBLOCK);
        ssize_t n;
        while ((n = read(r.master, buffer, sizeof buffer)) > 0)
            write_all(r.output, buffer, size_t(n));
    }
    if (pidfd >= 0) close(pidfd);
    if (r.slave_fd >= 0) close(r.slave_fd);
    if (powered_off) return 0;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
}

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

// In the sandbox: _init [--uid UID --gid GID] [--expect PATH=DEV:INO ...]
//                       [--usb-after SECONDS] -- PROGRAM [ARG ...]
// Checks that each PATH is the directory the launcher opened (bwrap mounts by path, so a
// link swapped in meanwhile is caught here), gives root up for UID and GID when the
// launcher ran as root, then plays the platform's part at power-on: the USB hot-plug
// handling creates the mount marker once the stick is mounted (after the given delay), and
// the program starts with SIGINT and SIGQUIT back at their defaults.
int sim_cmd_init(int argc, char** argv) {
    long usb_after = -1;
    bool link_down = false;
    long long uid = -1, gid = -1;
    int i = 1;
    for (; i + 1 < argc; i += 2) {
        uint64_t value = 0;
        if (strcmp(argv[i], "--usb-after") == 0) {
            if (!sim_parse_number(argv[i + 1], uint64_t(max_usb_delay), &value)) return 127;
            usb_after = long(value);
        } else if (strcmp(argv[i], "--uid") == 0 || strcmp(argv[i], "--gid") == 0) {
            if (!sim_parse_number(argv[i + 1], 0xFFFFFFFEu, &value) || value == 0) return 127;
            (argv[i][2] == 'u' ? uid : gid) = static_cast<long long>(value);
        } else if (strcmp(argv[i], "--link") == 0) {
            link_down = strcmp(argv[i + 1], "down") == 0;
        } else if (strcmp(argv[i], "--expect") == 0) {
            const char* eq = strchr(argv[i + 1], '=');
            struct stat st;
            std::string path(argv[i + 1], eq ? size_t(eq - argv[i + 1]) : 0);
            if (eq == nullptr || stat(path.c_str(), &st) != 0 ||
                std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
                        std::to_string(static_cast<unsigned long long>(st.st_ino)) !=
                    eq + 1) {
                sim_error("%s: not the board's own directory (replaced while the board powered "
                          "on); refused",
                          path.c_str());
                return 127;
            }
        } else {
            break;
        }
    }
    if (i >= argc || strcmp(argv[i], "--") != 0 || i + 1 >= argc || (uid < 0) != (gid < 0)) {
        sim_error("usage: switch-sim _init [--uid UID --gid GID] [--expect PATH=DEV:INO ...] "
                  "[--usb-after SECONDS] -- PROGRAM [ARG ...]");
        return 127;
    }
    ++i;
    if (uid > 0) {
        // For good: no capability left in the bounding set, no way back through exec.
        prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
        for (int cap = 0; cap < 64; ++cap) prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
        if (setgroups(0, nullptr) != 0 || setresgid(gid_t(gid), gid_t(gid), gid_t(gid)) != 0 ||
            setresuid(uid_t(uid), uid_t(uid), uid_t(uid)) != 0 || setuid(0) == 0 ||
            geteuid() == 0) {
            sim_error("cannot give up root: %s", strerror(errno));
            return 127;
        }
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct none[2] = {};
        syscall(SYS_capset, &header, none);
    }
    // Without a network the board still boots; its network commands then fail.
    sim_net_start(link_down);
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
