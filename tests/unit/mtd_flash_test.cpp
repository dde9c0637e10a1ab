// Flash partitions over the emulated NOR flash: read-modify-erase-write keeps
// every byte outside the range, progress output, failure messages and results.
#include "board/devio.h"
#include "board/mtd.h"
#include "sandbox/emu.h"
#include "tests/common/board.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t kBlock = 0x10000;
constexpr uint32_t kRfsSize = 10u * 1024 * 1024;

uint8_t pattern(uint32_t i) {
    return static_cast<uint8_t>(i * 7 + 3 + (i >> 8));
}

std::vector<uint8_t> read_file(const std::string& path, size_t offset = 0,
                               size_t length = SIZE_MAX) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    size_t size = static_cast<size_t>(in.tellg());
    if (offset >= size) return {};
    std::vector<uint8_t> data(std::min(length, size - offset));
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return data;
}

class FlashTest : public ::testing::Test {
  protected:
    void SetUp() override { make_board(kBlock); }

    // A fresh board with the given erase size and partitions opened.
    void make_board(uint32_t erase_size) {
        board_.reset();
        board_ = std::make_unique<testutil::TempBoard>(erase_size);
        dir_ = board_->dir;
        mtd_open_partitions();
    }
    // Appends lines to board.conf and reopens the partitions under the new rules.
    void configure(const std::string& lines) {
        board_->configure(lines);
        mtd_open_partitions();
    }
    // Fills the first `bytes` of rfs with the pattern, through the raw seam (it is erased).
    void fill_rfs(uint32_t bytes) {
        std::vector<uint8_t> data(bytes);
        for (uint32_t i = 0; i < bytes; ++i) data[i] = pattern(i);
        ASSERT_EQ(ssize_t(bytes), dev_pwrite(mtd_rfs, data.data(), bytes, 0));
    }
    std::vector<uint8_t> rfs(size_t offset = 0, size_t length = SIZE_MAX) {
        return read_file(dir_ + "/flash/rfs.bin", offset, length);
    }
    // Checks that rfs holds the pattern over [0, bytes) except for data at offset.
    void expect_rfs(uint32_t bytes, uint32_t offset, const std::vector<uint8_t>& data) {
        std::vector<uint8_t> now = rfs(0, bytes);
        ASSERT_EQ(now.size(), bytes);
        size_t wrong = 0;
        for (uint32_t i = 0; i < bytes; ++i) {
            uint8_t want =
                (i >= offset && i - offset < data.size()) ? data[i - offset] : pattern(i);
            if (now[i] != want && wrong++ < 5) {
                ADD_FAILURE() << "byte 0x" << std::hex << i << " is 0x" << int(now[i])
                              << ", want 0x" << int(want);
            }
        }
        EXPECT_EQ(0u, wrong);
    }
    std::unique_ptr<testutil::TempBoard> board_;
    std::string dir_;
};

TEST_F(FlashTest, GeometryOfTheDefaultBoard) {
    mtd_geometry g{};
    ASSERT_EQ(1, mtd_get_geometry(mtd_rfs, &g));
    EXPECT_EQ(160u, g.block_count);
    EXPECT_EQ(kBlock, g.erase_size);
    EXPECT_EQ(16u, g.erase_shift);
    EXPECT_EQ(kRfsSize, g.total_size);
    ASSERT_EQ(1, mtd_get_geometry(mtd_ubootenv, &g));
    EXPECT_EQ(1u, g.block_count);
    EXPECT_EQ(65536u, g.total_size);
    for (int handle : {mtd_uboot, mtd_ubootenv, mtd_devicetree, mtd_kernel, mtd_rfs, mtd_rescue}) {
        EXPECT_GT(handle, 2);
    }
}

