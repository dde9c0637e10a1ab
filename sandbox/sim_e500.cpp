// switch-sim boot DIR --target e500: the switch's own build of the boot manager (bootmgr, over
// the kernel's devices) runs as the first program after a real Linux kernel on QEMU's ppce500
// machine, on the same board directory as the sandbox.
//
// Power-on assembles the six flash partition files into the machine's CFI flash (each at
// the next 64 KiB erase block, named by the kernel command line's mtdparts), copies
// eeprom.bin into an at24c EEPROM at the board EEPROM's address, and shares user/ (and usb/)
// with the guest over virtio 9p. Power-off writes flash and EEPROM back into the board's
// files, so that switch-sim's other commands and the tests read the result as for the
// sandbox. There is no I2C multiplexer or LED controller model: small at24c EEPROMs at
// their addresses acknowledge what the boot manager writes. The machine's generated device
// tree binds the kernel's RTC driver to the clock the boot manager reads itself; the tree
// is dumped, that node removed (and the timebase frequency scaled for --time-scale, which
// makes every wait of the guest, kernel and boot manager alike, that many times as long),
// and passed back with -dtb.
//
// The first serial port is the console: the launcher relays its input and output (with
// the console escape when the input is a terminal). The second is a line to the guest's
// init (sandbox/e500/init): event lines of the recording stubs and the boot manager's exit
// status come up it, and "ready" once the console is the boot manager's (the launcher's
// input waits for it: a serial driver starting up drops what its port received before);
// "eof" goes down it once everything the launcher's input held has been taken. QEMU has no
// network. Started by root, it runs as the board's identity, as the sandbox does, and under
// the sandbox's system call filter beside its own: nothing the guest writes through the
// shared folders carries a setuid or setgid bit.
#include "sandbox/sim_e500.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <grp.h>
#include <linux/seccomp.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "sandbox/emu.h"
#include "sandbox/sim_common.h"
#include "sandbox/sim_console.h"
#include "sandbox/sim_e500_machine.h"

#ifndef E500_TARGET_DIR
#define E500_TARGET_DIR "build-e500"
#endif

using namespace e500;

namespace {

const int timeout_status = 124;
const size_t max_line = 4096;

// The control line from the guest: "exit N", or an event "KIND TEXT" for events.log.
struct control_reader {
    std::string board;
    std::string line;
    int status = -1;    // the boot manager's exit status, once reported
    bool ready = false; // the guest reads the console

