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
// "eof" goes down it once everything the launcher's input held has been taken. QEMU runs without a
// network (-nic none) and under its own system call filter.
#include "sandbox/sim_e500.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
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
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "sandbox/emu.h"
#include "sandbox/sim_common.h"
#include "sandbox/sim_console.h"

#ifndef E500_TARGET_DIR
#define E500_TARGET_DIR "build-e500"
#endif

namespace {

const char qemu_path[] = "/usr/bin/qemu-system-ppc";
const char fdtget_path[] = "/usr/bin/fdtget";
const char fdtput_path[] = "/usr/bin/fdtput";
const uint64_t flash_size = 32u << 20; // the machine's flash: a power of two
const uint64_t erase_block = 64u << 10;
const char flash_id[] = "f00000000.nor"; // the kernel's name of the machine's flash
const int timeout_status = 124;
const size_t max_line = 4096;

const char* const partitions[] = {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"};

struct partition {
    std::string file; // relative to the board
    uint64_t offset = 0;
    std::vector<uint8_t> data;
};

// Runs a program with /dev/null as input; its output goes to *out when given, else to
// /dev/null; its errors to ours, or to the file errors when given. Returns its exit status
// (-1 when it did not run).
int run_program(const std::vector<std::string>& args, std::string* out = nullptr,
                const char* errors = nullptr) {
    int pipefd[2] = {-1, -1};
    if (out != nullptr && pipe2(pipefd, O_CLOEXEC) != 0) return -1;
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(out != nullptr ? pipefd[1] : null_fd, 1);
        int error_fd = errors ? open(errors, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600) : -1;
        if (error_fd >= 0) dup2(error_fd, 2);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (out != nullptr) {
        close(pipefd[1]);
        char buffer[4096];
        ssize_t n;
        while ((n = read(pipefd[0], buffer, sizeof buffer)) != 0) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;
            out->append(buffer, size_t(n));
        }
        close(pipefd[0]);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A QEMU option value: commas are doubled.
std::string qemu_value(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c;
        if (c == ',') out += ',';
    }
    return out;
}

std::string hex(uint64_t value) {
    char text[32];
    snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// board.conf on this target: the erase block is the machine's, the clock is QEMU's, and
// injected faults have no place on real drivers. Sets *rtc_base ("" for the host's clock).
bool read_board_conf(const sim_e500_options& options, std::string* rtc_base) {
    std::vector<uint8_t> conf;
    int fd = sim_open_board_file(options.board, "board.conf", O_RDONLY, SIM_MAX_BOARD_CONF, true);
    if (fd >= 0) {
        close(fd);
        if (!sim_read_file(options.board, "board.conf", &conf, SIM_MAX_BOARD_CONF)) return false;
    } else if (errno != ENOENT) {
        return false;
    }
    long long offset = 0;
    bool have_clock = false, fixed = false;
    time_t fixed_time = 0;
    std::string text(conf.begin(), conf.end());
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "erase_size" && value != std::to_string(erase_block)) {
            sim_error("--target e500: the flash's erase block is %llu bytes, not erase_size=%s",
                      static_cast<unsigned long long>(erase_block), value.c_str());
            return false;
        }
        if (key.compare(0, 6, "fault_") == 0) {
            sim_error("--target e500: board.conf's %s cannot be injected into real drivers",
                      key.c_str());
            return false;
        }
        if (key == "rtc_offset") {
            offset = strtoll(value.c_str(), nullptr, 10); // checked with the sandbox's rules
            have_clock = true;
        }
        if (key == "rtc_fixed" && emu_parse_clock_time(value, &fixed_time)) fixed = true;
    }
    time_t when = time(nullptr);
    if (options.rtc_given) {
        when += time_t(options.rtc_offset);
    } else if (fixed) {
        when = fixed_time; // QEMU's clock runs from there
    } else if (have_clock) {
        when += time_t(offset);
    } else {
        rtc_base->clear();
        return true;
    }
    tm utc{};
    gmtime_r(&when, &utc);
    char base[32];
    strftime(base, sizeof base, "%Y-%m-%dT%H:%M:%S", &utc);
    *rtc_base = base;
    return true;
}

// The partitions from the board's files, each at the next erase block; false (after a
// message) when a file is missing or they do not fit the flash.
bool read_partitions(const std::string& board, std::vector<partition>* parts) {
    uint64_t offset = 0;
    for (const char* name : partitions) {
        partition p;
        p.file = std::string("flash/") + name + ".bin";
        if (!sim_read_file(board, p.file, &p.data, SIM_MAX_FLASH_FILE)) return false;
        p.offset = offset;
        offset += (p.data.size() + erase_block - 1) / erase_block * erase_block;
        if (p.data.empty() || offset > flash_size) {
            sim_error("--target e500: the flash partitions must be files of 1 byte or more "
                      "that fit %llu MiB, each from an erase block",
                      static_cast<unsigned long long>(flash_size >> 20));
            return false;
        }
        parts->push_back(std::move(p));
    }
    return true;
}

bool write_file(const std::string& path, const std::vector<uint8_t>& data) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && write(fd, data.data(), data.size()) == ssize_t(data.size());
    if (fd >= 0 && close(fd) != 0) ok = false;
    if (!ok) sim_error("%s: %s", path.c_str(), strerror(errno));
    return ok;
}

