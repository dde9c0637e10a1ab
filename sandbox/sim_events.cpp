// The board's event log: the writer used by the stub programs in the sandbox ("log"),
// and the host-side reader ("events").
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>
#include <fcntl.h>
#include <unistd.h>

#include "sandbox/board_layout.h"
#include "sandbox/emu.h"
#include "sandbox/sim_common.h"

namespace {

bool valid_kind(const char* kind) {
    if (*kind == '\0') return false;
    for (const char* p = kind; *p != '\0'; ++p) {
        if (*p < 'a' || *p > 'z') return false;
    }
    return true;
}

} // namespace

// switch-sim log KIND [WORD ...]: appends "KIND WORD WORD ..." to $SIM_BOARD/events.log.
int sim_cmd_log(int argc, char** argv) {
    if (argc < 2 || !valid_kind(argv[1])) {
        sim_error("usage: switch-sim log KIND [WORD ...]   (KIND in lower-case letters)");
        return 2;
    }
    const char* board = getenv(SIM_BOARD_ENV);
    if (board == nullptr || *board == '\0') board = SIM_BOARD_DEFAULT;
    std::string text;
    for (int i = 2; i < argc; ++i) {
        if (i > 2) text += ' ';
        text += argv[i];
    }
    if (!emu_append_event(std::string(board) + "/events.log", argv[1], text)) {
        sim_error("cannot append to %s/events.log", board);
        return 1;
    }
    return 0;
}

namespace {

// The kinds the board writes (README: "What the event log says").
const char* const known_kinds[] = {"shell", "cmd", "led", "reboot", "tftpd", "dhcpd"};

bool known_kind(const std::string& kind) {
    for (const char* k : known_kinds)
        if (kind == k) return true;
    return false;
}

// One line as an operator reads it: the board's clock instead of the host's seconds, and
// a text's escaped line breaks as real ones, indented under it.
std::string readable(const std::string& line, const std::string& conf) {
    size_t blank = line.find(' ');
    char* end = nullptr;
    std::string stamp = line.substr(0, blank);
    long long host = strtoll(stamp.c_str(), &end, 10);
    if (blank == std::string::npos || end == stamp.c_str() || (*end != '.' && *end != '\0'))
        return line;
    time_t shown = time_t(emu_board_clock(conf, host));
    struct tm tm {};
    char clock[32];
    if (!gmtime_r(&shown, &tm) || strftime(clock, sizeof clock, "%Y-%m-%d %H:%M:%S", &tm) == 0)
        return line;
    std::string out = clock;
    const std::string indent(out.size() + 1, ' ');
    for (size_t i = blank; i < line.size(); ++i) {
        if (line.compare(i, 2, "\\n") == 0) {
            out += "\n" + indent;
            ++i;
        } else {
            out += line[i];
        }
    }
    return out;
}

} // namespace

// switch-sim events DIR [KIND] [--raw]: prints the board's event log, or only the lines of
// one kind, with the board's clock time (board.conf's clock; a boot's --rtc is not
// recorded), or as written with --raw.
// The log is read in pieces, never whole; the sandbox cannot make it larger than the cap
// through the log writer, so a larger one was written by hand and is refused.
int sim_cmd_events(int argc, char** argv) {
    std::vector<std::string> words;
    bool raw = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--raw") == 0) {
            raw = true;
        } else {
            words.push_back(argv[i]);
        }
    }
    if (words.empty() || words.size() > 2) {
        sim_error("usage: switch-sim events DIR [KIND] [--raw]");
        return 2;
    }
    std::string wanted = words.size() == 2 ? words[1] : "";
    if (!wanted.empty() && !known_kind(wanted)) {
        sim_error("events: unknown kind '%s' (shell, cmd, led, reboot, tftpd or dhcpd)",
                  wanted.c_str());
        return 2;
    }
    std::string board;
    if (!sim_open_board(words[0], &board)) return 1;
    std::string conf;
    if (!raw) {
        std::vector<uint8_t> text;
        int conf_fd = sim_open_board_file(board, "board.conf", O_RDONLY, SIM_MAX_BOARD_CONF, true);
        if (conf_fd >= 0) {
            close(conf_fd);
            if (!sim_read_file(board, "board.conf", &text, SIM_MAX_BOARD_CONF)) return 1;
        } else if (errno != ENOENT) {
            return 1;
        }
        conf.assign(text.begin(), text.end());
    }
    int fd = sim_open_board_file(board, "events.log", O_RDONLY, EMU_EVENTS_LOG_MAX, true);
    if (fd < 0) return errno == ENOENT ? 0 : 1; // missing: nothing happened yet
    std::string line;
    char buffer[65536];
    bool ok = true;
    auto emit = [&]() {
        // "<stamp> <kind> <text>": the kind is the second blank-separated field.
        size_t kind = line.find(' ');
        kind = kind == std::string::npos ? line.size() : kind + 1;
        size_t kind_end = line.find(' ', kind);
        if (kind_end == std::string::npos) kind_end = line.size();
        if (wanted.empty() || line.compare(kind, kind_end - kind, wanted) == 0) {
            std::string shown = raw ? line : readable(line, conf);
            fwrite(shown.data(), 1, shown.size(), stdout);
            fputc('\n', stdout);
        }
        line.clear();
    };
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            sim_error("%s/events.log: %s", board.c_str(), strerror(errno));
            ok = false;
        }
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] == '\n') {
                emit();
            } else {
                line += buffer[i];
            }
        }
    }
    if (!line.empty()) emit();
    close(fd);
    return ok ? 0 : 1;
}
