// The board's event log: the writer used by the stub programs in the sandbox ("log"),
// and the host-side reader ("events").
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
int sim_cmd_events(int argc, char** argv) {
    if (argc < 2 || argc > 3 || (argc == 3 && !valid_kind(argv[2]))) {
        sim_error("usage: switch-sim events DIR [KIND]");
        return 2;
    }
    std::string board;
    if (!sim_open_board(argv[1], &board)) return 1;
    std::string path = board + "/events.log";
    if (!sim_is_file(path)) return 0; // nothing happened yet
    std::vector<uint8_t> log;
    if (!sim_read_file(path, &log, size_t(1) << 30)) return 1;
    std::string wanted = argc == 3 ? argv[2] : "";
    size_t start = 0;
    while (start < log.size()) {
        size_t end = start;
        while (end < log.size() && log[end] != '\n') ++end;
        std::string line(log.begin() + long(start), log.begin() + long(end));
        // "<stamp> <kind> <text>": the kind is the second blank-separated field.
        size_t kind = line.find(' ');
        kind = kind == std::string::npos ? line.size() : kind + 1;
        size_t kind_end = line.find(' ', kind);
        if (kind_end == std::string::npos) kind_end = line.size();
        if (wanted.empty() || line.compare(kind, kind_end - kind, wanted) == 0) {
            fwrite(line.data(), 1, line.size(), stdout);
            fputc('\n', stdout);
        }
        start = end + 1;
    }
    return 0;
}
