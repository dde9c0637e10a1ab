// MTD flash partitions: geometry, positioned reads, read-modify-erase-write.
#include "board/mtd.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/ioctl.h>
#include <mtd/mtd-user.h>

#include "board/devio.h"

namespace {

constexpr uint32_t kWritePiece = 1024; // flash is programmed 1 KiB at a time

struct FreeDeleter {
    void operator()(uint8_t* p) const { free(p); }
};

// The kernel forces a partition that does not end on an erase block read-only
// and refuses to open it for writing. Such a partition is opened for reading:
// what it holds stays readable, and a write or erase of it fails where tried.
int open_partition(const char* path, int flags) {
    int fd = dev_open(path, O_RDWR | flags);
    if (fd < 0 && (errno == EACCES || errno == EROFS)) fd = dev_open(path, O_RDONLY | flags);
    return fd;
}

} // namespace

// Invalid until mtd_open_partitions has run; never descriptor 0 (the console).
int mtd_uboot = -1;
int mtd_ubootenv = -1;
int mtd_devicetree = -1;
int mtd_kernel = -1;
int mtd_rfs = -1;
int mtd_rescue = -1;

int mtd_open_partitions() {
    mtd_uboot = open_partition("/dev/mtd-uboot", O_SYNC);
    mtd_ubootenv = open_partition("/dev/mtd-ubootenv", O_SYNC);
    mtd_devicetree = open_partition("/dev/mtd-devicetree", O_SYNC);
    mtd_kernel = open_partition("/dev/mtd-kernel", O_SYNC);
    mtd_rfs = open_partition("/dev/mtd-rfs", O_SYNC);
    mtd_rescue = open_partition("/dev/mtd-rescue", 0);
    return 1;
}

int mtd_get_geometry(int handle, mtd_geometry* geometry) {
    mtd_info_user info;
    memset(&info, 0, sizeof info);
    // An erase size of 0 is a broken device. One larger than the partition is
    // not: a 64 KiB partition on a flash with 128 KiB erase blocks reads
    // fine, and only a write, which must erase, refuses it (flash_write).
    if (!geometry || dev_ioctl(handle, MEMGETINFO, &info) < 0 || info.erasesize == 0) {
        puts("Could not get MTD device info ");
        return 0;
    }
    uint32_t shift = 0;
    for (uint32_t bit = 0; bit < 32; ++bit) {
        if (info.erasesize & (1u << bit)) {
            shift = bit;
            break;
        }
    }
    geometry->block_count = info.size / info.erasesize;
    geometry->erase_size = info.erasesize;
    geometry->erase_shift = shift;
    geometry->total_size = info.size;
    return 1;
}

int mtd_erase_block(int handle, uint32_t start, uint32_t length) {
    erase_info_user erase;
    memset(&erase, 0, sizeof erase);
    erase.start = start;
    erase.length = length;
    return dev_ioctl(handle, MEMERASE, &erase) < 0 ? 0 : 1;
}

int mtd_pread(int handle, uint32_t offset, uint32_t length, void* buffer) {
    return dev_pread(handle, buffer, length, static_cast<off_t>(offset)) < 0 ? 0 : 1;
}

int mtd_pwrite(int handle, uint32_t offset, uint32_t length, const void* buffer) {
    return dev_pwrite(handle, buffer, length, static_cast<off_t>(offset)) < 0 ? 0 : 1;
}

int flash_write(const uint8_t* buffer, int handle, uint32_t length, uint32_t offset, bool progress,
                const mtd_geometry* geometry) {
    if (!geometry || geometry->erase_size == 0 || (!buffer && length > 0)) {
        puts("Flash Write invalid arguments.");
        return 0;
    }
    const uint64_t erase_size = geometry->erase_size;
    // Checked before anything is erased, in 64 bits so that offset + length cannot wrap.
    if (uint64_t(offset) + length > geometry->total_size) {
        puts("Flash Write past end of partition.");
        return 0;
    }

    // Blocks from the one holding offset to the one holding the last byte. Division
    // rather than the erase shift, so an erase size that is not a power of two still
    // gives the right count. A zero-length write touches no block.
    uint64_t block_start = offset - offset % erase_size;
    uint64_t blocks = 0;
    if (length > 0) {
        uint64_t last_byte = uint64_t(offset) + length - 1;
        uint64_t end = last_byte - last_byte % erase_size + erase_size; // one past the last block
        blocks = (end - block_start) / erase_size;
        // Every touched block is read, erased and rewritten whole, so it must lie
        // inside the partition: not so when the erase size exceeds the partition
        // or the partition ends inside its last erase block.
        if (end > geometry->total_size) {
            puts("Flash Write erase block past end of partition.");
            return 0;
        }
    }

    std::unique_ptr<uint8_t, FreeDeleter> block(
        static_cast<uint8_t*>(calloc(1, static_cast<size_t>(erase_size) + kWritePiece)));
    if (!block) {
        puts("Flash Write malloc failed");
        return 0;
    }

    if (progress) printf("     ");
    uint64_t copied = 0;
    for (uint64_t i = 0; i < blocks; ++i) {
        uint64_t place = 0;
        uint64_t count = 0;
        if (blocks == 1) {
            place = offset - block_start;
            count = length;
        } else if (i == 0) {
            place = offset - block_start;
            count = erase_size - place;
        } else if (i == blocks - 1) {
            place = 0;
            count = length - copied;
        } else {
            place = 0;
            count = erase_size;
        }

        memset(block.get(), 0, static_cast<size_t>(erase_size));
        if (!mtd_pread(handle, static_cast<uint32_t>(block_start),
                       static_cast<uint32_t>(erase_size), block.get())) {
            puts("Flash Write mtd read failed.");
            puts("");
            return 0;
        }
        memcpy(block.get() + place, buffer + copied, static_cast<size_t>(count));

        if (!mtd_erase_block(handle, static_cast<uint32_t>(block_start),
                             static_cast<uint32_t>(erase_size))) {
            puts("Flash Write mtd erase failed.");
            puts("");
            return 0;
        }

        // The last piece stops at the block's end, so nothing spills into the next block.
        for (uint64_t j = 0; j < erase_size; j += kWritePiece) {
            uint64_t piece = std::min<uint64_t>(kWritePiece, erase_size - j);
            if (!mtd_pwrite(handle, static_cast<uint32_t>(block_start + j),
                            static_cast<uint32_t>(piece), block.get() + j)) {
                puts("Flash Write mtd write failed.");
                puts("");
                return 0;
            }
        }

        if (progress) {
            printf("\b\b\b\b%3.3d%c", static_cast<int>(i * 100 / blocks), '%');
            fflush(stdout);
        }
        block_start += erase_size;
        copied += count;
    }
    if (progress) printf("\b\b\b\b100%c\n", '%');
    return 1;
}

int mtd_read(void* buffer, int handle, uint32_t offset, uint32_t length) {
    mtd_geometry geometry;
    if (!mtd_get_geometry(handle, &geometry)) return -1;
    return mtd_pread(handle, offset, length, buffer) ? 0 : -1;
}

int mtd_write(const void* buffer, int handle, uint32_t offset, uint32_t length, bool progress) {
    mtd_geometry geometry;
    if (!mtd_get_geometry(handle, &geometry)) return -1;
    return flash_write(static_cast<const uint8_t*>(buffer), handle, length, offset, progress,
                       &geometry)
               ? 0
               : -1;
}
