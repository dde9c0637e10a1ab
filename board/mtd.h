// MTD flash partitions: geometry, positioned reads, read-modify-erase-write.
#pragma once
#include <cstdint>

struct mtd_geometry {
    uint32_t block_count;
    uint32_t erase_size;
    uint32_t erase_shift;
    uint32_t total_size;
};

extern int mtd_uboot, mtd_ubootenv, mtd_devicetree, mtd_kernel, mtd_rfs, mtd_rescue;

int mtd_open_partitions();
int mtd_get_geometry(int handle, mtd_geometry* geometry);
int mtd_erase_block(int handle, uint32_t start, uint32_t length);
int mtd_pread(int handle, uint32_t offset, uint32_t length, void* buffer);
int mtd_pwrite(int handle, uint32_t offset, uint32_t length, const void* buffer);
int flash_write(const uint8_t* buffer, int handle, uint32_t length, uint32_t offset, bool progress,
                const mtd_geometry* geometry);
int mtd_read(void* buffer, int handle, uint32_t offset, uint32_t length);
int mtd_write(const void* buffer, int handle, uint32_t offset, uint32_t length, bool progress);
