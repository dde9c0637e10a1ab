// What is installed: the installed headers in flash and in the slot files,
// the same-version test and the versions report, on an emulated board.
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

#include "board/mtd.h"
#include "image/image.h"
#include "sandbox/emu.h"
#include "tests/common/board.h"

namespace {

struct header16 {
    uint8_t b[16];
};

header16 make_base(uint32_t crc, uint32_t len, uint32_t magic, uint32_t id) {
    header16 h;
    image_put_be32(h.b, crc);
    image_put_be32(h.b + 4, len);
    image_put_be32(h.b + 8, magic);
    image_put_be32(h.b + 12, id);
    return h;
}

class InstalledImages : public testing::Test {
  protected:
    testutil::TempBoard board;
    std::string images = board.path("user/images");
    const char* saved_dir = nullptr;

    void SetUp() override {
        mkdir(images.c_str(), 0755);
        saved_dir = g_image_dir;
        g_image_dir = images.c_str();
    }
    void TearDown() override { g_image_dir = saved_dir; }
    void put_flash(const char* part, long offset, const header16& h) {
        board.poke(std::string("flash/") + part + ".bin", size_t(offset),
                   testutil::Bytes(h.b, h.b + 16), false);
    }
    void put_slot(int slot, const header16& h, size_t size = 16) {
        FILE* f = fopen((images + "/image" + std::to_string(slot)).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fwrite(h.b, 1, size, f);
        fclose(f);
    }
    // Blank flash reads as zero bytes, like a board that holds no images yet.
    void zero_flash() {
        header16 z = {};
        for (const char* p : {"kernel", "rfs", "devicetree", "rescue"}) put_flash(p, 0, z);
        put_flash("uboot", 0xF0, z);
    }
    std::string report() {
        return testutil::captureStdout([] { EXPECT_EQ(show_installed_versions(), 0); });
    }
};

TEST_F(InstalledImages, EmptyBoardReport) {
    zero_flash();
    mtd_open_partitions();
    EXPECT_EQ(report(), "Installed images versions: \n"
                        "\tBoot image  : 0.0.0.0\n"
                        "\tRFS image   : 0.0.0.0\n"
                        "\tKernel image: 0.0.0.0\n"
                        "\tDFT image   : 0.0.0.0\n"
                        "\tOS image 1  : 0.0.0.0\n"
                        "\tOS image 2  : 0.0.0.0\n");
}

TEST_F(InstalledImages, ReportShowsEveryInstalledId) {
    put_flash("uboot", 0xF0, make_base(1, 2, IMAGE_TYPE_BOOTLOADER, 0x02010203));
    put_flash("uboot", 0, make_base(9, 9, IMAGE_TYPE_BOOTLOADER, 0x09090909)); // not the header
    put_flash("rfs", 0, make_base(1, 2, IMAGE_TYPE_RFS, 0x04000102));
    put_flash("kernel", 0, make_base(1, 2, IMAGE_TYPE_KERNEL, 0x030A0B0C));
    put_flash("devicetree", 0, make_base(1, 2, IMAGE_TYPE_DEVICETREE, 0x05FF0001));
    put_slot(1, make_base(1, 2, IMAGE_TYPE_APPLICATION, 0x01020304));
    mtd_open_partitions();
    EXPECT_EQ(report(), "Installed images versions: \n"
                        "\tBoot image  : 2.1.2.3\n"
                        "\tRFS image   : 4.0.1.2\n"
                        "\tKernel image: 3.10.11.12\n"
                        "\tDFT image   : 5.255.0.1\n"
                        "\tOS image 1  : 1.2.3.4\n"
                        "\tOS image 2  : 0.0.0.0\n");
}

TEST_F(InstalledImages, ReadInstalledHeader) {
    header16 out;
    mtd_open_partitions();
    EXPECT_FALSE(image_read_installed_header(IMAGE_TYPE_KERNEL, nullptr, 0));

    // Missing slot file; a short slot file leaves zeros after what it holds.
    EXPECT_FALSE(image_read_installed_header(IMAGE_TYPE_APPLICATION, out.b, 2));
    header16 app = make_base(0xAABBCCDD, 5, IMAGE_TYPE_APPLICATION, 0x01020304);
    put_slot(2, app, 10);
    memset(out.b, 0x55, 16);
    EXPECT_TRUE(image_read_installed_header(IMAGE_TYPE_APPLICATION, out.b, 2));
    EXPECT_EQ(0, memcmp(out.b, app.b, 10));
    for (int i = 10; i < 16; ++i) EXPECT_EQ(out.b[i], 0) << i;

    // The diagnostics header comes from the rescue partition.
    header16 diag = make_base(1, 2, IMAGE_TYPE_DIAGNOSTICS, 6);
    put_flash("rescue", 0, diag);
    EXPECT_TRUE(image_read_installed_header(IMAGE_TYPE_DIAGNOSTICS, out.b, 0));
    EXPECT_EQ(0, memcmp(out.b, diag.b, 16));

    // Unknown words, including a known one with bit 31 set.
    for (uint32_t word :
         {uint32_t(IMAGE_TYPE_KVRT), 0x074C4144u, IMAGE_TYPE_KERNEL | 0x80000000u}) {
        testing::internal::CaptureStdout();
        EXPECT_FALSE(image_read_installed_header(word, out.b, 1));
        char expect[64];
        snprintf(expect, sizeof expect, "Unknown image type 0x%x \n", word);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), expect);
    }
}

TEST_F(InstalledImages, SameVersion) {
    header16 boot = make_base(0x11111111, 0x1000, IMAGE_TYPE_BOOTLOADER, 0x02000001);
    put_flash("uboot", 0xF0, boot);
    header16 kernel = make_base(0x22222222, 0x2000, IMAGE_TYPE_KERNEL, 0x03000001);
    put_flash("kernel", 0, kernel);
    header16 app = make_base(0x33333333, 0x3000, IMAGE_TYPE_APPLICATION, 0x01000001);
    put_slot(1, app);
    mtd_open_partitions();

    // The boot loader ignores crc but not id or len.
    header16 b = boot;
    EXPECT_TRUE(image_same_version(b.b, 0));
    image_put_be32(b.b, 0xDEADBEEF);
    EXPECT_TRUE(image_same_version(b.b, 0));
    image_put_be32(b.b + 12, 0x02000002);
    EXPECT_FALSE(image_same_version(b.b, 0));
    b = boot;
    image_put_be32(b.b + 4, 0x1001);
    EXPECT_FALSE(image_same_version(b.b, 0));

    // Every other type compares the whole base header.
    header16 k = kernel;
    EXPECT_TRUE(image_same_version(k.b, 0));
    image_put_be32(k.b, 0x22222223);
    EXPECT_FALSE(image_same_version(k.b, 0));

    // Applications compare against the given slot.
    EXPECT_TRUE(image_same_version(app.b, 1));
    EXPECT_FALSE(image_same_version(app.b, 2));

    // A stored magic with bit 31 set has no installed location: versions differ.
    header16 l2 = kernel;
    image_put_be32(l2.b + 8, IMAGE_TYPE_KERNEL | 0x80000000u);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(image_same_version(l2.b, 0));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unknown image type 0x834c4144 \n");
}

} // namespace
