// Dialogue tests: the console's input as a pipe holding the operator's keys,
// and a temporary file root standing in for /.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "board/sys.h"

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

// g_fs_root at a fresh temporary directory with tmp/, user/, dev/ and bin/, removed at the end.
struct TempRoot {
    char dir[32] = "/tmp/bootmgr-root-XXXXXX";
    const char* saved = g_fs_root;
    TempRoot() {
        if (!mkdtemp(dir)) abort();
        for (const char* sub : {"/tmp", "/user", "/dev", "/bin"})
            std::filesystem::create_directory(std::string(dir) + sub);
        g_fs_root = dir;
    }
    ~TempRoot() { g_fs_root = saved, std::filesystem::remove_all(dir); }
    std::string path(const std::string& absolute) const { return dir + absolute; }
    bool exists(const std::string& absolute) const {
        return std::filesystem::exists(path(absolute));
    }
    void touch(const std::string& absolute) const { std::ofstream(path(absolute)) << "old"; }
};

} // namespace testutil
