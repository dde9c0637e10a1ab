// The board's event log: the writer used by the stub programs in the sandbox ("log"),
// and the host-side reader ("events").
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// switch-sim events DIR [KIND]: prints the board's event log, or only the lines of one kind.
// The log is read in pieces, never whole; the sandbox cannot make it larger than the cap
// through the log writer, so a larger one was written by hand and is refused.
int sim_cmd_events(int argc, char** argv) {
    if (argc < 2 || argc > 3 || (argc == 3 && !valid_kind(argv[2]))) {
        sim_error("usage: switch-sim events DIR [KIND]");
        return 2;
    }
    std::string board;
    if (!sim_open_board(argv[1], &board)) return 1;
    int fd = sim_open_board_file(board, "events.log", O_RDONLY, EMU_EVENTS_LOG_MAX, true);
    if (fd < 0) return errno == ENOENT ? 0 : 1; // missing: nothing happened yet
    std::string wanted = argc == 3 ? argv[2] : "";
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
            fwrite(line.data(), 1, line.size(), stdout);
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