    void take(const char* data, size_t length) {
        for (size_t i = 0; i < length; ++i) {
            char c = data[i];
            if (c == '\r') continue;
            if (c != '\n') {
                if (line.size() < max_line) line += c;
                continue;
            }
            finish();
        }
    }
    void finish() {
        size_t blank = line.find(' ');
        std::string kind = line.substr(0, blank);
        std::string text = blank == std::string::npos ? "" : line.substr(blank + 1);
        line.clear();
        uint64_t value = 0;
        if (kind == "ready") {
            ready = true;
        } else if (kind == "exit" && sim_parse_number(text.c_str(), 255, &value)) {
            status = int(value);
        } else if (kind == "cmd" || kind == "reboot") {
            for (char& c : text) {
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
            }
            emu_append_event(board + "/events.log", kind, text);
        }
    }
};

struct qemu_run {
    pid_t pid = -1;
    int console = -1;    // our end of QEMU's standard input and output
    int from_guest = -1; // the control line
    int to_guest = -1;
};

// Relays the console until QEMU ends; powers the board off at the time-out or when the
// operator asks. Returns the boot manager's status as the sandbox's launcher does.
int relay(const qemu_run& q, const sim_e500_options& options, control_reader* control) {
    bool tty = isatty(0) != 0;
    sim_console_escape escape;
    escape.input = 0;
    escape.output = 1;
    escape.master = q.console;
    int pidfd = int(syscall(SYS_pidfd_open, q.pid, 0));
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    auto ms = [](const timespec& t) { return t.tv_sec * 1000LL + t.tv_nsec / 1000000; };
    const long long deadline = options.timeout > 0 ? ms(now) + options.timeout * 1000LL : -1;
    bool input_open = true, end_pending = false, timed_out = false, powered_off = false;
    int status = 0;
    char buffer[4096];
    for (;;) {
        pid_t done = waitpid(q.pid, &status, WNOHANG);
        if (done == q.pid || (done < 0 && errno == ECHILD)) break;
        int wait_ms = pidfd >= 0 && !end_pending ? -1 : 50;
        if (deadline >= 0 && !timed_out) {
            clock_gettime(CLOCK_MONOTONIC, &now);
            long long left = deadline - ms(now);
            if (left <= 0) {
                kill(q.pid, SIGKILL);
                timed_out = true;
                continue;
            }
            wait_ms = wait_ms < 0 || left < wait_ms ? int(std::min(left, 1000000LL)) : wait_ms;
        }
        if (end_pending) {
            int queued = 0;
            if (ioctl(q.console, SIOCOUTQ, &queued) == 0 && queued == 0) {
                sim_write_all(q.to_guest, "eof\n", 4);
                end_pending = false;
            }
        }
        pollfd fds[4] = {{q.console, POLLIN, 0},
                         {q.from_guest, POLLIN, 0},
                         {pidfd, POLLIN, 0},
                         {input_open && control->ready ? 0 : -1, POLLIN, 0}};
        int ready = poll(fds, 4, wait_ms);
        if (ready < 0 && errno != EINTR) break;
        if (fds[0].revents != 0) {
            ssize_t n = read(q.console, buffer, sizeof buffer);
            if (n > 0) sim_write_all(1, buffer, size_t(n));
        }
        if (fds[1].revents != 0) {
            ssize_t n = read(q.from_guest, buffer, sizeof buffer);
            if (n > 0) control->take(buffer, size_t(n));
        }
        if (fds[3].revents != 0) {
            ssize_t n = read(0, buffer, sizeof buffer);
            if (n > 0 && tty) {
                if (sim_console_input(&escape, buffer, size_t(n))) {
                    kill(q.pid, SIGKILL);
                    powered_off = true;
                }
            } else if (n > 0) {
                sim_write_all(q.console, buffer, size_t(n));
            } else if (n == 0 || errno != EINTR) {
                input_open = false;
                end_pending = !tty;
            }
        }
    }
    fcntl(q.console, F_SETFL, O_NONBLOCK);
    ssize_t n;
    while ((n = read(q.console, buffer, sizeof buffer)) > 0) sim_write_all(1, buffer, size_t(n));
    fcntl(q.from_guest, F_SETFL, O_NONBLOCK);
    while ((n = read(q.from_guest, buffer, sizeof buffer)) > 0) control->take(buffer, size_t(n));
    if (pidfd >= 0) close(pidfd);
    if (timed_out) {
        sim_error("powered the board off after %ld seconds (--timeout)", options.timeout);
        return timeout_status;
    }
    if (powered_off) return 0;
    if (control->status >= 0) return control->status;
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        sim_error("%s failed (exit status %d)", qemu_path, WEXITSTATUS(status));
    } else {
        sim_error("the board powered off without the boot manager's exit status");
    }
    return 1;
}

// Starts QEMU with its console on a socket whose other end is returned in q->console.
bool start_qemu(const std::vector<std::string>& args, const sim_e500_options& options,
                qemu_run* q) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return false;
    q->pid = fork();
    if (q->pid < 0) return false;
    if (q->pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL); // no machine left running without its launcher
        dup2(pair[1], 0);
        dup2(pair[1], 1);
        // Started by root: the board's identity for good, before anything of the board runs.
        if (options.as_root && (setgroups(0, nullptr) != 0 || setgid(options.gid) != 0 ||
                                setuid(options.uid) != 0 || setuid(0) == 0)) {
            fprintf(stderr, "switch-sim: cannot give root up: %s\n", strerror(errno));
            _exit(127);
        }
        if (!options.filter.empty()) {
            sock_fprog program{static_cast<unsigned short>(options.filter.size()),
                               const_cast<sock_filter*>(options.filter.data())};
            if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
                prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
                fprintf(stderr, "switch-sim: cannot filter QEMU's system calls: %s\n",
                        strerror(errno));
                _exit(127);
            }
        }
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        fprintf(stderr, "switch-sim: %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    close(pair[1]);
    q->console = pair[0];
    return true;
}

