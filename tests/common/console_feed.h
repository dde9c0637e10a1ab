// Dialogue tests: the console's input as a pipe holding the operator's keys, or as a
// pseudo-terminal that types them once a read has made it raw.
#pragma once

#include <cstdlib>
#include <pty.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace testutil {

// Descriptor 0 reads the keys, then end of input (a hung-up console), for its lifetime.
struct StdinFeed {
    int saved = dup(0);
    explicit StdinFeed(const std::string& keys) {
        int fds[2];
        if (pipe(fds) != 0 || write(fds[1], keys.data(), keys.size()) != ssize_t(keys.size()))
            abort();
        close(fds[1]);
        dup2(fds[0], 0);
        close(fds[0]);
    }
    ~StdinFeed() { dup2(saved, 0), close(saved); }
};

// Descriptor 0 a pseudo-terminal in its normal mode (canonical, echoing, with signals) for
// its lifetime, standing in for the serial console. Once a read has put it in raw mode, the
// settings in force then are kept (seen()) and the keys are typed.
struct PtyFeed {
    int saved = dup(0), master = -1, slave = -1;
    termios raw{};
    std::thread typist;
    explicit PtyFeed(const std::string& keys) {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) abort();
        dup2(slave, 0);
        typist = std::thread([this, keys] {
            for (int i = 0; i < 500 && (tcgetattr(master, &raw) != 0 || raw.c_lflag & ICANON); ++i)
                usleep(10000);
            if (write(master, keys.data(), keys.size()) != ssize_t(keys.size())) abort();
        });
    }
    const termios& seen() {
        if (typist.joinable()) typist.join();
        return raw;
    }
    ~PtyFeed() { seen(), dup2(saved, 0), close(saved), close(slave), close(master); }
};

} // namespace testutil
