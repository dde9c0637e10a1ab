// Deterministic power cuts (board.conf cut_after=N): every write, erase, rename and fsync of
// one power-on is counted, across the processes of the board (the count so far travels in the
// environment to the programs the boot manager starts), and after the Nth the board loses
// power. Counted: each flash program call and each erase block, each EEPROM write transfer,
// and the boot manager's write(2), fsync(2), rename(2) and fclose(3) of files under /user
// (sandbox/power_files.cpp). A cut flash operation is left half done, as a real part keeps a
// partly programmed or partly erased block; the others are whole when the power goes.
#include "sandbox/board_layout.h"
#include "sandbox/emu.h"
#include "sandbox/emu_internal.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace emu_internal {

namespace {

uint64_t g_ops = 0;
bool g_ops_known = false;

// The board's own PID namespace, whose first process is bubblewrap: there kill(-1) reaches
// only the board's processes. Anywhere else it would reach the host's.
bool in_board_namespace() {
    FILE* f = fopen("/proc/1/cmdline", "re");
    if (!f) return false;
    char first[64] = {};
    size_t n = fread(first, 1, sizeof first - 1, f);
    fclose(f);
    first[n] = '\0';
    const char* base = strrchr(first, '/');
    return strcmp(base ? base + 1 : first, "bwrap") == 0;
}

} // namespace

bool power_op(Emu& e) {
    if (e.config.cut_after == 0) return false;
    if (!g_ops_known) {
        const char* text = getenv(SIM_POWER_OPS_ENV);
        g_ops = text ? strtoull(text, nullptr, 10) : 0;
        g_ops_known = true;
    }
    ++g_ops;
    setenv(SIM_POWER_OPS_ENV, std::to_string(g_ops).c_str(), 1);
    return g_ops == e.config.cut_after;
}

void power_cut(Emu& e) {
    append_event(e.dir, "power", "cut after operation " + std::to_string(g_ops));
    // Inside the sandbox every process is the board's (a PID namespace of its own): all of
    // them go, as at a power cut. Elsewhere (a test over a board directory) only this one.
    if (e.dir == SIM_BOARD_DEFAULT && in_board_namespace()) kill(-1, SIGKILL);
    raise(SIGKILL);
    _exit(137);
}

} // namespace emu_internal

void emu_power_file_op() {
    emu_internal::Emu& e = emu_internal::emu();
    if (emu_internal::power_op(e)) emu_internal::power_cut(e);
}
