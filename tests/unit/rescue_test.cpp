// Rescue menu on an emulated board with the console fed from a pipe: the menu
// keys, end of input, the USB install list and the diagnostics action.
#include <climits>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "board/mtd.h"
#include "boot/env.h"
#include "image/image.h"
#include "rescue/download.h"
#include "rescue/network.h"
#include "rescue/rescue.h"
#include "security/lowsec.h"
#include "security/signature.h"
#include "tests/common/board.h"
#include "tests/common/console_feed.h"
#include "tests/common/data.h"
#include "tests/common/image.h"

namespace {

const std::string kMenu = "Please select one of the following options:\n"
                          "\tT) Configure networking and tftp download an image\n"
                          "\tX) Use xmodem 1K to serial download an image\n"
                          "\tP) Physical presence (low security mode)\n"
                          "\tR) Reboot\n"
                          "\tE) Exit\n";
const std::string kEntry = "Entering Rescue Mode.\n" + kMenu;
const std::string kAtEnd = "\nOption? : \n"; // no key, nothing echoed
const std::string kConfirm =
    "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: \n";

struct RescueMenu : testing::Test {
    testutil::TempBoard board;
    testutil::HostHooks hooks;
    testutil::TempRoot root;
    char cwd[PATH_MAX] = {};
    void SetUp() override {
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        mtd_open_partitions();
        boot_env_flags = {};
        developer_images_reset();
    }
    void TearDown() override {
        EXPECT_EQ(chdir(cwd), 0);
        boot_env_flags = {};
        developer_images_reset(); // the answer cached from this board
    }
    std::string run(const std::string& keys, const std::function<int()>& action, int result) {
        testutil::StdinFeed feed(keys);
        return testutil::captureStdout([&] { EXPECT_EQ(action(), result) << keys; });
    }
};

TEST_F(RescueMenu, Keys) {
    // Others' actions print what they print alone with the console at its end.
    auto alone = [](const std::function<int()>& action) {
        testutil::StdinFeed feed("");
        return testutil::captureStdout([&] { action(); });
    };
    const struct {
        const char* keys;
        std::string text;
    } actions[] = {
        {"tT", alone(rescue_tftp)},
        {"xX", alone(rescue_xmodem)},
        {"pP", alone(physical_presence_test)},
        {"vV", alone(show_installed_versions)},
        {"mM", alone([] { return int(set_mac_address()); })},
        {"kK", alone(wipe_system_keys)},
        {"uU", "Unable to open USB directory. Quitting\n"},
        {"dD",
         "NOTE: switch running developer signed images\n" + kConfirm + "Booting diags image...\n"},
    };
    for (const auto& a : actions)
        for (const char* k = a.keys; *k != '\0'; ++k)
            EXPECT_EQ(run(std::string(1, *k), rescue_menu, 1),
                      kEntry + "\nOption? : " + *k + "\n" + a.text + kMenu + kAtEnd);

    const struct {
        const char* keys;
        std::string after_menu;
    } loops[] = {
        {"e", "\nOption? : e\n"},
        {"E", "\nOption? : E\n"},
        {"", kAtEnd}, // end of input leaves as E does
        {"z1\x1b"
         "E",
         "\nOption? : z\nunknown option \"Z\". Please try again\n"
         "\nOption? : 1\nunknown option \"1\". Please try again\n"
         "\nOption? : \x1b\nunknown option \"\x1b\". Please try again\n"
         "\nOption? : E\n"},
    };
    for (const auto& l : loops) EXPECT_EQ(run(l.keys, rescue_menu, 1), kEntry + l.after_menu);
    boot_env_flags.interrupted = 1; // the key read while it is set is dropped
    EXPECT_EQ(run("ue", rescue_menu, 1), kEntry + "\nOption? : u\n\nOption? : e\n");
    EXPECT_EQ(boot_env_flags.interrupted, 0);
    // Ctrl-C while the port comes up: no TFTP attempt, and the menu clears the flag
    // after the action, so the next key counts.
    g_sleep_hook = [](uint64_t) { boot_env_flags.interrupted = 1; };
    std::string out = run("t10.0.0.2\n\n\n192.0.2.1\nname\ne", rescue_menu, 1);
    EXPECT_EQ(out.substr(out.size() - kMenu.size() - 13), kMenu + "\nOption? : e\n");
    EXPECT_EQ(testutil::g_commands, std::vector<std::string>{"ifconfig eth0 10.0.0.2\n"});
    testutil::StdinFeed feed("r");
    g_sleep_hook = [](uint64_t us) { fprintf(stderr, "slept %u us\n", unsigned(us)); };
    // R waits a second, then reboot_board waits its own.
    EXPECT_EXIT(rescue_menu(), testing::ExitedWithCode(0),
                "^slept 1000000 us\nslept 1000000 us\n$");
}

TEST_F(RescueMenu, UsbInstallList) {
    for (const char* d : {"/mnt", "/mnt/usb", "/mnt/usb/subdir"}) mkdir(root.path(d).c_str(), 0755);
    std::ofstream(root.path("/mnt/usb/a.img")) << "not an image";
    const std::string text = "diagnostics";
    const testutil::Bytes diags =
        testutil::plainImage(IMAGE_TYPE_DIAGNOSTICS, {text.begin(), text.end()}, 0);
    testutil::writeBytes(root.path("/mnt/usb/b.img"), diags);

    // Two numbered lines in the directory's own order; the directory is not listed.
    std::string list = run("q", rescue_usb_install, 0);
    const std::string ask = "Choose file number to install (q to quit): ";
    ASSERT_TRUE(list == "\t1: a.img\n\t2: b.img\n" + ask + "q\n" ||
                list == "\t1: b.img\n\t2: a.img\n" + ask + "q\n")
        << list;
    list.resize(list.size() - 2);
    const std::string diags_number = list.find("1: b.img") != std::string::npos ? "1" : "2";
    char here[PATH_MAX];
    EXPECT_EQ(std::string(getcwd(here, sizeof here)), root.path("/tmp"));

    const struct {
        std::string keys, echo;
    } declined[] = {
        {"Q\n", "Q\n"},
        {"0\n", "0\n"},
        {"-1\n", "-1\n"},
        {"3\n", "3\n"},
        {"", "\n"},
        {"x\n\n99999999999\n",
         "x\nInvalid file number x. Try again pleas\n\nInvalid file number . Try again pleas\n"
         "99999999999\nInvalid file number 99999999999. Try again pleas\n\n"},
    };
    for (const auto& d : declined) EXPECT_EQ(run(d.keys, rescue_usb_install, 0), list + d.echo);

    std::string out = run("x\n " + diags_number + "\n", rescue_usb_install, 1);
    const std::string chosen = list + "x\nInvalid file number x. Try again pleas\n " +
                               diags_number + "\nInstalling b.img\n";
    EXPECT_EQ(out.substr(0, chosen.size()), chosen); // installed and logged: test_rescue.py
    EXPECT_TRUE(testutil::g_commands.empty());
}

TEST_F(RescueMenu, Diagnostics) {
    // A root filesystem with a header and no signature: secured.
    const testutil::Bytes rfs = testutil::image3(IMAGE_TYPE_RFS, 0, {}, {});
    board.poke("flash/rfs.bin", 0, rfs, false);
    EXPECT_EQ(run("y", rescue_diags, 0), "Standalone diags cannot be run on a secured switch\n"
                                         "Please establish physical presence first\n");
    EXPECT_TRUE(testutil::g_commands.empty());

    lowsec_set(1);
    const std::vector<std::string> erase = {
        "/bin/umount /user &> /dev/null", "flash_eraseall /dev/mtd-user-char",
        "/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null",
        "mkdir /user/images &> /dev/null"};
    for (const char* keys : {"y", "Y", "n", "\r", ""}) {
        bool erased = toupper(keys[0]) == 'Y';
        testutil::g_commands.clear();
        EXPECT_EQ(run(keys, rescue_diags, 1),
                  kConfirm +
                      (erased ? "unmount filesystem\n\nErasing filesystem for clean install\n"
                                "Mounting...\ncreating default filesystem\n"
                              : "") +
                      "Booting diags image...\n");
        EXPECT_EQ(testutil::g_commands, erased ? erase : std::vector<std::string>{}) << keys;
    }
}

} // namespace
