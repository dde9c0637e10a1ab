// The package installer over an emulated board: every sub-image type, size
// limits at their boundary, the same-version skip, failures after an earlier
// write, the boot-now path, the install log, progress, and power cuts.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "board/i2c.h"
#include "board/mtd.h"
#include "boot/env.h"
#include "boot/launch.h"
#include "boot/startup.h"
#include "crypto/random/random.h"
#include "image/image.h"
#include "image/install.h"
#include "security/signature.h"
#include "sandbox/emu.h"
#include "security/keys.h"
#include "tests/common/board.h"
#include "tests/common/data.h"
#include "tests/common/image.h"

namespace {

using testutil::Bytes;

// The payloads whose production signatures lie in tests/data/install
// (make_signatures.py builds the same bytes).
Bytes payload(int seed, size_t size) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) b[i] = uint8_t(7 * (i % 251) + seed);
    return b;
}

// Layout 3 with the production signature of payload(seed, size).
Bytes signedImage(uint32_t type, uint32_t id, int seed, size_t size) {
    Bytes sig =
        testutil::dataFile("install/" + std::to_string(seed) + "-" + std::to_string(size) + ".sig");
    EXPECT_EQ(sig.size(), 256u);
    return testutil::image3(type, id, testutil::sigRecord(sig), payload(seed, size));
}

const char* const kFlashFiles[] = {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"};

class Installer : public testing::Test {
  protected:
    testutil::TempBoard board;
    testutil::HostHooks hooks;
    std::string images = board.path("user/images");
    const char* savedRoot = g_fs_root;
    const char* savedImages = g_image_dir;
    uint8_t result = 0xEE;

    void SetUp() override {
        g_fs_root = board.dir.c_str();
        g_image_dir = images.c_str();
        mkdir(board.path("tmp").c_str(), 0755);
        board.configure("rtc_fixed=2026-12-03 14:05:09\n");
        i2c_open_buses();
        mtd_open_partitions();
        developer_images_reset();
        TOOLKIT_initialize();
    }
    void TearDown() override {
        g_fs_root = savedRoot;
        g_image_dir = savedImages;
        freopen("/dev/null", "r", stdin);
    }
    // Installs the package from /tmp/pkg with input on standard input; returns the console.
    std::string install(const Bytes& package, uint8_t sameVersion, uint32_t slot,
                        const std::string& input = "") {
        testutil::writeBytes(board.path("tmp/pkg"), package);
        std::ofstream(board.path("tmp/input")) << input;
        freopen(board.path("tmp/input").c_str(), "r", stdin);
        return testutil::captureStdout(
            [&] { result = image_install_package("/tmp/pkg", sameVersion, slot); });
    }
    Bytes flash(const char* name) { return board.file(std::string("flash/") + name + ".bin"); }
    // The flash file holds `expected` from offset 0 and erased bytes after it.
    void expectFlash(const char* name, const Bytes& expected) {
        Bytes f = flash(name);
        ASSERT_GE(f.size(), expected.size());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), f.begin())) << name;
        EXPECT_EQ(std::count(f.begin() + long(expected.size()), f.end(), 0xFF),
                  long(f.size() - expected.size()))
            << name;
    }
};

