// Part of bootmgr-sim only: with SIM_TIME_SCALE set (switch-sim boot --time-scale F), every
// sleep of the boot manager lasts F times as long, so that tests and demonstrations need not
// sit through the fixed waits of the dialogues.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "board/sys.h"
#include "sandbox/board_layout.h"

namespace {

double g_factor = 1.0;

void scaled_sleep(uint64_t microseconds) {
    double scaled = std::floor(double(microseconds) * g_factor);
    uint64_t us = scaled < 1e15 ? uint64_t(scaled) : uint64_t(1e15);
    timespec ts;
    ts.tv_sec = static_cast<time_t>(us / 1000000u);
    ts.tv_nsec = static_cast<long>((us % 1000000u) * 1000u);
    // A signal ends the wait early, as sleep(3) does.
    nanosleep(&ts, nullptr);
}

struct time_scale_setup {
    time_scale_setup() {
        const char* text = getenv(SIM_TIME_SCALE_ENV);
        if (text == nullptr || *text == '\0') return;
        char* end = nullptr;
        errno = 0;
        double factor = strtod(text, &end);
        if (errno != 0 || *end != '\0' || !(factor > 0 && factor <= 1000)) return;
        g_factor = factor;
        g_sleep_hook = scaled_sleep;
    }
};

const time_scale_setup g_setup;

} // namespace
