// The flash partitions, one backing file each, with NOR rules: writes only clear bits,
// erase sets whole blocks to 0xFF and needs aligned ranges, reads past the end give 0 bytes,
// writes starting at or past the end fail with ENOSPC and writes running over it are cut
// short. board.conf's faults make chosen blocks fail. As the kernel does, a partition that
// does not end on an erase block is read-only: it refuses an open for writing with EACCES
// and MEMGETINFO shows MTD_WRITEABLE clear.
#include "sandbox/emu_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mtd/mtd-user.h>
#include <sys/stat.h>
#include <vector>

namespace emu_internal {

namespace {

bool file_size(int fd, uint64_t* size) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size < 0) return false;
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool block_faulted(const Emu& e, const std::vector<PartBlock>& faults, int part, uint64_t off,
                   uint64_t n) {
    if (n == 0 || faults.empty()) return false;
    uint32_t es = e.config.erase_size;
    uint64_t first = es ? off / es : 0;
    uint64_t last = es ? (off + n - 1) / es : 0;
    for (const PartBlock& pb : faults) {
        if (pb.part == part && pb.block >= first && pb.block <= last) return true;
    }
    return false;
}

// The common start of a positioned flash transfer: a handle opened for it,
// an offset that is not negative, and the partition's size. False, with
// errno set, when the transfer cannot start.
bool flash_start(int fd, bool allowed, int64_t off, uint64_t* uoff, uint64_t* size) {
    if (!allowed) {
        errno = EBADF;
        return false;
    }
    if (off < 0) {
        errno = EINVAL;
        return false;
    }
    if (!file_size(fd, size)) return false;
    *uoff = static_cast<uint64_t>(off);
    return true;
}

} // namespace

bool flash_writeable(const Emu& e, int fd) {
    uint64_t size = 0;
    uint32_t es = e.config.erase_size;
    return file_size(fd, &size) && (es == 0 || size % es == 0);
}

ssize_t flash_read(Emu& e, int fd, const EmuFd& f, void* buffer, size_t count, int64_t off) {
    uint64_t uoff = 0, size = 0;
    if (!flash_start(fd, can_read(f), off, &uoff, &size)) return -1;
    if (uoff >= size || count == 0) return 0;
    uint64_t n = std::min<uint64_t>(count, size - uoff);
    if (block_faulted(e, e.config.read_faults, f.part, uoff, n)) {
        errno = EIO;
        return -1;
    }
    if (!full_pread(fd, static_cast<uint8_t*>(buffer), n, uoff)) return -1;
    return static_cast<ssize_t>(n);
}

ssize_t flash_program(Emu& e, int fd, const EmuFd& f, const void* buffer, size_t count,
                      int64_t off) {
    uint64_t uoff = 0, size = 0;
    if (!flash_start(fd, can_write(f), off, &uoff, &size)) return -1;
    if (uoff >= size) {
        errno = ENOSPC;
        return -1;
    }
    if (count == 0) return 0;
    uint64_t n = std::min<uint64_t>(count, size - uoff);
    if (block_faulted(e, e.config.write_faults, f.part, uoff, n)) {
        errno = EIO;
        return -1;
    }
    // A cut program leaves the first half of the bytes programmed.
    bool cut = power_op(e);
    uint64_t programmed = cut ? n / 2 : n;
    const uint8_t* src = static_cast<const uint8_t*>(buffer);
    // Small writes (the common 1 KiB pieces) stay on the stack.
    uint8_t small[4096];
    std::vector<uint8_t> large;
    uint8_t* old = small;
    size_t span = sizeof small;
    if (n > sizeof small) {
        large.resize(static_cast<size_t>(std::min<uint64_t>(n, kChunk)));
        old = large.data();
        span = large.size();
    }
    for (uint64_t done = 0; done < programmed;) {
        size_t piece = static_cast<size_t>(std::min<uint64_t>(programmed - done, span));
        if (!full_pread(fd, old, piece, uoff + done)) return -1;
        for (size_t i = 0; i < piece; ++i) old[i] &= src[done + i]; // NOR: bits only clear
        if (!full_pwrite(fd, old, piece, uoff + done)) return -1;
        done += piece;
    }
    if (cut) power_cut(e);
    return static_cast<ssize_t>(n);
}

int flash_erase(Emu& e, int fd, const EmuFd& f, const erase_info_user* ei) {
    if (!ei) {
        errno = EFAULT;
        return -1;
    }
    if (!can_write(f)) {
        errno = EPERM;
        return -1;
    }
    uint32_t es = e.config.erase_size;
    uint64_t size = 0;
    if (!file_size(fd, &size)) return -1;
    if (es == 0 || ei->start % es != 0 || ei->length % es != 0 ||
        uint64_t(ei->start) + ei->length > size) {
        errno = EINVAL;
        return -1;
    }
    static const std::vector<uint8_t> erased(kChunk, 0xFF);
    for (uint64_t block = ei->start; block < uint64_t(ei->start) + ei->length; block += es) {
        if (block_faulted(e, e.config.erase_faults, f.part, block, 1)) {
            errno = EIO;
            return -1;
        }
        // A cut erase leaves the first half of the block erased, the rest as it was.
        bool cut = power_op(e);
        uint64_t span = cut ? es / 2 : es;
        for (uint64_t done = 0; done < span;) {
            size_t piece = static_cast<size_t>(std::min<uint64_t>(span - done, kChunk));
            if (!full_pwrite(fd, erased.data(), piece, block + done)) return -1;
            done += piece;
        }
        if (cut) power_cut(e);
    }
    return 0;
}

int flash_info(Emu& e, int fd, mtd_info_user* info) {
    if (!info) {
        errno = EFAULT;
        return -1;
    }
    uint64_t size = 0;
    if (!file_size(fd, &size)) return -1;
    memset(info, 0, sizeof *info);
    info->type = MTD_NORFLASH;
    info->flags = flash_writeable(e, fd) ? MTD_CAP_NORFLASH : MTD_CAP_NORFLASH & ~MTD_WRITEABLE;
    info->size = static_cast<uint32_t>(std::min<uint64_t>(size, UINT32_MAX));
    info->erasesize = e.config.erase_size;
    info->writesize = 1;
    info->oobsize = 0;
    return 0;
}

} // namespace emu_internal