TEST_F(Installer, EveryFlashTypeWritesItsPartitionByteExact) {
    struct Row {
        Bytes image;
        const char* part;
        const char* headline;
        bool dataOnly;
    } rows[] = {
        {signedImage(IMAGE_TYPE_RFS, 0x04000001, 3, 4000), "rfs",
         "Installing Root Filesystem: ", false},
        {signedImage(IMAGE_TYPE_DEVICETREE, 0x05000001, 4, 1000), "devicetree",
         "Installing Device Tree: ", false},
        {signedImage(IMAGE_TYPE_KERNEL, 0x03000001, 2, 5000), "kernel",
         "Installing Kernel: ", false},
        {testutil::plainImage(IMAGE_TYPE_DIAGNOSTICS, payload(9, 3000), 0x06000001), "rescue",
         "Installing Diagnostics: ", false},
        {testutil::plainImage(IMAGE_TYPE_BOOTLOADER, payload(10, 2000), 0x02000001), "uboot",
         "Installing Boot Loader: ", true},
    };
    Bytes eeprom = board.file("eeprom.bin");
    for (const Row& row : rows) {
        std::map<std::string, Bytes> before;
        for (const char* name : kFlashFiles) before[name] = flash(name);
        std::string out = install(row.image, 0, 1);
        EXPECT_EQ(result, 1) << out;
        EXPECT_NE(out.find(row.headline), std::string::npos) << out;
        expectFlash(row.part,
                    row.dataOnly ? Bytes(row.image.begin() + 16, row.image.end()) : row.image);
        for (const char* name : kFlashFiles) {
            if (strcmp(name, row.part) != 0) {
                EXPECT_EQ(flash(name), before[name]) << name;
            }
        }
        EXPECT_EQ(board.file("eeprom.bin"), eeprom);
    }
    // The boot loader's header is kept beside the slots.
    EXPECT_EQ(board.file("user/images/uboot-hdr"),
              Bytes(rows[4].image.begin(), rows[4].image.begin() + 16));
    struct stat st;
    ASSERT_EQ(stat(images.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST_F(Installer, ApplicationIntoSlotThenBootSlotAndStamp) {
    Bytes app = signedImage(IMAGE_TYPE_APPLICATION, 0x01020304, 1, 3000);
    // No room beside the old image (the temporary fills up): written in place, shown the same.
    mkdir(images.c_str(), 0755);
    std::filesystem::create_symlink("/dev/full", images + "/image2.new");
    std::string out = install(app, 0, 2);
    EXPECT_EQ(result, 1);
    EXPECT_NE(out.find("Installing Application: "), std::string::npos);
    EXPECT_NE(out.find("Installing image as image2:     \b\b\b\b100%\b\b\b\b100%\n\nImage2 updated "
                       "succeeded\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(board.file("user/images/image2"), app);
    EXPECT_FALSE(std::filesystem::exists(board.path("user/images/image2.new")));
    Bytes eeprom = board.file("eeprom.bin");
    EXPECT_EQ(eeprom[EEPROM_BOOT_SLOT], 2);
    // 14:05:09 on Thursday (5) 3-12-26 in the clock's BCD order.
    const uint8_t* stamp = &eeprom[EEPROM_SLOT2_STAMP];
    EXPECT_EQ(Bytes(stamp, stamp + 7), (Bytes{0x09, 0x05, 0x14, 0x05, 0x03, 0x12, 0x26}));
}

TEST_F(Installer, KvrtAsksUntilAnsweredAndEndOfInputQuits) {
    Bytes kvrt = testutil::plainImage(IMAGE_TYPE_KVRT, payload(11, 300), 0x08000001);
    std::string out = install(kvrt, 0, 0, "x\n\n2\n");
    EXPECT_EQ(result, 1);
    const std::string ask = "Install image as image 1 or 2 (q to quit): ";
    EXPECT_NE(out.find("Installing K-VRT application: " + ask + ask + ask +
                       "Installing image as image2: Preparing image for installation:     "
                       "\b\b\b\b100%\b\b\b\b100%\n\nImage2 updated succeeded\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(board.file("tmp/nos-image.gz"), payload(11, 300));
    EXPECT_EQ(board.file("eeprom.bin")[EEPROM_BOOT_SLOT], 2);
    for (const char* input : {"q\n", "Q\n", "x\n"}) {
        out = install(kvrt, 0, 0, input);
        EXPECT_EQ(result, 0) << input;
    }
}

TEST_F(Installer, RejectionsAndWhatStaysWritten) {
    Bytes kernel = signedImage(IMAGE_TYPE_KERNEL, 0x03000002, 2, 5000);
    Bytes badRfs = signedImage(IMAGE_TYPE_RFS, 0x04000002, 3, 4000);
    badRfs.back() ^= 1;
    char rfsCrc[80];
    snprintf(rfsCrc, sizeof rfsCrc, "Bad crc for RFS: 0x%08x, voiding download\n",
             image_crc32(badRfs.data() + 4, badRfs.size() - 4, IMAGE_CRC_START));
    Bytes app = signedImage(IMAGE_TYPE_APPLICATION, 0x01000002, 1, 3000);
    Bytes truncated(app.begin(), app.begin() + 1500);
    Bytes hostile = testutil::plainImage(IMAGE_TYPE_APPLICATION, payload(1, 40), 1);
    image_put_be32(&hostile[4], 0xFFFFFFF0u); // H + D beyond 32 bits
    Bytes kernelTooBig = testutil::plainImage(IMAGE_TYPE_KERNEL, payload(12, 0x800001 - 16), 1);
    Bytes bootLoaderAtLimit = testutil::plainImage(IMAGE_TYPE_BOOTLOADER, payload(13, 0x80000), 1);
    Bytes unknown = testutil::plainImage(0x074C4144, payload(1, 100), 1);
    Bytes tinyDiags = testutil::plainImage(IMAGE_TYPE_DIAGNOSTICS, payload(14, 4), 1);
    // A good CRC over data that its signature (of payload(4, 1000)) does not cover.
    auto misSigned = [](uint32_t type) {
        return testutil::image3(type, 1,
                                testutil::sigRecord(testutil::dataFile("install/4-1000.sig")),
                                payload(2, 1000));
    };
    // A bad CRC that nothing else would stop: no signature, or a header byte it does not cover.
    auto badCrc = [](Bytes image, size_t at) {
        image[at] ^= 1;
        return image;
    };
    struct Row {
        Bytes package;
        uint8_t result;
        std::string message;
    } rows[] = {
        {testutil::cat({kernel, badRfs}), 0, rfsCrc},
        {truncated, 0, "Bad crc for APPLICATION: 0x"},
        {hostile, 0, "Bad crc for APPLICATION: 0x"},
        {kernelTooBig, 0, "KERNEL image is too big for flash (8388609 > 8388608)\n"},
        {bootLoaderAtLimit, 1, "\b\b\b\b087%\b\b\b\b100%\n"},
        {testutil::cat({tinyDiags, bootLoaderAtLimit}), 1, "done\nInstalling Boot Loader: "},
        {unknown, 0, "ERROR: No valid image found\n"},
        {Bytes(23, 0), 0, "ERROR: No valid image found\n"},
        {misSigned(IMAGE_TYPE_KERNEL), 0, " Image rejected. "},
        {misSigned(IMAGE_TYPE_RFS), 0, " Image rejected. "},
        {misSigned(IMAGE_TYPE_DEVICETREE), 0, " Image rejected. "},
        {misSigned(IMAGE_TYPE_APPLICATION), 0, " Image rejected. "},
        {badCrc(testutil::plainImage(IMAGE_TYPE_DIAGNOSTICS, payload(9, 300), 1), 100), 0,
         "Bad crc for DIAGNOSTICS IMAGE: 0x"},
        {badCrc(app, 15), 0, "Bad crc for APPLICATION: 0x"},
        {badCrc(testutil::plainImage(IMAGE_TYPE_KVRT, payload(11, 300), 1), 100), 0,
         "Bad crc for K-VRT APPLICATION: 0x"},
    };
    for (const Row& row : rows) {
        std::string out = install(row.package, 0, 1);
        EXPECT_EQ(result, row.result) << out;
        EXPECT_NE(out.find(row.message), std::string::npos) << out;
    }
    // The kernel before the broken RFS stays written; no slot was touched.
    Bytes kernelFlash = flash("kernel");
    EXPECT_EQ(Bytes(kernelFlash.begin(), kernelFlash.begin() + long(kernel.size())), kernel);
    EXPECT_FALSE(std::filesystem::exists(images + "/image1"));
    EXPECT_EQ(flash("uboot"), payload(13, 0x80000));
}

TEST_F(Installer, SameVersionIsSkipped) {
    Bytes kernel = signedImage(IMAGE_TYPE_KERNEL, 0x03000003, 2, 5000);
    Bytes app = signedImage(IMAGE_TYPE_APPLICATION, 0x01000003, 1, 3000);
    install(testutil::cat({kernel, app}), 1, 1);
    ASSERT_EQ(result, 1);
    std::string out = install(testutil::cat({kernel, app}), 1, 1);
    EXPECT_EQ(result, 0);
    EXPECT_NE(out.find("Image has same version as existing image. Skipping update...\n"
                       "Installing Application: "),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Image1 has same version as existing image. Skipping update...\n"
                       "ERROR: No valid image found\n"),
              std::string::npos)
        << out;
}

TEST_F(Installer, BootNowWritesTheTarballAndLaunches) {
    Bytes app = signedImage(IMAGE_TYPE_APPLICATION, 0x01000004, 1, 3000);
    EXPECT_EXIT(install(app, 0, 0, "\n"), testing::ExitedWithCode(0),
                "Failed to start Application OS");
    EXPECT_EQ(board.file("tmp/veloximage.tar.gz"), payload(1, 3000));
    EXPECT_FALSE(std::filesystem::exists(images + "/image1"));
    EXPECT_FALSE(std::filesystem::exists(images + "/image2"));
}

TEST_F(Installer, InstallLogLine) {
    const char* line = "File image installed from xmodem at 14:05:09 on 3-12-2026\n";
    std::string out =
        testutil::captureStdout([] { EXPECT_EQ(install_log_append("image", "xmodem"), 1); });
    EXPECT_EQ(out, std::string("Updating install log. ") + line);
    testutil::captureStdout([] { install_log_append("image", "xmodem"); });
    EXPECT_EQ(testutil::readText(board.path("user/install.log")), std::string(line) + line);
}

TEST_F(Installer, ProgressOfAHundredMegabyteApplicationClimbs) {
    std::string out = install(signedImage(IMAGE_TYPE_APPLICATION, 0x01000005, 5, 100 << 20), 0, 1);
    ASSERT_EQ(result, 1) << out.substr(0, 400);
    std::vector<int> shown;
    for (size_t at = out.find("\b\b\b\b"); at != std::string::npos;
         at = out.find("\b\b\b\b", at + 4))
        shown.push_back(std::stoi(out.substr(at + 4, 3)));
    // One per 64 KiB chunk, each the share written so far, then the closing 100.
    const uint64_t total = 286 + (100 << 20);
    ASSERT_EQ(shown.size(), (total + 0xFFFF) / 0x10000 + 1);
    for (size_t i = 0; i + 1 < shown.size(); ++i)
        ASSERT_EQ(shown[i], int(std::min<uint64_t>((i + 1) * 0x10000, total) * 100 / total)) << i;
    EXPECT_EQ(shown.back(), 100);
}

// Power cuts during an install of a kernel and an application into the slot
// the board boots: whenever the power goes, the board still boots an
// application and nothing outside the install's targets has changed.
TEST_F(Installer, PowerCutAtRandomMoments) {
    Bytes oldApp = signedImage(IMAGE_TYPE_APPLICATION, 0x01000001, 8, 2 << 20);
    Bytes newApp = signedImage(IMAGE_TYPE_APPLICATION, 0x01000002, 7, 2 << 20);
    Bytes kernel = signedImage(IMAGE_TYPE_KERNEL, 0x03000002, 6, 1 << 20);
    mkdir(images.c_str(), 0755);
    testutil::writeBytes(images + "/image1", oldApp);
    testutil::writeBytes(board.path("tmp/pkg"), testutil::cat({kernel, newApp}));
    testutil::captureStdout([] { check_system_keys(); });

    auto snapshot = [&] {
        std::map<std::string, Bytes> files;
        for (const char* name : kFlashFiles) files[name] = flash(name);
        Bytes eeprom = board.file("eeprom.bin");
        // The boot slot register and slot 1's time stamp are the install's
        // targets; the boot source register is the boot's.
        eeprom[EEPROM_BOOT_SLOT] = 0;
        eeprom[EEPROM_BOOT_SOURCE] = 0;
        std::fill(eeprom.begin() + EEPROM_SLOT1_STAMP, eeprom.begin() + EEPROM_SLOT1_STAMP + 8, 0);
        files["eeprom"] = eeprom;
        for (const char* name : {"production_key.pub.pem", "development_key.pub.pem"})
            files[name] = board.file(std::string("user/") + name);
        files.erase("kernel");
        for (const auto& entry : std::filesystem::directory_iterator(images))
            files["images/" + entry.path().filename().string()] = {};
        files.erase("images/image1");
        files.erase("images/image1.new"); // a temporary that the next install replaces
        return files;
    };
    auto runChild = [&](auto body) {
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            freopen("/dev/null", "w", stdout);
            freopen("/dev/null", "w", stderr);
            freopen("/dev/null", "r", stdin);
            emu_reset();
            i2c_open_buses();
            mtd_open_partitions();
            body();
            _exit(1);
        }
        return pid;
    };
    auto statusOf = [](pid_t pid) {
        int status = 0;
        waitpid(pid, &status, 0);
        return status;
    };
    const auto before = snapshot();

    auto start = std::chrono::steady_clock::now();
    pid_t pid = runChild([] { _exit(image_install_package("/tmp/pkg", 0, 1) == 1 ? 0 : 1); });
    ASSERT_EQ(statusOf(pid), 0);
    double whole = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::mt19937 random(12345);
    std::uniform_real_distribution<double> moment(0.0, whole * 1.1);
    for (int cut = 0; cut < 24; ++cut) {
        testutil::writeBytes(images + "/image1", oldApp);
        pid = runChild([] {
            image_install_package("/tmp/pkg", 0, 1);
            _exit(0);
        });
        usleep(useconds_t(moment(random) * 1e6));
        kill(pid, SIGKILL);
        statusOf(pid);

        auto after = snapshot();
        EXPECT_EQ(after.size(), before.size()) << "cut " << cut;
        for (const auto& [name, bytes] : after)
            EXPECT_TRUE(before.count(name) && bytes == before.at(name)) << name << ", cut " << cut;
        Bytes slot = board.file("user/images/image1");
        EXPECT_TRUE(slot == oldApp || slot == newApp) << "cut " << cut << ": " << slot.size();
        // Boot: the launch is reached (the replacing start reports 42).
        pid = runChild([] {
            g_exec_hook = [](const char*, char* const[]) -> int { _exit(42); };
            if (!boot_image(choose_boot_slot())) {
                boot_env_flags.second_attempt = 1;
                boot_image(choose_boot_slot() == 1 ? 2 : 1);
            }
        });
        int status = statusOf(pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 42) << "cut " << cut;
    }
}

} // namespace