bool read_back(const std::string& path, size_t size, std::vector<uint8_t>* data) {
    data->assign(size, 0);
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    bool ok = fd >= 0 && pread(fd, data->data(), size, 0) == ssize_t(size);
    if (fd >= 0) close(fd);
    if (!ok) sim_error("%s: cannot read it back", path.c_str());
    return ok;
}

// The first child of node whose name starts with prefix ("" when there is none).
std::string find_node(const std::string& dtb, const std::string& node, const char* prefix) {
    std::string list;
    if (run_program({fdtget_path, "-l", dtb, node}, &list) != 0) return std::string();
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find('\n', start);
        if (end == std::string::npos) end = list.size();
        std::string name = list.substr(start, end - start);
        start = end + 1;
        if (name.compare(0, strlen(prefix), prefix) == 0)
            return (node == "/" ? "" : node) + "/" + name;
    }
    return std::string();
}

// The machine's own device tree, edited: no RTC driver on the boot manager's clock, and
// the timebase frequency times the time scale.
bool make_device_tree(const std::vector<std::string>& qemu_args, const std::string& dtb,
                      double time_scale) {
    std::vector<std::string> dump = qemu_args;
    dump.insert(dump.begin() + 1, {"-machine", "ppce500,dumpdtb=" + qemu_value(dtb)});
    // QEMU says that it dumped the tree; only its complaints are shown.
    const std::string said = dtb + ".log";
    bool dumped = run_program(dump, nullptr, said.c_str()) == 0 && sim_is_file(dtb);
    FILE* complaints = dumped ? nullptr : fopen(said.c_str(), "r");
    if (complaints != nullptr) {
        char line[512];
        while (fgets(line, sizeof line, complaints) != nullptr) fputs(line, stderr);
        fclose(complaints);
    }
    unlink(said.c_str());
    if (!dumped) {
        sim_error("%s could not make the machine's device tree", qemu_path);
        return false;
    }
    std::string rtc;
    std::string soc = find_node(dtb, "/", "soc@");
    std::string i2c = soc.empty() ? "" : find_node(dtb, soc, "i2c@");
    if (!i2c.empty()) rtc = find_node(dtb, i2c, "rtc@");
    std::string cpu = find_node(dtb, "/cpus", "PowerPC,");
    std::string frequency;
    if (rtc.empty() || cpu.empty() ||
        run_program({fdtget_path, "-t", "u", dtb, cpu, "timebase-frequency"}, &frequency) != 0 ||
        run_program({fdtput_path, "-r", dtb, rtc}) != 0 ||
        run_program({fdtput_path, "-d", dtb, "/aliases", "rtc"}) != 0) {
        sim_error("%s: not the device tree this target knows (no %s)", dtb.c_str(),
                  rtc.empty() ? "RTC on the I2C bus" : "CPU timebase");
        return false;
    }
    if (time_scale == 1.0) return true;
    double scaled = std::floor(strtod(frequency.c_str(), nullptr) * time_scale);
    uint64_t hz = scaled < 1 ? 1 : uint64_t(scaled);
    // The kernel takes the 64-bit property first; it fits every factor.
    return run_program({fdtput_path, "-t", "u", dtb, cpu, "ibm,extended-timebase-frequency",
                        std::to_string(hz >> 32), std::to_string(hz & 0xFFFFFFFFu)}) == 0;
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
                write_all(q.to_guest, "eof\n", 4);
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
            if (n > 0) write_all(1, buffer, size_t(n));
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
                write_all(q.console, buffer, size_t(n));
            } else if (n == 0 || errno != EINTR) {
                input_open = false;
                end_pending = !tty;
            }
        }
    }
    fcntl(q.console, F_SETFL, O_NONBLOCK);
    ssize_t n;
    while ((n = read(q.console, buffer, sizeof buffer)) > 0) write_all(1, buffer, size_t(n));
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
bool start_qemu(const std::vector<std::string>& args, qemu_run* q) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return false;
    q->pid = fork();
    if (q->pid < 0) return false;
    if (q->pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL); // no machine left running without its launcher
        dup2(pair[1], 0);
        dup2(pair[1], 1);
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
    const std::string flash_image = work.path + "/flash.img",
                      eeprom_image = work.path + "/eeprom.img";
    const std::string dtb = work.path + "/machine.dtb", control = work.path + "/control";
    std::vector<uint8_t> flash(flash_size, 0xFF);
    std::string mtdparts = std::string("mtdparts=") + flash_id + ":";
    for (const partition& p : parts) {
        std::copy(p.data.begin(), p.data.end(), flash.begin() + long(p.offset));
        if (&p != &parts.front()) mtdparts += ",";
        mtdparts += hex(p.data.size()) + "@" + hex(p.offset) + "(" +
                    p.file.substr(6, p.file.size() - 10) + ")";
    }
    if (!write_file(flash_image, flash) || !write_file(eeprom_image, eeprom) ||
        mkfifo((control + ".in").c_str(), 0600) != 0 ||
        mkfifo((control + ".out").c_str(), 0600) != 0) {
        return 1;
    }

    bool usb = sim_is_directory(options.board + "/usb");
    std::string append = "console=ttyS0 panic=-1 " + mtdparts;
    append += isatty(0) ? " sim_console=tty" : " sim_console=pipe";
    if (usb)
        append += " sim_usb_after=" + std::to_string(options.usb_after < 0 ? 0 : options.usb_after);
    std::vector<std::string> args = {
        qemu_path,
        "-cpu",
        "e500v2",
        "-m",
        "256",
        "-nodefaults",
        "-display",
        "none",
        "-no-reboot",
        "-nic",
        "none",
        "-sandbox",
        "on,obsolete=deny,elevateprivileges=deny,spawn=deny,resourcecontrol=deny",
        "-chardev",
        "stdio,id=console,signal=off",
        "-serial",
        "chardev:console",
        "-chardev",
        "pipe,id=control,path=" + qemu_value(control),
        "-serial",
        "chardev:control",
        "-kernel",
        kernel,
        "-initrd",
        initramfs,
        "-append",
        append,
        "-drive",
        "if=pflash,format=raw,file=" + qemu_value(flash_image),
        "-drive",
        "if=none,id=eeprom,format=raw,file=" + qemu_value(eeprom_image),
        "-device",
        "at24c-eeprom,bus=i2c,address=0x52,rom-size=65536,drive=eeprom",
        "-device",
        "at24c-eeprom,bus=i2c,address=0x71,rom-size=256", // the multiplexer
        "-device",
        "at24c-eeprom,bus=i2c,address=0x58,rom-size=256", // the LED controller
        "-virtfs",
        "local,path=" + qemu_value(options.board + "/user") + ",mount_tag=user,security_model=none",
    };
    if (usb) {
        args.insert(args.end(), {"-virtfs", "local,path=" + qemu_value(options.board + "/usb") +
                                                ",mount_tag=usb,security_model=none,readonly=on"});
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
    if (!start_qemu(args, &q)) {
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
        read_back(flash_image, flash.size(), &flash) &&
        read_back(eeprom_image, eeprom.size(), &eeprom) &&
        sim_write_at(options.board, "eeprom.bin", SIM_EEPROM_SIZE, 0, eeprom.data(), eeprom.size());
    for (const partition& p : parts) {
        ok = ok && sim_write_at(options.board, p.file, SIM_MAX_FLASH_FILE, 0,
                                flash.data() + p.offset, p.data.size());
    }
    return ok ? status : 1;
}
