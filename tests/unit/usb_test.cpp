// USB boot media on an emulated board. The shell is faked: md5sum, mkdir and
// touch act on the test's file root; everything else is only recorded.
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "board/mtd.h"
#include "boot/env.h"
#include "boot/usb.h"
#include "image/image.h"
#include "tests/common/board.h"
#include "tests/common/console_feed.h"
#include "tests/common/image.h"

namespace {

using testutil::captureStdout;
using testutil::g_commands;

const std::string kMd5 = "/bin/busybox md5sum '";
std::string g_md5_text; // what the fake md5sum writes; "" derives it from the file

std::string digestOf(const std::string& content) { // equal contents, equal digests
    char hex[40];
    snprintf(hex, sizeof hex, "%016zx%016zx", std::hash<std::string>()(content),
             std::hash<std::string>()(content + "#"));
    return hex;
}

int fakeShell(const char* command) {
    std::string c = command, root = g_fs_root;
    g_commands.push_back(c);
    if (c.rfind(kMd5, 0) == 0) {
        std::string file = root + c.substr(kMd5.size(), c.find("' > ") - kMd5.size());
        if (access(file.c_str(), R_OK) != 0) return 1; // md5sum fails: nothing written
        std::ofstream(root + "/tmp/img_md5string")
            << (g_md5_text.empty() ? digestOf(testutil::readText(file)) + "  x\n" : g_md5_text);
    } else if (c == "mkdir -p /user/images/rejected") {
        mkdir((root + "/user/images/rejected").c_str(), 0755);
    } else if (c.rfind("touch '", 0) == 0) {
        std::ofstream(root + c.substr(7, c.size() - 8));
    }
    return 0;
}

// A package of one diagnostics sub-image (no signature needed), version id.
std::string diagsPackage(uint32_t id) {
    const std::string data = "diagnostics " + std::to_string(id);
    const testutil::Bytes image =
        testutil::plainImage(IMAGE_TYPE_DIAGNOSTICS, {data.begin(), data.end()}, id);
    return {image.begin(), image.end()};
}

struct UsbMedia : testing::Test {
    testutil::TempBoard board;
    testutil::HostHooks hooks;
    testutil::TempRoot root;
    void SetUp() override {
        for (const char* d : {"/mnt", "/mnt/usb", "/user/images"})
            mkdir(root.path(d).c_str(), 0755);
        mtd_open_partitions();
        g_shell_runner = fakeShell;
        g_md5_text.clear();
        boot_env_flags = {};
        boot_env_flags.usb_boot = 1;
    }
    void TearDown() override { boot_env_flags = {}; }
    void put(const std::string& absolute, const std::string& content) {
        std::ofstream(root.path(absolute), std::ios::binary) << content;
    }
    std::string rescueFlash() {
        return testutil::readText(board.path("flash/rescue.bin")).substr(0, 16);
    }
};

TEST_F(UsbMedia, WaitForTheMountMarker) {
    static std::string marker;
    static uint64_t appears_after; // microseconds slept before the marker exists; 0 never
    marker = root.path("/tmp/usb");
    const std::string wait =
        "Attempting to mount file system on USB flash drive; this can take up to 10 seconds.\n";
    const struct {
        uint64_t appears_after;
        int result;
        std::string out;
    } cases[] = {{1, 0, wait + "USB mounted and ready!\n"},
                 {4, 0, wait + "...USB mounted and ready!\n"},
                 {0, -1, wait + "..........USB mount timed out\n"}};
    for (const auto& c : cases) {
        appears_after = c.appears_after * 1000000u;
        unlink(marker.c_str());
        testutil::g_slept = 0;
        g_sleep_hook = [](uint64_t us) {
            if ((testutil::g_slept += us) == appears_after) std::ofstream{marker};
        };
        EXPECT_EQ(captureStdout([&] { EXPECT_EQ(usb_wait_mount(), c.result); }), c.out);
        EXPECT_EQ(testutil::g_slept, (c.appears_after ? c.appears_after : 11) * 1000000u);
    }
    boot_env_flags.usb_boot = 0;
    EXPECT_EQ(captureStdout([] { EXPECT_EQ(usb_wait_mount(), 0); }), "");
}

TEST_F(UsbMedia, BootPackage) {
    EXPECT_EQ(captureStdout(usb_check_boot_image), "No boot image found on USB.\n");
    put("/mnt/usb/LQX4410_Boot.img", "no package"); // not installed: no reboot, no log line
    EXPECT_EQ(captureStdout(usb_check_boot_image),
              "Boot image found on USB.\n\nExtracting images ... Do *NOT* power cycle the "
              "switch.\nERROR: No valid image found\n");
    EXPECT_NE(access(root.path("/user/install.log").c_str(), F_OK), 0);
    put("/mnt/usb/LQX4410_Boot.img", diagsPackage(7));
    EXPECT_EXIT(usb_check_boot_image(), testing::ExitedWithCode(0), "^$"); // installed: reboot
    EXPECT_EQ(rescueFlash(), diagsPackage(7).substr(0, 16));
    EXPECT_EQ(testutil::readText(root.path("/user/install.log"))
                  .find("File /mnt/usb/LQX4410_Boot.img installed from USB"),
              0u);
}

TEST_F(UsbMedia, Replacements) {
    const std::string found =
        "USB image (file 'LQX4410_replace%_OS.img') replacement for image% found\n";
    auto found_for = [&](char n) {
        std::string s = found;
        for (size_t at; (at = s.find('%')) != std::string::npos;) s[at] = n;
        return s;
    };
    EXPECT_EQ(captureStdout([] { EXPECT_EQ(usb_check_replacements(), 0); }),
              "No valid image found on USB\n");
    put("/mnt/usb/LQX4410_OS.img", "application");
    EXPECT_EQ(captureStdout([] { EXPECT_EQ(usb_check_replacements(), 3); }), "");

    // Both replacements install; the slot 1 one is written last and chosen.
    put("/mnt/usb/LQX4410_replace2_OS.img", diagsPackage(2));
    put("/mnt/usb/LQX4410_replace1_OS.img", diagsPackage(1));
    std::string out = captureStdout([] { EXPECT_EQ(usb_check_replacements(), 1); });
    size_t at = 0;
    for (const std::string& part :
         {found_for('2'), std::string("Image2 has been successfully replaced\n"), found_for('1'),
          std::string("Image1 has been successfully replaced\n"),
          std::string("USB replacement image: board will boot with image1.\n")})
        ASSERT_NE(at = out.find(part, at), std::string::npos) << part << " in " << out;
    EXPECT_EQ(rescueFlash(), diagsPackage(1).substr(0, 16));

    // The slot 2 replacement on the rejected list, answered n: nothing more is looked at.
    reject_image("/mnt/usb/LQX4410_replace2_OS.img");
    put("/mnt/usb/LQX4410_replace1_OS.img", diagsPackage(11));
    g_commands.clear();
    testutil::StdinFeed keys("n\n");
    EXPECT_EQ(captureStdout([] { EXPECT_EQ(usb_check_replacements(), 0); }),
              found_for('2') + "Replacement USB image is in rejected list.\n"
                               "Would you still like to load it? (y/n) ");
    EXPECT_EQ(g_commands.size(), 1u);
    EXPECT_EQ(rescueFlash(), diagsPackage(1).substr(0, 16));
}

TEST_F(UsbMedia, RejectedList) {
    const char* os = "/mnt/usb/LQX4410_OS.img";
    const std::string md5 = kMd5 + os + "' > /tmp/img_md5string";
    put(os, "application");
    EXPECT_EQ(is_rejected(os), 0);
    reject_image(os);
    reject_image(os); // the same image again: its marker exists already
    EXPECT_EQ(is_rejected(os), 1);
    EXPECT_EQ(g_commands,
              (std::vector<std::string>{
                  md5, md5, "mkdir -p /user/images/rejected",
                  "touch '/user/images/rejected/" + digestOf("application") + "'", md5, md5}));
    put(os, "another application");
    EXPECT_EQ(is_rejected(os), 0);

    // No digest, a short one, or one that is no lower-case hex: not rejected, nothing added.
    for (const char* text :
         {"gone", "0123456789abcdef0123456789abcde\n", "../../../../../../../etc/passwd;rm\n",
          "0123456789ABCDEF0123456789ABCDEF\n"}) {
        g_md5_text = text;
        const char* file = g_md5_text == "gone" ? "/mnt/usb/gone.img" : os;
        g_commands.clear();
        EXPECT_EQ(captureStdout([&] {
                      EXPECT_EQ(is_rejected(file), 0);
                      reject_image(file);
                  }),
                  "Warning: Cannot determine if image is in rejected list!\n"
                  "Warning: Cannot add image to rejected list!\n")
            << text;
        EXPECT_EQ(g_commands.size(), 2u);
    }
    g_commands.clear();
    char digest[33];
    image_md5("/mnt/usb/a'; reboot; '", digest);
    EXPECT_EQ(g_commands[0], kMd5 + "/mnt/usb/a'\\''; reboot; '\\''' > /tmp/img_md5string");
}

} // namespace