// Descriptors QEMU inherits and opens by /proc/self/fd: a QEMU that runs as the board's
// identity reaches the board's folders and the target's files although a folder above them
// (pytest's, CI's) is root's alone, and a link swapped in after the check is not followed.
struct inherited_paths {
    std::vector<int> fds;
    ~inherited_paths() {
        for (int fd : fds) close(fd);
    }
    // "/proc/self/fd/N" for path opened with flags (O_PATH among them), or "" on failure.
    std::string open_path(const std::string& path, int flags) {
        int fd = open(path.c_str(), O_PATH | flags);
        if (fd < 0) return std::string();
        fds.push_back(fd);
        return "/proc/self/fd/" + std::to_string(fd);
    }
};

struct temp_dir {
    std::string path;
    ~temp_dir() {
        if (path.empty()) return;
        for (const char* name :
             {"flash.img", "eeprom.img", "machine.dtb", "control.in", "control.out"}) {
            unlink((path + "/" + name).c_str());
        }
        rmdir(path.c_str());
    }
};

} // namespace

int sim_e500_power_on(const sim_e500_options& options) {
    const std::string target = E500_TARGET_DIR;
    const std::string kernel = target + "/vmlinux", initramfs = target + "/initramfs.cpio.gz";
    for (const std::string& file : {kernel, initramfs, std::string(qemu_path),
                                    std::string(fdtget_path), std::string(fdtput_path)}) {
        if (!sim_is_file(file)) {
            sim_error("--target e500 needs %s (bash scripts/target-e500.sh builds and installs "
                      "what it needs)",
                      file.c_str());
            return 1;
        }
    }
    std::string rtc_base;
    std::vector<partition> parts;
    std::vector<uint8_t> eeprom;
    if (!read_board_conf(options, &rtc_base) || !read_partitions(options.board, &parts) ||
        !sim_read_file(options.board, "eeprom.bin", &eeprom, SIM_EEPROM_SIZE)) {
        return 1;
    }
    if (eeprom.size() != SIM_EEPROM_SIZE) {
        sim_error("%s/eeprom.bin: must be %u bytes", options.board.c_str(),
                  unsigned(SIM_EEPROM_SIZE));
        return 1;
    }
    double time_scale =
        options.time_scale.empty() ? 1.0 : strtod(options.time_scale.c_str(), nullptr);

    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/switch-sim-e500-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    temp_dir work;
    if (mkdtemp(name.data()) == nullptr) {
        sim_error("%s: %s", pattern.c_str(), strerror(errno));
        return 1;
    }
    work.path = name.data();
    const std::string flash_file = work.path + "/flash.img",
                      eeprom_file = work.path + "/eeprom.img";
    const std::string dtb = work.path + "/machine.dtb", control = work.path + "/control";
    std::string mtdparts;
    std::vector<uint8_t> flash = flash_image(parts, &mtdparts);
    if (!write_file(flash_file, flash) || !write_file(eeprom_file, eeprom) ||
        mkfifo((control + ".in").c_str(), 0600) != 0 ||
        mkfifo((control + ".out").c_str(), 0600) != 0) {
        return 1;
    }

    bool usb = sim_is_directory(options.board + "/usb");
    std::string append = "console=ttyS0 panic=-1 mtdparts=" + mtdparts;
    append += isatty(0) ? " sim_console=tty" : " sim_console=pipe";
    if (usb)
        append += " sim_usb_after=" + std::to_string(options.usb_after < 0 ? 0 : options.usb_after);
    inherited_paths inherited;
    const std::string kernel_path = inherited.open_path(kernel, 0),
                      initramfs_path = inherited.open_path(initramfs, 0);
    if (kernel_path.empty() || initramfs_path.empty()) {
        sim_error("%s: %s", kernel.c_str(), strerror(errno));
        return 1;
    }
    // clang-format off
    std::vector<std::string> args = {
        qemu_path, "-cpu", "e500v2", "-m", "256", "-nodefaults", "-display", "none",
        "-no-reboot", "-nic", "none",
        "-sandbox", "on,obsolete=deny,elevateprivileges=deny,spawn=deny,resourcecontrol=deny",
        "-chardev", "stdio,id=console,signal=off", "-serial", "chardev:console",
        "-chardev", "pipe,id=control,path=" + qemu_value(control), "-serial", "chardev:control",
        "-kernel", kernel_path, "-initrd", initramfs_path, "-append", append,
        "-drive", "if=pflash,format=raw,file=" + qemu_value(flash_file),
        "-drive", "if=none,id=eeprom,format=raw,file=" + qemu_value(eeprom_file),
        "-device", "at24c-eeprom,bus=i2c,address=0x52,rom-size=65536,drive=eeprom",
        "-device", "at24c-eeprom,bus=i2c,address=0x71,rom-size=256", // the multiplexer
        "-device", "at24c-eeprom,bus=i2c,address=0x58,rom-size=256", // the LED controller
    };
    // clang-format on
    for (const char* folder : {"user", "usb"}) {
        std::string path = options.board + "/" + folder;
        std::string opened = inherited.open_path(path, O_DIRECTORY | O_NOFOLLOW);
        if (opened.empty() && errno == ENOENT && strcmp(folder, "usb") == 0) continue;
        if (opened.empty()) { // O_NOFOLLOW: a link is not a directory
            sim_error("%s: must be a directory of its own, not a link or a file", path.c_str());
            return 1;
        }
        args.insert(args.end(), {"-virtfs", "local,path=" + opened + ",mount_tag=" + folder +
                                                ",security_model=none"});
    }
    if (!rtc_base.empty()) args.insert(args.end(), {"-rtc", "base=" + rtc_base});
    if (!make_device_tree(args, dtb, time_scale)) return 1;
    args.insert(args.begin() + 1, {"-machine", "ppce500", "-dtb", dtb});

    qemu_run q;
    q.from_guest = open((control + ".out").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    q.to_guest = open((control + ".in").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (q.from_guest < 0 || q.to_guest < 0) {
        sim_error("%s: %s", control.c_str(), strerror(errno));
        return 1;
    }
    termios saved{};
    bool have_termios = isatty(0) && tcgetattr(0, &saved) == 0;
    if (options.as_root) { // QEMU, as the board's uid, opens what the launcher made
        for (const char* file :
             {"", "/flash.img", "/eeprom.img", "/machine.dtb", "/control.in", "/control.out"}) {
            if (lchown((work.path + file).c_str(), options.uid, options.gid) != 0) {
                sim_error("%s%s: %s", work.path.c_str(), file, strerror(errno));
                return 1;
            }
        }
    }
    if (!start_qemu(args, options, &q)) {
        sim_error("cannot start %s: %s", qemu_path, strerror(errno));
        return 1;
    }
    if (have_termios) {
        termios raw = saved;
        cfmakeraw(&raw);
        tcsetattr(0, TCSANOW, &raw);
    }
    control_reader reader;
    reader.board = options.board;
    int status = relay(q, options, &reader);
    if (have_termios) tcsetattr(0, TCSANOW, &saved);
    close(q.console);
    close(q.from_guest);
    close(q.to_guest);

    // Power-off: what the machine's flash and EEPROM hold goes back into the board's files.
    bool ok =
        read_back(flash_file, flash.size(), &flash) &&
        read_back(eeprom_file, eeprom.size(), &eeprom) &&
        sim_write_at(options.board, "eeprom.bin", SIM_EEPROM_SIZE, 0, eeprom.data(), eeprom.size());
    for (const partition& p : parts) {
        ok = ok && sim_write_at(options.board, p.file, SIM_MAX_FLASH_FILE, 0,
                                flash.data() + p.offset, p.data.size());
    }
    return ok ? status : 1;
}
