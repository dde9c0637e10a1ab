// switch-sim: the sandbox's file system and environment, as bwrap's command line.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sandbox/sim_sandbox.h"
#include "sandbox/board_layout.h"
#include "sandbox/emu.h"
#include "sandbox/sim_common.h"
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

namespace sim_sandbox {

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
// /tmp of one power-on holds a 256 MiB image and its unpacked tarball.
const char* const tmp_size = "805306368"; // 768 MiB
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

bool valid_term(const char* term) {
    if (term == nullptr || *term == '\0' || strlen(term) > 64) return false;
    for (const char* p = term; *p != '\0'; ++p) {
        bool ok = (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') ||
                  (*p >= '0' && *p <= '9') || *p == '-' || *p == '.' || *p == '+' || *p == '_';
        if (!ok) return false;
    }
    return true;
}

} // namespace

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

} // namespace sim_sandbox
