// switch-sim boot DIR --target e500: the switch's own build of the boot manager as the first
// program after a real Linux kernel under qemu-system-ppc's ppce500 machine (sim_e500.cpp).
#pragma once
#include <linux/filter.h>
#include <string>
#include <sys/types.h>
#include <vector>

struct sim_e500_options {
    std::string board;        // absolute board directory, its files already checked
    bool rtc_given = false;   // --rtc
    long long rtc_offset = 0; // seconds added to the host's clock
    long usb_after = -1;      // seconds; -1: not given
    long timeout = 0;         // seconds; 0: none
    std::string time_scale;   // factor of every wait in the guest; "": 1
    // Started by root: QEMU runs as uid and gid (the board's, as the sandbox would), under
    // filter (a seccomp program: no setuid or setgid bit, no TIOCSTI) besides its own.
    bool as_root = false;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<sock_filter> filter;
};

// Powers the board on once; returns the boot manager's exit status (124 after --timeout).
int sim_e500_power_on(const sim_e500_options& options);
