// The machine of switch-sim boot --target e500 (sim_e500.cpp) made from a board: its clock
// from board.conf, its flash laid out from the partition files, and its device tree, the
// one QEMU makes with the boot manager's clock left to the boot manager.
#include "sandbox/sim_e500_machine.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sandbox/emu.h"
#include "sandbox/sim_common.h"

namespace e500 {

namespace {

const char* const partitions[] = {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"};
const uint64_t flash_size = 32u << 20; // the machine's flash: a power of two
const uint64_t erase_block = 64u << 10;
const char flash_id[] = "f00000000.nor"; // the kernel's name of the machine's flash

} // namespace

const char qemu_path[] = "/usr/bin/qemu-system-ppc";
const char fdtget_path[] = "/usr/bin/fdtget";
const char fdtput_path[] = "/usr/bin/fdtput";

int run_program(const std::vector<std::string>& args, std::string* out, const char* errors) {
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

std::string qemu_value(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c;
        if (c == ',') out += ',';
    }
    return out;
}

namespace {

std::string hex(uint64_t value) {
    char text[32];
    snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

} // namespace

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

bool read_partitions(const std::string& board, std::vector<partition>* parts) {
    uint64_t offset = 0;
    for (const char* name : partitions) {
        partition p;
        p.name = name;
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

std::vector<uint8_t> flash_image(const std::vector<partition>& parts, std::string* mtdparts) {
    std::vector<uint8_t> flash(flash_size, 0xFF);
    *mtdparts = std::string(flash_id) + ":";
    for (const partition& p : parts) {
        std::copy(p.data.begin(), p.data.end(), flash.begin() + long(p.offset));
        if (&p != &parts.front()) *mtdparts += ",";
        *mtdparts += hex(p.data.size()) + "@" + hex(p.offset) + "(" + p.name + ")";
    }
    return flash;
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
    // QEMU ran as the board's uid, which owns the folder: take only the regular file it left.
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    bool ok = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              pread(fd, data->data(), size, 0) == ssize_t(size);
    if (fd >= 0) close(fd);
    if (!ok) sim_error("%s: cannot read it back", path.c_str());
    return ok;
}

namespace {

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

} // namespace

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

} // namespace e500
