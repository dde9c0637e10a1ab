// The strict image rules against attacks made without the key: built by default the same
// packages do what the format says; built with BOOTMGR_STRICT_IMAGES each is refused with one
// line and nothing written. The downgrade floor: raised by a launch, refused below, lowered
// only with physical presence and a yes.
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "board/i2c.h"
#include "board/mtd.h"
#include "boot/env.h"
#include "boot/launch.h"
#include "crypto/random/random.h"
#include "image/image.h"
#include "image/install.h"
#include "security/signature.h"
#include "security/strict.h"
#include "tests/common/board.h"
#include "tests/common/console_feed.h"
#include "tests/common/data.h"
#include "tests/common/image.h"

namespace {

using testutil::Bytes;

// Offsets in the images of tests/data/strict (make_images.py): the data signature record at
// 24, the counter record at 286 (value at 290), the manifest record at 294 (its signature
// at 300), H = 556.
enum : size_t { kCounter = 290, kManifest = 294, kManifestSig = 300, kH = 556 };

const char* const kTypes[] = {"app", "bootloader", "kernel", "rfs", "devicetree", "diags", "kvrt"};
const uint32_t kWords[] = {IMAGE_TYPE_APPLICATION, IMAGE_TYPE_BOOTLOADER, IMAGE_TYPE_KERNEL,
                           IMAGE_TYPE_RFS,         IMAGE_TYPE_DEVICETREE, IMAGE_TYPE_DIAGNOSTICS,
                           IMAGE_TYPE_KVRT};
const char* const kNames[] = {"application", "boot loader", "kernel",           "root filesystem",
                              "device tree", "diagnostics", "K-VRT application"};

Bytes signedImage(const std::string& name) {
    return testutil::dataFile("strict/" + name + ".img");
}
Bytes relabel(Bytes image, uint32_t type) {
    image_put_be32(&image[IMAGE_OFF_MAGIC], type);
    testutil::fixCrc(image);
    return image;
}
// Inserts (or with an empty `with`, removes `cut` bytes) inside the header: H and len follow.
Bytes splice(Bytes image, size_t at, size_t cut, const Bytes& with = {}) {
    image.erase(image.begin() + long(at), image.begin() + long(at + cut));
    image.insert(image.begin() + long(at), with.begin(), with.end());
    const uint32_t grow = uint32_t(with.size()) - uint32_t(cut);
    image_put_be32(&image[4], image_get_be32(&image[4]) + grow);
    image_put_be16(&image[22], uint16_t(image_get_be16(&image[22]) + grow));
    testutil::fixCrc(image);
    return image;
}

class StrictImages : public testing::Test {
  protected:
    testutil::TempBoard board;
    testutil::HostHooks hooks;
    const char* savedRoot = g_fs_root;
    const char* savedImages = g_image_dir;
    std::string images = board.path("user/images");
    uint8_t result = 0xEE;

