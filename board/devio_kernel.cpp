// Device seam bound to the kernel: the target build.
#include "board/devio.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

int dev_open(const char* path, int flags) {
    return open(path, flags);
}
int dev_close(int fd) {
    return close(fd);
}
int dev_ioctl(int fd, unsigned long request, void* arg) {
    return ioctl(fd, request, arg);
}
ssize_t dev_read(int fd, void* buffer, size_t count) {
    return read(fd, buffer, count);
}
ssize_t dev_write(int fd, const void* buffer, size_t count) {
    return write(fd, buffer, count);
}
ssize_t dev_pread(int fd, void* buffer, size_t count, off_t offset) {
    return pread(fd, buffer, count, offset);
}
ssize_t dev_pwrite(int fd, const void* buffer, size_t count, off_t offset) {
    return pwrite(fd, buffer, count, offset);
}
void dev_note_event(const char*) {}
