// The strict image rules against attacks made without the key (tests/data/strict/attacks.txt):
// built by default the same packages do what the format says; built with BOOTMGR_STRICT_IMAGES
// each is refused with one line and nothing written, and a slot holding one does not boot.
// The downgrade floor: raised by a launch, refused below, lowered only with physical presence
// and a yes.
#include <filesystem>
#include <map>
#include <sys/wait.h>
#include <unistd.h>

#include "boot/launch.h"
#include "security/strict.h"
#include "tests/common/console_feed.h"
#include "tests/common/install.h"
#include "tests/common/rows.h"

namespace {

using testutil::Bytes;
using testutil::Row;

struct StrictImages : testutil::InstallBoard {
    void SetUp() override {
        mkdir(board.path("user/images").c_str(), 0755);
        // A production-signed root filesystem: no developer images.
        board.poke("flash/rfs.bin", 0, testutil::package("F,rfs-5"));
        InstallBoard::SetUp();
    }
    // Every file the installer or a boot may write, up to what these small images reach.
    std::map<std::string, Bytes> written() const {
        std::map<std::string, Bytes> files{{"eeprom", board.file("eeprom.bin")}};
        for (const char* dir : {"flash", "user/images", "tmp"})
            for (const auto& e : std::filesystem::directory_iterator(board.path(dir)))
                if (e.path().filename() != "pkg" && e.path().filename() != "input") {
                    Bytes head(4096);
                    std::ifstream(e.path(), std::ios::binary)
                        .read(reinterpret_cast<char*>(head.data()), std::streamsize(head.size()));
                    files[e.path().string()] = head;
                }
        return files;
    }
    // Boots slot 1 in a child; its console, with "launched" when the application was started.
    std::string bootSlot1() {
        const std::string out = board.path("tmp/boot.txt");
        fflush(nullptr);
        if (fork() == 0) {
            freopen(out.c_str(), "w", stdout);
            g_exec_hook = [](const char*, char* const[]) {
                return puts("launched"), fflush(stdout), _exit(0), -1;
            };
            emu_reset();
            i2c_open_buses();
            mtd_open_partitions();
            boot_image(1);
            fflush(stdout);
            _exit(1);
        }
        wait(nullptr);
        emu_reset(); // what the child wrote, read again
        i2c_open_buses();
        mtd_open_partitions();
        const std::string text = testutil::readText(out);
        std::filesystem::remove(out);
        return text;
    }
};

struct StrictRows : StrictImages, testing::WithParamInterface<Row> {};

// "install NAME PACKAGE SUB-IMAGE REASON": the strict build's refusal; "boot NAME PACKAGE":
// the package as slot 1 is refused at boot.
TEST_P(StrictRows, Holds) {
    const Row& r = GetParam();
    SCOPED_TRACE(r.where);
    const Bytes package = testutil::package(r[2]);
    if (r[0] == "boot") {
        testutil::writeBytes(images + "/image1", package);
        const std::string out = bootSlot1();
        EXPECT_EQ(kStrictImages, out.find(" sub-image refused: ") != std::string::npos) << out;
        EXPECT_EQ(!kStrictImages, out.find("launched") != std::string::npos) << out;
        return;
    }
    const auto before = written();
    const std::string out = install(package);
    // By the format the data signature holds, so the sub-image is written.
    EXPECT_EQ(!kStrictImages, result) << out;
    EXPECT_EQ(kStrictImages, written() == before);
    const std::string line = "Strict: " + r.text(3) + " sub-image refused: " + r.rest(4) + "\n";
    EXPECT_EQ(kStrictImages, out.find(line) != std::string::npos) << line << out;
}
INSTANTIATE_TEST_SUITE_P(Attacks, StrictRows,
                         testing::ValuesIn(testutil::rows("strict/attacks.txt")),
                         testutil::rowName);

// The floor step by step (tests/data/strict/floor.txt).
TEST_F(StrictImages, DowngradeFloorRaisedAtLaunchLoweredOnlyWithPresence) {
    if (!kStrictImages) GTEST_SKIP() << "the floor belongs to the strict build";
    for (const Row& r : testutil::rows("strict/floor.txt")) {
        SCOPED_TRACE(r.where);
        uint32_t floor[FLOOR_CLASSES] = {9, 9, 9};
        if (r[0] == "install") {
            const auto before = written();
            const std::string out = install(testutil::package("F," + r[1]));
            EXPECT_EQ(r.num(2), result) << out;
            EXPECT_TRUE(result || written() == before);
            EXPECT_NE(out.find(r.rest(3)), std::string::npos) << out;
        } else if (r[0] == "floor") {
            ASSERT_TRUE(downgrade_floor_read(floor));
            EXPECT_EQ(r.num(1), floor[FLOOR_APPLICATION]);
        } else if (r[0] == "boot") {
            EXPECT_NE(bootSlot1().find(r[1]), std::string::npos);
        } else if (r[0] == "lower") {
            testutil::StdinFeed feed(r.text(1));
            EXPECT_EQ(r.rest(2), testutil::captureStdout([] { strict_lower_floor(); }));
        } else {
            std::ofstream(board.path(r[1])) << r.rest(2);
        }
    }
}

} // namespace