TEST_F(FlashTest, WriteAcrossBlockBoundaryKeepsEverythingElse) {
    fill_rfs(4 * kBlock);
    const std::vector<uint8_t> data = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, mtd_write(data.data(), mtd_rfs, 0x1FFFC, 10, false));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    expect_rfs(4 * kBlock, 0x1FFFC, data);
    // Through the positioned read as well.
    uint8_t back[10] = {};
    EXPECT_EQ(0, mtd_read(back, mtd_rfs, 0x1FFFC, 10));
    EXPECT_EQ(0, memcmp(data.data(), back, 10));
}

TEST_F(FlashTest, WriteInsideOneBlockChangesOnlyItsBytes) {
    fill_rfs(3 * kBlock);
    const std::vector<uint8_t> data(100, 0xFF); // needs the erase: the pattern has zero bits
    EXPECT_EQ(0, mtd_write(data.data(), mtd_rfs, kBlock + 0x1234, 100, false));
    expect_rfs(3 * kBlock, kBlock + 0x1234, data);
    // A whole block and the last byte of the partition.
    std::vector<uint8_t> whole(kBlock, 0x3C);
    EXPECT_EQ(0, mtd_write(whole.data(), mtd_rfs, 2 * kBlock, kBlock, false));
    std::vector<uint8_t> copy(kBlock);
    EXPECT_EQ(0, mtd_read(copy.data(), mtd_rfs, 2 * kBlock, kBlock));
    EXPECT_EQ(whole, copy);
    const uint8_t last = 0x42;
    EXPECT_EQ(0, mtd_write(&last, mtd_rfs, kRfsSize - 1, 1, false));
    EXPECT_EQ(std::vector<uint8_t>{0x42}, rfs(kRfsSize - 1));
}

TEST_F(FlashTest, ThreeBlockWriteShowsProgressInPlace) {
    std::vector<uint8_t> data(3 * kBlock);
    for (uint32_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i ^ 0xA5);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, mtd_write(data.data(), mtd_kernel, 0, 3 * kBlock, true));
    EXPECT_EQ("     \b\b\b\b000%\b\b\b\b033%\b\b\b\b066%\b\b\b\b100%\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(data, read_file(dir_ + "/flash/kernel.bin", 0, 3 * kBlock));
    EXPECT_EQ(std::vector<uint8_t>(kBlock, 0xFF),
              read_file(dir_ + "/flash/kernel.bin", 3 * kBlock, kBlock));
}

TEST_F(FlashTest, ZeroLengthWriteTouchesNothing) {
    fill_rfs(kBlock);
    configure("fault_flash_erase=rfs:0\nfault_flash_read=rfs:0\n"); // any touch would fail
    const uint8_t byte = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, mtd_write(&byte, mtd_rfs, 0, 0, false));
    EXPECT_EQ(0, mtd_write(&byte, mtd_rfs, 0, 0, true));
    EXPECT_EQ(0, mtd_write(nullptr, mtd_rfs, 0x1234, 0, false));
    EXPECT_EQ("     \b\b\b\b100%\n", testing::internal::GetCapturedStdout());
    expect_rfs(kBlock, 0, {});
}

TEST_F(FlashTest, WritePastTheEndFailsBeforeAnyErase) {
    fill_rfs(kBlock);
    std::vector<uint8_t> tail(kBlock);
    ASSERT_EQ(ssize_t(kBlock), dev_pwrite(mtd_rfs, tail.data(), kBlock, kRfsSize - kBlock));
    std::vector<uint8_t> data(64, 0x11);
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, mtd_write(data.data(), mtd_rfs, kRfsSize - 10, 11, true));
    EXPECT_EQ(-1, mtd_write(data.data(), mtd_rfs, kRfsSize, 1, false));
    // offset + length wraps in 32 bits; it must still be seen as past the end.
    EXPECT_EQ(-1, mtd_write(data.data(), mtd_rfs, 0xFFFFFFF0u, 0x20, false));
    EXPECT_EQ("Flash Write past end of partition.\n"
              "Flash Write past end of partition.\n"
              "Flash Write past end of partition.\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(std::vector<uint8_t>(kBlock, 0), rfs(kRfsSize - kBlock));
    expect_rfs(kBlock, 0, {});
    // Ending exactly at the end is fine.
    EXPECT_EQ(0, mtd_write(data.data(), mtd_rfs, kRfsSize - 10, 10, false));
}

