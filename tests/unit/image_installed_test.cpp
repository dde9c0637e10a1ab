// What is installed: the installed headers in flash and in the slot files and the same-version
// test, on an emulated board (the versions report is tests/data/transcripts/installed.txt).
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

#include "board/mtd.h"
#include "board/sys.h"
#include "image/image.h"
#include "sandbox/emu.h"
#include "tests/common/board.h"
#include "tests/common/data.h"

namespace {

using testutil::Bytes;

Bytes base(uint32_t crc, uint32_t len, uint32_t magic, uint32_t id) {
    Bytes h(16);
    image_put_be32(&h[0], crc);
    image_put_be32(&h[4], len);
    image_put_be32(&h[8], magic);
    image_put_be32(&h[12], id);
    return h;
}

class InstalledImages : public testing::Test {
  protected:
    testutil::TempBoard board;
    std::string images = board.path("user/images");
    const char* saved_dir = g_image_dir;

    void SetUp() override {
        mkdir(images.c_str(), 0755);
        g_image_dir = images.c_str();
    }
    void TearDown() override { g_image_dir = saved_dir; }
    void put_flash(const char* part, long offset, const Bytes& h) {
        board.poke(std::string("flash/") + part + ".bin", size_t(offset), h, false);
    }
    void put_slot(int slot, const Bytes& h) {
        testutil::writeBytes(images + "/image" + std::to_string(slot), h);
    }
};

TEST_F(InstalledImages, ReadInstalledHeader) {
    uint8_t out[16];
    mtd_open_partitions();
    EXPECT_FALSE(image_read_installed_header(IMAGE_TYPE_KERNEL, nullptr, 0));
    // Missing slot file; a short slot file leaves zeros after what it holds.
    EXPECT_FALSE(image_read_installed_header(IMAGE_TYPE_APPLICATION, out, 2));
    Bytes app = base(0xAABBCCDD, 5, IMAGE_TYPE_APPLICATION, 0x01020304);
    put_slot(2, Bytes(app.begin(), app.begin() + 10));
    memset(out, 0x55, 16);
    EXPECT_TRUE(image_read_installed_header(IMAGE_TYPE_APPLICATION, out, 2));
    EXPECT_EQ(testutil::cat({Bytes(app.begin(), app.begin() + 10), Bytes(6, 0)}),
              Bytes(out, out + 16));
    // The diagnostics header comes from the rescue partition.
    put_flash("rescue", 0, base(1, 2, IMAGE_TYPE_DIAGNOSTICS, 6));
    EXPECT_TRUE(image_read_installed_header(IMAGE_TYPE_DIAGNOSTICS, out, 0));
    EXPECT_EQ(base(1, 2, IMAGE_TYPE_DIAGNOSTICS, 6), Bytes(out, out + 16));
    // Unknown words, including a known one with bit 31 set.
    for (uint32_t word :
         {uint32_t(IMAGE_TYPE_KVRT), 0x074C4144u, IMAGE_TYPE_KERNEL | 0x80000000u}) {
        char expect[64];
        snprintf(expect, sizeof expect, "Unknown image type 0x%x \n", word);
        EXPECT_EQ(expect, testutil::captureStdout(
                              [&] { EXPECT_FALSE(image_read_installed_header(word, out, 1)); }));
    }
    // Without a directory of its own the slot files are read under the file root.
    const char* saved_root = g_fs_root;
    g_fs_root = board.dir.c_str();
    g_image_dir = nullptr;
    EXPECT_TRUE(image_read_installed_header(IMAGE_TYPE_APPLICATION, out, 2));
    EXPECT_FALSE(image_read_installed_header(IMAGE_TYPE_APPLICATION, out, 1));
    g_fs_root = saved_root;
}

TEST_F(InstalledImages, SameVersion) {
    const Bytes boot = base(0x11111111, 0x1000, IMAGE_TYPE_BOOTLOADER, 0x02000001);
    const Bytes kernel = base(0x22222222, 0x2000, IMAGE_TYPE_KERNEL, 0x03000001);
    const Bytes app = base(0x33333333, 0x3000, IMAGE_TYPE_APPLICATION, 0x01000001);
    put_flash("uboot", 0xF0, boot);
    put_flash("kernel", 0, kernel);
    put_slot(1, app);
    mtd_open_partitions();
    // The boot loader ignores crc but not id or len; every other type compares the whole
    // base header; applications compare against the given slot.
    auto same = [](Bytes h, size_t at, uint32_t word, int slot = 0) {
        if (at < 16) image_put_be32(&h[at], word);
        return image_same_version(h.data(), slot);
    };
    EXPECT_TRUE(same(boot, 16, 0));
    EXPECT_TRUE(same(boot, 0, 0xDEADBEEF));
    EXPECT_FALSE(same(boot, 12, 0x02000002));
    EXPECT_FALSE(same(boot, 4, 0x1001));
    EXPECT_TRUE(same(kernel, 16, 0));
    EXPECT_FALSE(same(kernel, 0, 0x22222223));
    EXPECT_TRUE(same(app, 16, 0, 1));
    EXPECT_FALSE(same(app, 16, 0, 2));
    // A stored magic with bit 31 set has no installed location: versions differ.
    EXPECT_EQ("Unknown image type 0x834c4144 \n", testutil::captureStdout([&] {
                  EXPECT_FALSE(same(kernel, 8, IMAGE_TYPE_KERNEL | 0x80000000u));
              }));
}

} // namespace