    void SetUp() override {
        g_fs_root = board.dir.c_str();
        g_image_dir = images.c_str();
        mkdir(board.path("tmp").c_str(), 0755);
        mkdir(images.c_str(), 0755);
        // A production-signed root filesystem: no developer images.
        board.poke("flash/rfs.bin", 0, signedImage("rfs-5"));
        boot_env_flags = {};
        i2c_open_buses();
        mtd_open_partitions();
        developer_images_reset();
        TOOLKIT_initialize();
    }
    void TearDown() override {
        g_fs_root = savedRoot;
        g_image_dir = savedImages;
    }
    std::string install(const Bytes& package, const std::string& input = "") {
        testutil::writeBytes(board.path("tmp/pkg"), package);
        testutil::StdinFeed feed(input);
        return testutil::captureStdout([&] { result = image_install_package("/tmp/pkg", 0, 1); });
    }
    // Every file the installer or a boot may write, up to what these small images reach.
    std::map<std::string, Bytes> written() const {
        std::map<std::string, Bytes> files;
        for (const char* dir : {"flash", "user/images", "tmp"})
            for (const auto& e : std::filesystem::directory_iterator(board.path(dir))) {
                if (e.path().filename() == "pkg") continue;
                Bytes head(4096);
                std::ifstream(e.path(), std::ios::binary)
                    .read(reinterpret_cast<char*>(head.data()), std::streamsize(head.size()));
                files[e.path().string()] = head;
            }
        files["eeprom"] = board.file("eeprom.bin");
        return files;
    }
    // Boots slot 1 in a child; its console, or "launched" when the application was started.
    std::string bootSlot1() {
        std::string out = board.path("tmp/boot.txt");
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            freopen(out.c_str(), "w", stdout);
            g_exec_hook = [](const char*, char* const[]) {
                puts("launched");
                fflush(stdout);
                _exit(0);
                return -1;
            };
            emu_reset();
            i2c_open_buses();
            mtd_open_partitions();
            boot_image(1);
            fflush(stdout);
            _exit(1);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        emu_reset(); // what the child wrote, read again
        i2c_open_buses();
        mtd_open_partitions();
        std::string text = testutil::readText(out);
        std::filesystem::remove(out);
        return text;
    }
};

TEST_F(StrictImages, AttacksWithoutTheKey) {
    struct Row {
        std::string what;
        Bytes package;
        const char* name;   // the sub-image as installed
        const char* reason; // what the strict build says
    };
    std::vector<Row> table;
    for (int from = 0; from < 7; ++from)
        for (int to = 0; to < 7; ++to)
            if (from != to)
                table.push_back({std::string(kTypes[from]) + " as " + kTypes[to],
                                 relabel(signedImage(std::string(kTypes[from]) + "-5"), kWords[to]),
                                 kNames[to], "manifest signature not accepted"});
    Bytes kernel = signedImage("kernel-5"), rfs = signedImage("rfs-5");
    Bytes version = kernel;
    version[IMAGE_OFF_ID + 3] ^= 1;
    testutil::fixCrc(version);
    Bytes lowered = kernel;
    lowered[kCounter + 3] = 4;
    testutil::fixCrc(lowered);
    Bytes moved = kernel;
    std::copy(rfs.begin() + kManifestSig, rfs.begin() + kH, moved.begin() + kManifestSig);
    testutil::fixCrc(moved);
    Bytes truncated = splice(kernel, kH - 128, 128);
    image_put_be16(&truncated[kManifest + 2], 262 - 128); // S = 256 runs past the record
    testutil::fixCrc(truncated);
    table.insert(
        table.end(),
        {
            {"version changed", version, "kernel", "manifest signature not accepted"},
            {"counter lowered", lowered, "kernel", "manifest signature not accepted"},
            {"manifest of another image", moved, "kernel", "manifest signature not accepted"},
            {"record added", splice(kernel, kH, 0, testutil::record(0x77, {1, 2, 3, 4})), "kernel",
             "manifest signature not accepted"},
            {"counter removed", splice(kernel, kCounter - 4, 8), "kernel",
             "manifest signature not accepted"},
            {"type record added",
             splice(kernel, kH, 0, testutil::record(IMAGE_TAG_TYPE, {1, 0x4C, 0x41, 0x44})),
             "kernel", "labelled 0x034c4144 (type record 0x014c4144), used as 0x034c4144"},
            {"manifest truncated", truncated, "kernel", "malformed header or records"},
            {"manifest removed", splice(kernel, kManifest, kH - kManifest), "kernel",
             "no manifest signature"},
            {"refused whole, good kernel first",
             testutil::cat({kernel, relabel(rfs, IMAGE_TYPE_DEVICETREE)}), "device tree",
             "manifest signature not accepted"},
        });
    for (const Row& row : table) {
        auto before = written();
        std::string out = install(row.package);
        if (!kStrictImages) {
            // By the format: the data signature holds, so the sub-image is written.
            EXPECT_EQ(result, 1) << row.what << out;
            EXPECT_NE(written(), before) << row.what;
            continue;
        }
        EXPECT_EQ(result, 0) << row.what;
        EXPECT_EQ(written(), before) << row.what;
        std::string line =
            std::string("Strict: ") + row.name + " sub-image refused: " + row.reason + "\n";
        EXPECT_NE(out.find(line), std::string::npos) << row.what << "\n" << out;
    }
    // Booted from a slot: every other type relabelled as application or diagnostics, or
    // named so by a type record the scan follows.
    std::vector<Bytes> boots;
    for (int from = 1; from < 7; ++from) {
        Bytes image = signedImage(std::string(kTypes[from]) + "-5");
        boots.push_back(relabel(image, IMAGE_TYPE_APPLICATION));
        if (from != 5) boots.push_back(relabel(image, IMAGE_TYPE_DIAGNOSTICS));
    }
    boots.push_back(splice(kernel, kH, 0, testutil::record(IMAGE_TAG_TYPE, {1, 0x4C, 0x41, 0x44})));
    for (const Bytes& image : boots) {
        testutil::writeBytes(images + "/image1", image);
        std::string out = bootSlot1();
        if (kStrictImages) {
            EXPECT_NE(out.find(" sub-image refused: "), std::string::npos) << out;
        }
        EXPECT_EQ(out.find("launched") != std::string::npos, !kStrictImages) << out;
    }
}

TEST_F(StrictImages, DowngradeFloorRaisedAtLaunchLoweredOnlyWithPresence) {
    if (!kStrictImages) GTEST_SKIP() << "the floor belongs to the strict build";
    install(signedImage("app-5"));
    ASSERT_EQ(result, 1);
    uint32_t floor[FLOOR_CLASSES] = {9, 9, 9};
    ASSERT_TRUE(downgrade_floor_read(floor));
    EXPECT_EQ(floor[FLOOR_APPLICATION], 0u); // installed, not yet launched
    EXPECT_NE(bootSlot1().find("launched"), std::string::npos);
    ASSERT_TRUE(downgrade_floor_read(floor));
    EXPECT_EQ(floor[FLOOR_APPLICATION], 5u);

    auto before = written();
    std::string out = install(signedImage("app-4"));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(written(), before);
    EXPECT_NE(out.find("Strict: application sub-image refused: security counter 4 below the "
                       "floor 5\n"),
              std::string::npos)
        << out;

    const std::string shown = "Downgrade floor: application 5, system 0, boot loader 0\n";
    out = testutil::captureStdout([] { strict_lower_floor(); });
    EXPECT_EQ(out, shown + "Establish physical presence (option P) before lowering the "
                           "downgrade floor\n");
    std::ofstream(board.path("tmp/lowsec")) << "lowsec=1\n";
    // The development key in low security mode, with today's note.
    out = install(signedImage("app-6-dev"));
    EXPECT_EQ(result, 1);
    EXPECT_NE(out.find("\nNOTE - low security mode is operational. Checking developer keys....\n"
                       " Image signature verified. "),
              std::string::npos)
        << out;
    {
        testutil::StdinFeed feed("y");
        out = testutil::captureStdout([] { strict_lower_floor(); });
    }
    EXPECT_EQ(out,
              shown + "Lower the downgrade floor to 0? y/N? y\nDowngrade floor lowered to 0\n");
    install(signedImage("app-4"));
    EXPECT_EQ(result, 1);
}

} // namespace