TEST_F(FlashTest, FailedFirstReadReturnsBeforeAnyErase) {
    fill_rfs(3 * kBlock);
    configure("fault_flash_read=rfs:1\n");
    mtd_geometry g{};
    ASSERT_EQ(1, mtd_get_geometry(mtd_rfs, &g));
    std::vector<uint8_t> data(20, 0x00);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, flash_write(data.data(), mtd_rfs, 20, kBlock + 5, false, &g));
    EXPECT_EQ(-1, mtd_write(data.data(), mtd_rfs, kBlock + 5, 20, true));
    EXPECT_EQ("Flash Write mtd read failed.\n\n"
              "     Flash Write mtd read failed.\n\n",
              testing::internal::GetCapturedStdout());
    expect_rfs(3 * kBlock, 0, {});
}

TEST_F(FlashTest, FailedEraseOfSecondBlockLeavesFirstWritten) {
    fill_rfs(3 * kBlock);
    configure("fault_flash_erase=rfs:2\n");
    std::vector<uint8_t> data(0x20, 0x00);
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, mtd_write(data.data(), mtd_rfs, 2 * kBlock - 0x10, 0x20, true));
    EXPECT_EQ("     \b\b\b\b000%Flash Write mtd erase failed.\n\n",
              testing::internal::GetCapturedStdout());
    // The first block was rewritten with its share; nothing is rolled back.
    expect_rfs(3 * kBlock, 2 * kBlock - 0x10, std::vector<uint8_t>(0x10, 0x00));
}

TEST_F(FlashTest, FailedWriteReportsAndReturnsFailure) {
    configure("fault_flash_write=devicetree:0\n");
    const uint8_t data[4] = {1, 2, 3, 4};
    mtd_geometry g{};
    ASSERT_EQ(1, mtd_get_geometry(mtd_devicetree, &g));
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, flash_write(data, mtd_devicetree, 4, 0, false, &g));
    EXPECT_EQ(-1, mtd_write(data, mtd_devicetree, 0, 4, false));
    EXPECT_EQ("Flash Write mtd write failed.\n\nFlash Write mtd write failed.\n\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(0, mtd_write(data, mtd_devicetree, kBlock, 4, false)); // block 1 is fine
}

TEST_F(FlashTest, UnopenablePartitionFailsAtGeometry) {
    emu_reset();
    ASSERT_EQ(0, unlink((dir_ + "/flash/rescue.bin").c_str()));
    EXPECT_EQ(1, mtd_open_partitions());
    EXPECT_LT(mtd_rescue, 0);
    EXPECT_GT(mtd_rfs, 2);
    std::vector<uint8_t> buffer(64, 0xAB);
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, mtd_read(buffer.data(), mtd_rescue, 0, 64));
    EXPECT_EQ(-1, mtd_write(buffer.data(), mtd_rescue, 0, 64, true));
    EXPECT_EQ("Could not get MTD device info \nCould not get MTD device info \n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(std::vector<uint8_t>(64, 0xAB), buffer);
}

TEST_F(FlashTest, BrokenEraseSizeIsRefused) {
    make_board(0);
    std::vector<uint8_t> buffer(16, 0xAB);
    mtd_geometry g{};
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, mtd_get_geometry(mtd_kernel, &g));
    EXPECT_EQ(-1, mtd_write(buffer.data(), mtd_kernel, 0, 16, false));
    g = mtd_geometry{0, 0, 0, kRfsSize};
    EXPECT_EQ(0, flash_write(buffer.data(), mtd_kernel, 16, 0, false, &g));
    EXPECT_EQ(0, flash_write(buffer.data(), mtd_kernel, 16, 0, false, nullptr));
    EXPECT_EQ("Could not get MTD device info \nCould not get MTD device info \n"
              "Flash Write invalid arguments.\nFlash Write invalid arguments.\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(std::vector<uint8_t>(8u << 20, 0xFF), read_file(dir_ + "/flash/kernel.bin"));
}

