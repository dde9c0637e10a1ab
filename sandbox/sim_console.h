// The console escape of switch-sim boot, as terminal programs have one: the launcher relays
// the caller's terminal to the sandbox's console, and Ctrl-] followed by a key talks to the
// launcher instead of the switch:
//   x   asks for a file name and sends that file with lrzsz's "sx -k" (XMODEM-1K) through
//       the console, as an operator's terminal program does for an xmodem rescue
//   q   powers the board off
//   Ctrl-]  sends one Ctrl-] to the switch
// Any other key ends the escape and is dropped.
#pragma once
#include <cstddef>
#include <sys/types.h>

#define SIM_CONSOLE_ESCAPE '\x1d' // Ctrl-]

struct sim_console_escape {
    bool pending = false;       // Ctrl-] seen, waiting for the key
    int input = -1;             // the caller's terminal (raw)
    int output = -1;            // where the console's output goes
    int master = -1;            // the sandbox console's master side
    bool drop_identity = false; // run the sender as uid:gid, not as the launcher
    uid_t uid = 0;
    gid_t gid = 0;
    long long deadline_ms = -1; // sim_now_ms() at which the escape gives up waiting; -1: never
};

// The monotonic clock in milliseconds.
long long sim_now_ms();

// Handles a piece of the caller's input: forwards what is the switch's to the master and
// carries out escapes (a file sent by xmodem runs to its end before this returns). Returns
// true when the operator asked to power the board off; the rest of the piece is dropped.
bool sim_console_input(sim_console_escape* escape, const char* data, size_t length);
