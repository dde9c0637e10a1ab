// Device seam bound to emulated devices: the sandbox build.
//
// /dev/i2c-0..2 and /dev/mtd-{uboot,ubootenv,devicetree,kernel,rfs,rescue} are
// served from the board directory (see board_layout.h); every other path and
// descriptor goes to the C library unchanged.
//
// An emulated I2C descriptor is a real descriptor of /dev/null (so its number
// can never be handed out twice); an emulated flash descriptor is the real
// descriptor of the partition's backing file. Both are kept at 3 or above and
// close on exec. The devices behind them: the I2C buses in emu_i2c.cpp, the
// flash in emu_flash.cpp, board.conf and the board files in emu_config.cpp.
#include "board/devio.h"
#include "sandbox/board_layout.h"
#include "sandbox/emu.h"
#include "sandbox/emu_internal.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <map>
#include <mtd/mtd-user.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace emu_internal {

Emu g_emu;

Emu& emu() {
    if (!g_emu.dir_known) {
        const char* env = getenv(SIM_BOARD_ENV);
        g_emu.dir = (env && *env) ? env : SIM_BOARD_DEFAULT;
        g_emu.dir_known = true;
    }
    if (!g_emu.config_loaded) load_config(g_emu);
    return g_emu;
}

} // namespace emu_internal

using namespace emu_internal;

namespace {

// Moves a fresh descriptor to 3 or above, close on exec.
int settle_fd(int fd) {
    if (fd < 0 || fd >= 3) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int saved = errno;
    close(fd);
    errno = saved;
    return moved;
}

EmuFd* find_fd(int fd) {
    if (fd < 0) return nullptr;
    auto it = g_emu.fds.find(fd);
    return it == g_emu.fds.end() ? nullptr : &it->second;
}

int i2c_path_bus(const char* path) {
    for (int bus = 0; bus < kBusCount; ++bus) {
        char name[32];
        snprintf(name, sizeof name, "/dev/i2c-%d", bus);
        if (strcmp(path, name) == 0) return bus;
    }
    return -1;
}

int mtd_path_part(const char* path) {
    static const char prefix[] = "/dev/mtd-";
    if (strncmp(path, prefix, sizeof prefix - 1) != 0) return -1;
    return part_index(path + sizeof prefix - 1);
}

} // namespace

// ---------------------------------------------------------------- the seam

int dev_open(const char* path, int flags) {
    if (!path) {
        errno = EFAULT;
        return -1;
    }
    int bus = i2c_path_bus(path);
    int part = mtd_path_part(path);
    if (bus < 0 && part < 0) return open(path, flags, 0666);

    Emu& e = emu();
    EmuFd f;
    f.access = flags & O_ACCMODE;
    int fd = -1;
    if (bus >= 0) {
        for (int missing : e.config.missing_i2c) {
            if (missing == bus) {
                errno = ENOENT;
                return -1;
            }
        }
        fd = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (fd < 0) fd = eventfd(0, EFD_CLOEXEC);
        f.kind = Kind::i2c;
        f.bus = bus;
    } else {
        std::string file = e.dir + "/flash/" + kPartNames[part] + ".bin";
        fd = open_board_file(file, O_RDWR, EMU_MAX_FLASH_FILE);
        if (fd < 0 && errno == EACCES && f.access == O_RDONLY) {
            fd = open_board_file(file, O_RDONLY, EMU_MAX_FLASH_FILE);
        }
        if (fd >= 0 && f.access != O_RDONLY && !flash_writeable(e, fd)) {
            close(fd);
            errno = EACCES;
            return -1;
        }
        f.kind = Kind::flash;
        f.part = part;
    }
    fd = settle_fd(fd);
    if (fd < 0) return -1;
    e.fds[fd] = f;
    return fd;
}

int dev_close(int fd) {
    if (find_fd(fd)) g_emu.fds.erase(fd);
    return close(fd);
}

