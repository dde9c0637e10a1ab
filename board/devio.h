// The device seam: every access to /dev/i2c-N and /dev/mtd-* goes through
// these calls. The target build binds them to the kernel; the sandbox build
// binds those device paths to emulated devices and passes other paths on.
#pragma once
#include <cstddef>
#include <sys/types.h>

int dev_open(const char* path, int flags);
int dev_close(int fd);
int dev_ioctl(int fd, unsigned long request, void* arg);
ssize_t dev_read(int fd, void* buffer, size_t count);
ssize_t dev_write(int fd, const void* buffer, size_t count);
ssize_t dev_pread(int fd, void* buffer, size_t count, off_t offset);
ssize_t dev_pwrite(int fd, const void* buffer, size_t count, off_t offset);

// A platform event worth recording (a shell command, a reboot request).
// The target build ignores it; the sandbox appends it to the board's event log.
void dev_note_event(const char* line);
