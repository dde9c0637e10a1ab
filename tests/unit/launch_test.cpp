// The launch paths that end the process (the rescue partition boot with its
// recovery prompt, the slot fallbacks), each run in a child whose console,
// shell commands and replacing starts are written to one transcript.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "board/i2c.h"
#include "board/mtd.h"
#include "boot/env.h"
#include "boot/launch.h"
#include "image/image.h"
#include "sandbox/emu.h"
#include "tests/common/board.h"
#include "tests/common/data.h"
#include "tests/common/image.h"

namespace {

using testutil::Bytes;

using testutil::plainImage;

int printShell(const char* command) {
    printf("$ %s\n", command);
    return 0;
}
int printExec(const char* path, char* const argv[]) {
    printf("exec %s", path);
    for (char* const* a = argv; *a; ++a) printf(" [%s]", *a);
    printf("\n");
    return -1;
}

class Launch : public testing::Test {
  protected:
    testutil::TempBoard board;
    const char* savedRoot = g_fs_root;

    void SetUp() override {
        g_fs_root = board.dir.c_str();
        mkdir(board.path("tmp").c_str(), 0755);
        boot_env_flags = {};
    }
    void TearDown() override { g_fs_root = savedRoot; }

    // Runs body in a child with input on standard input; the transcript holds
    // standard output and error, shell commands as "$ ..." and replacing starts
    // as "exec ...", then "exit N".
    std::string transcript(const std::string& input, void (*body)()) {
        std::string in = board.path("tmp/input"), out = board.path("tmp/transcript");
        std::ofstream(in) << input;
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            freopen(in.c_str(), "r", stdin);
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            setvbuf(stdout, nullptr, _IONBF, 0);
            g_shell_runner = printShell;
            g_exec_hook = printExec;
            g_sleep_hook = [](uint64_t) {};
            emu_reset();
            i2c_open_buses();
            mtd_open_partitions();
            body();
            printf("returned\n");
            _exit(3);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return testutil::readText(out) + "exit " + std::to_string(WEXITSTATUS(status));
    }
    uint8_t eeprom(uint16_t offset) { return board.file("eeprom.bin")[offset]; }
};

const char* const kPrompt =
    "Install recovery image as image 1 or 2 (hit return to just boot image): ";
const char* const kLaunch = "$ cd /tmp \ntar mxzf /tmp/veloximage.tar.gz \nrm "
                            "/tmp/veloximage.tar.gz\n\n"
                            "exec /bin/backtrace [/bin/backtrace]\n"
                            "Failed to start Application OS.\n$ reboot\nexit 0";

TEST_F(Launch, RecoveryPromptAnswers) {
    Bytes recovery = plainImage(IMAGE_TYPE_APPLICATION, Bytes(5000, 0x5A));
    struct Row {
        const char* input;
        std::string middle; // between the prompt and the launch
        uint8_t slot, source;
    } rows[] = {
        {"\n",
         "\nBooting recovery image. You will need to download and install an image before "
         "rebooting\n",
         1, 4},
        {"", "", 1, 0xFF},
        {"1\n",
         "\nInstalling recovery image as image1...\n$ mkdir /user/images &> /dev/null\n"
         "$ cp /tmp/image /user/images/image1\n\nSetting boot image to 1\n",
         1, 1},
        {"2\n",
         "\nInstalling recovery image as image2...\n$ mkdir /user/images &> /dev/null\n"
         "$ cp /tmp/image /user/images/image2\n\nSetting boot image to 2\n",
         2, 2},
    };
    for (const Row& row : rows) {
        board.poke("eeprom.bin", EEPROM_BOOT_SLOT, {1});
        board.poke("eeprom.bin", EEPROM_BOOT_SOURCE, {0xFF});
        board.poke("flash/rescue.bin", 0, recovery);
        EXPECT_EQ(transcript(row.input, [] { boot_rescue_partition(); }),
                  kPrompt + row.middle + kLaunch)
            << row.input;
        EXPECT_EQ(eeprom(EEPROM_BOOT_SLOT), row.slot) << row.input;
        EXPECT_EQ(eeprom(EEPROM_BOOT_SOURCE), row.source) << row.input;
        EXPECT_EQ(board.file("tmp/veloximage.tar.gz"), Bytes(5000, 0x5A));
    }
    EXPECT_EQ(board.file("tmp/image"), recovery);
    struct stat st;
    ASSERT_EQ(stat(board.path("user/images").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST_F(Launch, RescuePartitionDiagnosticsMissingAndBroken) {
    Bytes diags = plainImage(IMAGE_TYPE_DIAGNOSTICS, Bytes(300, 0x11));
    board.poke("flash/rescue.bin", 0, diags);
    EXPECT_EQ(transcript("", [] { boot_rescue_partition(); }),
              std::string("Launching diagnostics image\n") +
                  "$ cd /tmp \ntar mxzf /tmp/veloximage.tar.gz \nrm /tmp/veloximage.tar.gz\n\n"
                  "install diags image\n$ mkdir -p /tmp/home/bin\n"
                  "$ mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip\n"
                  "exec /bin/backtrace [/bin/backtrace]\n"
                  "Failed to start Application OS.\n$ reboot\nexit 0");
    EXPECT_EQ(eeprom(EEPROM_BOOT_SOURCE), 4);
    EXPECT_EQ(board.file("tmp/veloximage.tar.gz"), Bytes(300, 0x11));

    Bytes broken = diags;
    broken.back() ^= 1;
    Bytes oversized = diags;
    image_put_be32(&oversized[4], 0xFFFFFF00u); // larger than the partition
    struct Row {
        Bytes flash;
        const char* transcript;
    } rows[] = {
        {Bytes(24, 0xFF), "Image not found... \nreturned\nexit 3"},
        {broken, "Image CRC failed. Quitting\nreturned\nexit 3"},
        {oversized, "Image CRC failed. Quitting\nreturned\nexit 3"},
    };
    for (const Row& row : rows) {
        board.poke("flash/rescue.bin", 0, row.flash);
        EXPECT_EQ(transcript("", [] { boot_rescue_partition(); }), row.transcript);
    }
}

TEST_F(Launch, ExtractGdbLeavesNothingOpenOnABadHeader) {
    mkdir(board.path("user/images").c_str(), 0755);
    testutil::writeBytes(board.path("user/images/image1"),
                         plainImage(IMAGE_TYPE_KERNEL, Bytes(40, 1)));
    std::string out = transcript("", [] {
        int before = open("/dev/null", O_RDONLY);
        close(before);
        printf("result %d\n", extract_gdb(2));
        int after = open("/dev/null", O_RDONLY);
        printf("descriptors %s\n", after == before ? "same" : "leaked");
        _exit(0);
    });
    EXPECT_EQ(out, "Extracting GDB from image slot 1\nImage has invalid header 0x34c4144\n"
                   "result 0\ndescriptors same\nexit 0");
    EXPECT_EQ(transcript("",
                         [] {
                             printf("%d\n", extract_gdb(3));
                             _exit(0);
                         }),
              "0\nexit 0");
}

// Each file the launch cannot open or create (a directory stands in its way).
TEST_F(Launch, FilesThatCannotBeOpened) {
    mkdir(board.path("user/images").c_str(), 0755);
    board.poke("flash/rescue.bin", 0, plainImage(IMAGE_TYPE_APPLICATION, Bytes(100, 3)));
    struct Row {
        const char* in_the_way; // made a directory; null: none
        bool slot1;             // image slot 1 holds an image, slot 2 never
        const char* input;
        void (*body)();
        const char* starts;
    } rows[] = {
        {nullptr, false, "", [] { boot_image(2); },
         "Failed to open Application image 2. Trying image 1.\n"
         "Failed to open Application image 1.\nEntering Rescue Mode.\n"},
        {"tmp/veloximage.tar.gz", true, "", [] { boot_image(1); },
         "Failed to open application image output file.\n$ reboot\nexit 0"},
        {"tmp/veloximage.tar.gz", false, "", [] { boot_rescue_partition(); },
         "Failed to open AppOS tarfile.\n$ reboot\nexit 0"},
        {"tmp/image", false, "1\n", [] { boot_rescue_partition(); },
         "Install recovery image as image 1 or 2 (hit return to just boot image): \n"
         "Installing recovery image as image1...\nFailed to open image file.\n$ reboot\nexit 0"},
        {nullptr, false, "", [] { printf("%d\n", extract_gdb(2)); },
         "Extracting GDB from image slot 1\nFailed to open GDB image (from slot 1)\n0\n"},
        {"tmp/gdb.gz", true, "", [] { printf("%d\n", extract_gdb(2)); },
         "Extracting GDB from image slot 1\nFailed to open GDB output file.\n0\n"},
    };
    for (const Row& row : rows) {
        std::string slot1 = board.path("user/images/image1");
        unlink(slot1.c_str());
        if (row.slot1) testutil::writeBytes(slot1, plainImage(IMAGE_TYPE_APPLICATION, Bytes(9, 1)));
        if (row.in_the_way) mkdir(board.path(row.in_the_way).c_str(), 0755);
        std::string out = transcript(row.input, row.body);
        if (row.in_the_way) rmdir(board.path(row.in_the_way).c_str());
        EXPECT_EQ(out.substr(0, strlen(row.starts)), row.starts) << out;
    }
}

TEST_F(Launch, UsbImageFailures) {
    Bytes app = plainImage(IMAGE_TYPE_APPLICATION, Bytes(3000, 7));
    mkdir(board.path("usb").c_str(), 0755);
    mkdir(board.path("mnt").c_str(), 0755);
    symlink(board.path("usb").c_str(), board.path("mnt/usb").c_str());
    // The rejected list's question is proven by tests/system/test_usb.py.
    struct Row {
        Bytes image; // empty: no file
        const char* ends;
    } rows[] = {
        {{}, "Failed to open application image from USB.\n0\nreturned\nexit 3"},
        {plainImage(IMAGE_TYPE_KERNEL, Bytes(100, 1)),
         "Error: USB image corrupted or belongs to another switch type.\n0\nreturned\nexit 3"},
        {Bytes(app.begin(), app.end() - 1), "USB image CRC failed.0\nreturned\nexit 3"},
    };
    for (const Row& row : rows) {
        std::string usbImage = board.path("usb/LQX4410_OS.img");
        unlink(usbImage.c_str());
        if (!row.image.empty()) testutil::writeBytes(usbImage, row.image);
        std::string out = transcript("", [] { printf("%d\n", boot_image(3)); });
        EXPECT_EQ(out.substr(out.size() - std::min(out.size(), strlen(row.ends))), row.ends) << out;
    }
}

} // namespace