int dev_ioctl(int fd, unsigned long request, void* arg) {
    EmuFd* f = find_fd(fd);
    if (!f) return ioctl(fd, request, arg);
    Emu& e = emu();
    if (f->kind == Kind::i2c) {
        if (request == I2C_SLAVE || request == I2C_SLAVE_FORCE) {
            uintptr_t addr = reinterpret_cast<uintptr_t>(arg);
            if (addr > 0x7F) {
                errno = EINVAL;
                return -1;
            }
            f->addr = static_cast<int>(addr);
            return 0;
        }
        errno = ENOTTY;
        return -1;
    }
    if (request == MEMGETINFO) return flash_info(e, fd, static_cast<mtd_info_user*>(arg));
    if (request == MEMERASE) return flash_erase(e, fd, *f, static_cast<erase_info_user*>(arg));
    errno = ENOTTY;
    return -1;
}

ssize_t dev_read(int fd, void* buffer, size_t count) {
    EmuFd* f = find_fd(fd);
    if (!f) return read(fd, buffer, count);
    Emu& e = emu();
    if (count > 0 && !buffer) {
        errno = EFAULT;
        return -1;
    }
    if (f->kind == Kind::i2c) {
        if (!can_read(*f)) {
            errno = EBADF;
            return -1;
        }
        return i2c_read(e, *f, static_cast<uint8_t*>(buffer), count);
    }
    if (f->pos > static_cast<uint64_t>(INT64_MAX)) return 0;
    ssize_t r = flash_read(e, fd, *f, buffer, count, static_cast<int64_t>(f->pos));
    if (r > 0) f->pos += static_cast<uint64_t>(r);
    return r;
}

ssize_t dev_write(int fd, const void* buffer, size_t count) {
    EmuFd* f = find_fd(fd);
    if (!f) return write(fd, buffer, count);
    Emu& e = emu();
    if (count > 0 && !buffer) {
        errno = EFAULT;
        return -1;
    }
    if (f->kind == Kind::i2c) {
        if (!can_write(*f)) {
            errno = EBADF;
            return -1;
        }
        return i2c_write(e, *f, static_cast<const uint8_t*>(buffer), count);
    }
    if (f->pos > static_cast<uint64_t>(INT64_MAX)) {
        errno = ENOSPC;
        return -1;
    }
    ssize_t r = flash_program(e, fd, *f, buffer, count, static_cast<int64_t>(f->pos));
    if (r > 0) f->pos += static_cast<uint64_t>(r);
    return r;
}

ssize_t dev_pread(int fd, void* buffer, size_t count, off_t offset) {
    EmuFd* f = find_fd(fd);
    if (!f) return pread(fd, buffer, count, offset);
    if (f->kind == Kind::i2c) {
        errno = ESPIPE;
        return -1;
    }
    if (count > 0 && !buffer) {
        errno = EFAULT;
        return -1;
    }
    return flash_read(emu(), fd, *f, buffer, count, offset);
}

ssize_t dev_pwrite(int fd, const void* buffer, size_t count, off_t offset) {
    EmuFd* f = find_fd(fd);
    if (!f) return pwrite(fd, buffer, count, offset);
    if (f->kind == Kind::i2c) {
        errno = ESPIPE;
        return -1;
    }
    if (count > 0 && !buffer) {
        errno = EFAULT;
        return -1;
    }
    return flash_program(emu(), fd, *f, buffer, count, offset);
}

void dev_note_event(const char* line) {
    int saved = errno;
    append_event(emu().dir, "shell", line ? line : "");
    errno = saved;
}

// ---------------------------------------------------------------- test controls

void emu_reset() {
    for (auto& entry : g_emu.fds) close(entry.first);
    g_emu.fds.clear();
    g_emu.config_loaded = false;
    g_emu.mux = 0;
    g_emu.eeprom_loaded = false;
    g_emu.eeprom.clear();
    g_emu.eeprom_ptr = 0;
    g_emu.led.fill(0);
    g_emu.led_ptr = 0;
    g_emu.rtc_ram.fill(0);
    g_emu.rtc_ptr = 0;
    g_emu.led_writes.clear();
    g_emu.nth_bus = g_emu.nth_addr = -1;
    g_emu.nth_left = 0;
    g_emu.transfers = 0;
}

void emu_set_board_dir(const char* dir) {
    emu_reset();
    g_emu.dir = dir ? dir : SIM_BOARD_DEFAULT;
    g_emu.dir_known = true;
}

std::string emu_board_dir() {
    return emu().dir;
}