// 128 KiB erase blocks: the kernel forces the 64 KiB environment partition
// read-only. It is opened for reading and read as usual; writes, which erase
// whole blocks, refuse blocks that reach past a partition.
TEST_F(FlashTest, PartitionSmallerThanAnEraseBlockIsReadable) {
    const uint32_t block = 0x20000;
    make_board(block);
    std::vector<uint8_t> env(65536);
    for (uint32_t i = 0; i < env.size(); ++i) env[i] = pattern(i);
    board_->poke("flash/ubootenv.bin", 0, env, false);
    mtd_geometry g{};
    ASSERT_EQ(1, mtd_get_geometry(mtd_ubootenv, &g));
    EXPECT_EQ(0u, g.block_count);
    std::vector<uint8_t> got(8192);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, mtd_read(got.data(), mtd_ubootenv, 4, 8192));
    EXPECT_EQ(-1, mtd_write(got.data(), mtd_ubootenv, 0, 16, false));
    EXPECT_EQ(0, mtd_write(got.data(), mtd_rfs, block - 8, 16, false)); // two whole blocks
    EXPECT_EQ("Flash Write erase block past end of partition.\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(std::vector<uint8_t>(env.begin() + 4, env.begin() + 4 + 8192), got);
    EXPECT_EQ(env, read_file(dir_ + "/flash/ubootenv.bin"));
}

TEST_F(FlashTest, EraseSizeNotAPowerOfTwoStillCountsBlocksRight) {
    const uint32_t block = 0x14000; // 80 KiB
    make_board(block);
    mtd_geometry g{};
    ASSERT_EQ(1, mtd_get_geometry(mtd_rfs, &g));
    EXPECT_EQ(14u, g.erase_shift); // the lowest set bit
    EXPECT_EQ(kRfsSize / block, g.block_count);
    fill_rfs(3 * block);
    std::vector<uint8_t> data(block, 0x00);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, mtd_write(data.data(), mtd_rfs, block / 2, block, true));
    EXPECT_EQ("     \b\b\b\b000%\b\b\b\b050%\b\b\b\b100%\n",
              testing::internal::GetCapturedStdout());
    expect_rfs(3 * block, block / 2, data);
    // 256 KiB ends inside the last 80 KiB block: its last byte cannot be rewritten.
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, mtd_write(data.data(), mtd_devicetree, 0x40000 - 1, 1, false));
    EXPECT_EQ("Flash Write erase block past end of partition.\n",
              testing::internal::GetCapturedStdout());
}

TEST_F(FlashTest, SmallEraseBlocksAreNotOverrunByWritePieces) {
    make_board(512);
    fill_rfs(4 * 512);
    const std::vector<uint8_t> data = {0xFF, 0xFF, 0xFF};
    EXPECT_EQ(0, mtd_write(data.data(), mtd_rfs, 512 + 100, 3, false));
    expect_rfs(4 * 512, 512 + 100, data);
}

TEST_F(FlashTest, RawSeamRefusesUnalignedErase) {
    EXPECT_EQ(0, mtd_erase_block(mtd_rfs, 0x100, kBlock));
    EXPECT_EQ(0, mtd_erase_block(mtd_rfs, 0, kBlock - 1));
    EXPECT_EQ(0, mtd_erase_block(mtd_rfs, kRfsSize, kBlock));
    EXPECT_EQ(1, mtd_erase_block(mtd_rfs, kRfsSize - kBlock, kBlock));
    uint8_t byte = 0;
    EXPECT_EQ(1, mtd_pwrite(mtd_rfs, 7, 1, &byte));
    EXPECT_EQ(1, mtd_pread(mtd_rfs, kRfsSize, 1, &byte)); // past the end: 0 bytes, not a failure
    EXPECT_EQ(0, mtd_pwrite(mtd_rfs, kRfsSize, 1, &byte));
    EXPECT_EQ(0, mtd_pread(-1, 0, 1, &byte));
}

} // namespace
