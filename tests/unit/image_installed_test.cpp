// The installed headers, the same-version test and the versions report are transcripts
// (tests/data/transcripts/installed.txt), with the slot files under the file root; here the
// slot files in a directory of their own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "image/image.h"
#include "tests/common/board.h"
#include "tests/common/data.h"

namespace {

TEST(InstalledImages, SlotFilesInTheirOwnDirectory) {
    testutil::TempBoard board;
    const std::string images = board.path("elsewhere");
    mkdir(images.c_str(), 0755);
    const char* saved = g_image_dir;
    g_image_dir = images.c_str();
    const testutil::Bytes app = testutil::unhex("0000000100000002014c414401020304");
    testutil::writeBytes(images + "/image1", app);
    uint8_t out[16] = {};
    EXPECT_TRUE(image_read_installed_header(IMAGE_TYPE_APPLICATION, out, 1));
    EXPECT_EQ(app, testutil::Bytes(out, out + 16));
    EXPECT_TRUE(image_same_version(app.data(), 1));
    EXPECT_FALSE(image_same_version(app.data(), 2));
    g_image_dir = saved;
}

} // namespace
