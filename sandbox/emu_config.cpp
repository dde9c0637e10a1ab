// The board's configuration (board.conf) and its files: how every board file is opened,
// the event log, and the clock values board.conf may set.
#include "sandbox/board_layout.h"
#include "sandbox/emu.h"
#include "sandbox/emu_internal.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace emu_internal {

// ---------------------------------------------------------------- board files

int open_board_file(const std::string& path, int flags, uint64_t max_size) {
    int fd = open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0 && errno != ELOOP) return -1;
    struct stat st {};
    const char* why = nullptr;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "not a regular file";
    } else if (static_cast<uint64_t>(st.st_size) > max_size) {
        why = "larger than the emulation accepts";
    }
    if (why) {
        fprintf(stderr, "emulated board: %s: %s; refused\n", path.c_str(), why);
        if (fd >= 0) close(fd);
        errno = EINVAL;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool full_pread(int fd, uint8_t* buf, size_t n, uint64_t off) {
    size_t done = 0;
    while (done < n) {
        ssize_t r = pread(fd, buf + done, n - done, static_cast<off_t>(off + done));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return false;
        if (r == 0) { // the backing file ended: the rest reads as erased
            memset(buf + done, 0xFF, n - done);
            return true;
        }
        done += static_cast<size_t>(r);
    }
    return true;
}

bool full_pwrite(int fd, const uint8_t* buf, size_t n, uint64_t off) {
    size_t done = 0;
    while (done < n) {
        ssize_t w = pwrite(fd, buf + done, n - done, static_cast<off_t>(off + done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

// ---------------------------------------------------------------- board.conf

int part_index(const std::string& name) {
    for (int i = 0; i < kPartCount; ++i) {
        if (name == kPartNames[i]) return i;
    }
    return -1;
}

bool rtc_showable(int64_t t) {
    return t >= EMU_RTC_FIRST && t <= EMU_RTC_LAST;
}

namespace {

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool parse_u64(const std::string& text, uint64_t* out) {
    std::string t = trim(text);
    if (t.empty() || t[0] == '-' || t[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(t.c_str(), &end, 0);
    if (errno != 0 || end == t.c_str() || *end != '\0') return false;
    *out = v;
    return true;
}

bool parse_i64(const std::string& text, int64_t* out) {
    std::string t = trim(text);
    if (t.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long v = strtoll(t.c_str(), &end, 10);
    if (errno != 0 || end == t.c_str() || *end != '\0') return false;
    *out = v;
    return true;
}

bool parse_part_block(const std::string& value, PartBlock* out) {
    size_t colon = value.find(':');
    if (colon == std::string::npos) return false;
    int part = part_index(trim(value.substr(0, colon)));
    uint64_t block = 0;
    if (part < 0 || !parse_u64(value.substr(colon + 1), &block)) return false;
    *out = PartBlock{part, block};
    return true;
}

// Whether the clock shows a time it can show with this offset: from the fixed time, or
// from the host's clock now.
bool rtc_offset_showable(const BoardConfig& c, int64_t offset) {
    int64_t base =
        c.rtc_fixed ? static_cast<int64_t>(c.rtc_fixed_time) : static_cast<int64_t>(time(nullptr));
    int64_t t = 0;
    return !__builtin_add_overflow(base, offset, &t) && rtc_showable(t);
}

const char kRtcRefused[] = ": the emulated clock shows " EMU_RTC_RANGE_TEXT " UTC only";

// One board.conf key: applies its value; returns "" or why the value was refused (the
// line is then ignored). A new key is one more entry of config_keys.
struct config_key {
    const char* name;
    std::string (*apply)(BoardConfig& c, const std::string& value, const std::string& line);
};

std::string apply_erase_size(BoardConfig& c, const std::string& value, const std::string&) {
    uint64_t u = 0;
    if (parse_u64(value, &u) && u <= UINT32_MAX) c.erase_size = static_cast<uint32_t>(u);
    return "";
}

std::string apply_rtc_offset(BoardConfig& c, const std::string& value, const std::string& line) {
    int64_t v = 0;
    if (!parse_i64(value, &v) || !rtc_offset_showable(c, v)) return line + kRtcRefused;
    c.rtc_offset = v;
    return "";
}

std::string apply_rtc_fixed(BoardConfig& c, const std::string& value, const std::string& line) {
    time_t t = 0;
    if (!emu_parse_clock_time(value, &t)) return line + kRtcRefused;
    BoardConfig with_fixed = c;
    with_fixed.rtc_fixed = true;
    with_fixed.rtc_fixed_time = t;
    if (!rtc_offset_showable(with_fixed, c.rtc_offset)) return line + kRtcRefused;
    c = with_fixed;
    return "";
}

std::string apply_missing_i2c(BoardConfig& c, const std::string& value, const std::string&) {
    uint64_t u = 0;
    if (parse_u64(value, &u) && u < kBusCount) c.missing_i2c.push_back(static_cast<int>(u));
    return "";
}

std::string apply_nak(BoardConfig& c, const std::string& value, const std::string&) {
    size_t colon = value.find(':');
    uint64_t bus = 0, addr = 0;
    if (colon != std::string::npos && parse_u64(value.substr(0, colon), &bus) &&
        parse_u64(value.substr(colon + 1), &addr) && bus < kBusCount && addr <= 0x7F) {
        c.naks.push_back(BusAddr{static_cast<int>(bus), static_cast<int>(addr)});
    }
    return "";
}

std::string apply_cut_after(BoardConfig& c, const std::string& value, const std::string&) {
    uint64_t u = 0;
    if (parse_u64(value, &u) && u > 0) c.cut_after = u;
    return "";
}

template <std::vector<PartBlock> BoardConfig::*faults>
std::string apply_flash_fault(BoardConfig& c, const std::string& value, const std::string&) {
    PartBlock pb{};
    if (parse_part_block(value, &pb)) (c.*faults).push_back(pb);
    return "";
}

const config_key config_keys[] = {
    {"erase_size", apply_erase_size},
    {"rtc_offset", apply_rtc_offset},
    {"rtc_fixed", apply_rtc_fixed},
    {"fault_missing_i2c", apply_missing_i2c},
    {"fault_nak", apply_nak},
    {"cut_after", apply_cut_after},
    {"fault_flash_read", apply_flash_fault<&BoardConfig::read_faults>},
    {"fault_flash_erase", apply_flash_fault<&BoardConfig::erase_faults>},
    {"fault_flash_write", apply_flash_fault<&BoardConfig::write_faults>},
};

// Applies one line; returns "" or why it was refused (an unknown key among them).
std::string apply_config_line(BoardConfig& c, const std::string& raw) {
    std::string line = trim(raw);
    if (line.empty() || line[0] == '#') return "";
    size_t eq = line.find('=');
    if (eq == std::string::npos) return "";
    std::string key = trim(line.substr(0, eq));
    for (const config_key& k : config_keys) {
        if (key == k.name) return k.apply(c, trim(line.substr(eq + 1)), line);
    }
    return "unknown key '" + key + "'";
}

// Applies a whole board.conf text; *first_error gets the first refusal ("" when none).
void apply_config_text(BoardConfig& c, const std::string& text, std::string* first_error) {
    size_t start = 0, number = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        ++number;
        std::string why = apply_config_line(c, text.substr(start, end - start));
        if (!why.empty() && first_error->empty()) {
            *first_error = "line " + std::to_string(number) + ": " + why;
        }
        start = end + 1;
    }
}

} // namespace

void load_config(Emu& e) {
    e.config = BoardConfig();
    std::string path = e.dir + "/board.conf";
    std::string text;
    int fd = open_board_file(path, O_RDONLY, EMU_MAX_BOARD_CONF);
    if (fd >= 0) {
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) != 0) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 || text.size() + size_t(n) > EMU_MAX_BOARD_CONF) break;
            text.append(buf, size_t(n));
        }
        close(fd);
    }
    std::string error;
    apply_config_text(e.config, text, &error);
    if (!error.empty()) fprintf(stderr, "emulated board: %s: %s\n", path.c_str(), error.c_str());
    const char* env = getenv(SIM_RTC_OFFSET_ENV);
    int64_t v = 0;
    if (env && parse_i64(env, &v)) {
        if (rtc_offset_showable(e.config, v)) {
            e.config.rtc_offset = v;
        } else {
            fprintf(stderr, "emulated board: %s=%s%s\n", SIM_RTC_OFFSET_ENV, env, kRtcRefused);
        }
    }
    e.config_loaded = true;
}

// ---------------------------------------------------------------- events.log

void append_event(const std::string& dir, const char* kind, const std::string& text) {
    emu_append_event(dir + "/events.log", kind, text);
}

} // namespace emu_internal

using namespace emu_internal;

bool emu_parse_clock_time(const std::string& value, time_t* out) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, used = 0;
    if (sscanf(value.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &used) != 6 ||
        value[size_t(used)] != '\0') {
        return false;
    }
    if (y < 2000 || y > 2099 || mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 ||
        mi > 59 || s < 0 || s > 59) {
        return false;
    }
    struct tm tm {};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    time_t t = timegm(&tm);
    struct tm check {};
    if (!gmtime_r(&t, &check) || check.tm_mday != d) return false; // 31 April and the like
    *out = t;
    return true;
}

bool emu_append_event(const std::string& log_path, const std::string& kind,
                      const std::string& text) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    char stamp[48];
    snprintf(stamp, sizeof stamp, "%lld.%06ld ", static_cast<long long>(ts.tv_sec),
             static_cast<long>(ts.tv_nsec / 1000));
    std::string line = stamp;
    line += kind;
    line += ' ';
    for (char ch : text) {
        if (ch == '\n')
            line += "\\n";
        else
            line += ch;
    }
    line += '\n';
    // One write on an O_APPEND descriptor keeps the lines of concurrent writers whole.
    int fd = open_board_file(log_path, O_WRONLY | O_APPEND | O_CREAT, EMU_EVENTS_LOG_MAX);
    if (fd < 0) return false;
    struct stat st {};
    if (fstat(fd, &st) != 0 ||
        static_cast<uint64_t>(st.st_size) + line.size() > EMU_EVENTS_LOG_MAX) {
        close(fd);
        errno = EFBIG;
        return false;
    }
    ssize_t n;
    do n = write(fd, line.data(), line.size());
    while (n < 0 && errno == EINTR);
    close(fd);
    return n == static_cast<ssize_t>(line.size());
}

bool emu_check_board_conf(const std::string& text, const int64_t* rtc_offset_override,
                          std::string* error) {
    BoardConfig config;
    std::string why;
    apply_config_text(config, text, &why);
    if (why.empty() && rtc_offset_override && !rtc_offset_showable(config, *rtc_offset_override)) {
        why = "rtc offset " + std::to_string(*rtc_offset_override) + kRtcRefused;
    }
    if (why.empty()) return true;
    if (error) *error = why;
    return false;
}

int64_t emu_board_clock(const std::string& conf_text, int64_t host) {
    BoardConfig config;
    std::string why;
    apply_config_text(config, conf_text, &why);
    int64_t base = config.rtc_fixed ? static_cast<int64_t>(config.rtc_fixed_time) : host;
    int64_t shown = base;
    if (__builtin_add_overflow(base, config.rtc_offset, &shown)) return base;
    return shown;
}
