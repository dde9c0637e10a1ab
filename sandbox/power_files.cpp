// Part of bootmgr-sim and bootmgr-confirm-sim only (linked with --wrap for these calls): the
// boot manager's own write(2), fsync(2), rename(2) and fclose(3) of files under /user count
// towards board.conf's cut_after (sandbox/emu_power.cpp), each once it is done, as on the
// synchronously mounted /user of the switch.
#include <climits>
#include <cstdio>
#include <cstring>
#include <stdio_ext.h>
#include <string>
#include <unistd.h>

#include "sandbox/emu.h"

extern "C" {
ssize_t __real_write(int fd, const void* buffer, size_t count);
int __real_fsync(int fd);
int __real_rename(const char* from, const char* to);
int __real_fclose(FILE* stream);
}

namespace {

bool under_user(const char* path) {
    return path && strncmp(path, "/user/", 6) == 0;
}

bool fd_under_user(int fd) {
    if (fd < 0) return false;
    char link[32], target[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) return false;
    target[n] = '\0';
    return under_user(target) || strcmp(target, "/user") == 0;
}

} // namespace

extern "C" {

ssize_t __wrap_write(int fd, const void* buffer, size_t count) {
    ssize_t result = __real_write(fd, buffer, count);
    if (result > 0 && fd_under_user(fd)) emu_power_file_op();
    return result;
}

int __wrap_fsync(int fd) {
    int result = __real_fsync(fd);
    if (fd_under_user(fd)) emu_power_file_op();
    return result;
}

int __wrap_rename(const char* from, const char* to) {
    int result = __real_rename(from, to);
    if (under_user(to)) emu_power_file_op();
    return result;
}

int __wrap_fclose(FILE* stream) {
    // Only a stream written to a file under /user: its buffered bytes land at the close.
    int fd = stream ? fileno(stream) : -1;
    bool counted = fd >= 0 && __fwritable(stream) != 0 && fd_under_user(fd);
    int result = __real_fclose(stream);
    if (counted) emu_power_file_op();
    return result;
}
}
