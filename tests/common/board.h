// Shared fixtures of the boot manager unit tests: a temporary emulated board,
// and the shell, sleep, exec and network hooks replaced so that no command runs
// on this host and its interfaces are never asked.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <vector>

#include "board/sys.h"
#include "sandbox/emu.h"
#include "tests/common/bytes.h"

namespace testutil {

// Commands handed to the shell, recorded instead of run.
inline std::vector<std::string> g_commands;
inline int g_shell_result = 0;
inline uint64_t g_slept = 0;

inline int recordShell(const char* command) {
    g_commands.push_back(command);
    return g_shell_result;
}
inline void recordSleep(uint64_t microseconds) {
    g_slept += microseconds;
}
// A replacing start, recorded as "exec PATH ARG..." among the commands; it fails.
inline int recordExec(const char* path, char* const argv[]) {
    std::string line = std::string("exec ") + path;
    for (char* const* a = argv; a && *a; ++a) line += std::string(" ") + *a;
    g_commands.push_back(line);
    return -1;
}

// Points the boot manager's file root at a board for one scope, restored however the scope ends.
struct FileRootAt {
    explicit FileRootAt(const std::string& dir) : saved(g_fs_root) { g_fs_root = dir.c_str(); }
    ~FileRootAt() { g_fs_root = saved; }
    FileRootAt(const FileRootAt&) = delete;
    FileRootAt& operator=(const FileRootAt&) = delete;
    const char* saved;
};

// No interface of this host is ever asked: the socket is a descriptor of /dev/null and
// every interface request fails, so the management port looks absent.
inline int fakeNetifSocket() {
    return open("/dev/null", O_RDONLY | O_CLOEXEC);
}
inline int fakeNetifIoctl(int, unsigned long, void*) {
    return -1;
}

// Replaces the shell runner, the sleep hook, the exec hook and the management port's
// interface requests for its lifetime.
struct HostHooks {
    int (*savedRunner)(const char*) = g_shell_runner;
    void (*savedSleep)(uint64_t) = g_sleep_hook;
    int (*savedExec)(const char*, char* const[]) = g_exec_hook;
    int (*savedSocket)() = g_netif_socket;
    int (*savedIoctl)(int, unsigned long, void*) = g_netif_ioctl;
    HostHooks() {
        g_shell_runner = recordShell;
        g_sleep_hook = recordSleep;
        g_exec_hook = recordExec;
        g_netif_socket = fakeNetifSocket;
        g_netif_ioctl = fakeNetifIoctl;
        g_commands.clear();
        g_shell_result = 0;
        g_slept = 0;
    }
    ~HostHooks() {
        g_shell_runner = savedRunner;
        g_sleep_hook = savedSleep;
        g_exec_hook = savedExec;
        g_netif_socket = savedSocket;
        g_netif_ioctl = savedIoctl;
    }
};

// A fresh emulated board in a temporary directory, removed at the end.
struct TempBoard {
    std::string dir;
    explicit TempBoard(uint32_t eraseSize = 65536, const char* serial = "SN0123456789")
        : dir(emu_make_temp_board(serial, eraseSize)) {
        EXPECT_FALSE(dir.empty());
    }
    ~TempBoard() {
        if (!dir.empty()) emu_remove_board(dir);
    }
    TempBoard(const TempBoard&) = delete;
    TempBoard& operator=(const TempBoard&) = delete;

    std::string path(const std::string& name) const { return dir + "/" + name; }
    // Appends lines to board.conf and makes the emulation read it again.
    void configure(const std::string& lines) const {
        std::ofstream(path("board.conf"), std::ios::app) << lines;
        emu_reset();
    }
    // Overwrites bytes of a board file (eeprom.bin, flash/NAME.bin) in place; with reset, the
    // emulation closes what it holds open and reads the files again.
    void poke(const std::string& name, size_t offset, const Bytes& data, bool reset = true) const {
        std::fstream f(path(name), std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(offset));
        f.write(reinterpret_cast<const char*>(data.data()),
                static_cast<std::streamsize>(data.size()));
        f.close();
        if (reset) emu_reset();
    }
    Bytes file(const std::string& name) const { return readBytes(path(name)); }
};

} // namespace testutil
