// Rescue downloads: TFTP attempts over a fake client that leaves /tmp/image or
// not, and the xmodem handshakes on a pseudo-terminal standing in for /dev/ttyS0.
#include <cstring>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <tuple>

#include "rescue/download.h"
#include "tests/common/board.h"
#include "tests/common/console_feed.h"

namespace {

using testutil::captureStdout;
using Commands = std::vector<std::string>;

int g_arrives_at, g_tftp_runs; // the tftp run that leaves the file (0: none)
bool g_fifo;                   // it leaves a FIFO instead
std::string g_keys, g_restore_keys;
int g_master = -1, g_slave = -1;
termios g_during_rx;

int fakeShell(const char* command) {
    testutil::recordShell(command);
    if (strncmp(command, "tftp ", 5) == 0 && ++g_tftp_runs == g_arrives_at) {
        if (g_fifo)
            mkfifo((std::string(g_fs_root) + "/tmp/image").c_str(), 0644);
        else
            std::ofstream(std::string(g_fs_root) + "/tmp/image") << "new";
    }
    if (strcmp(command, "/usr/bin/rx /tmp/image") == 0)
        tcgetattr(g_slave, &g_during_rx), g_keys = g_restore_keys;
    return 0;
}
// Each second of waiting, the operator types one more key (-: the line hangs up).
void fakeSleep(uint64_t microseconds) {
    testutil::recordSleep(microseconds);
    if (g_keys.empty()) return;
    if (g_keys[0] == '-')
        close(g_master), g_master = -1;
    else if (write(g_master, g_keys.data(), 1) != 1)
        ADD_FAILURE() << "key not typed";
    g_keys.erase(0, 1);
    pollfd ready = {g_slave, POLLIN, 0};
    poll(&ready, 1, 200); // across the pty (a canonical line only once it ends)
}

struct RescueDownload : testing::Test {
    testutil::HostHooks hooks;
    testutil::TempRoot root;
    void SetUp() override {
        g_shell_runner = fakeShell, g_sleep_hook = fakeSleep;
        testutil::g_link_up = true;
        g_arrives_at = g_tftp_runs = 0;
        g_fifo = false;
        g_keys.clear();
    }
    std::string tftp(const std::string& file_name_lines, int result) {
        // The server address must be given and valid.
        testutil::StdinFeed feed("10.0.0.2\n\n\n\n0.0.0.1\n192.0.2.1\n" + file_name_lines);
        std::string out = captureStdout([&] { EXPECT_EQ(rescue_tftp(), result); });
        return out.substr(out.find("Image Filename: "));
    }
};

TEST_F(RescueDownload, TftpFileNameQuit) {
    EXPECT_EQ(tftp("a\nq\n", 0), "Image Filename: a\nInvalid filename. Try again please\n"
                                 "Image Filename: q\n");
    EXPECT_EQ(tftp("", 0), "Image Filename: \n");
    EXPECT_TRUE(testutil::g_commands.empty());
}

// A silent server: three attempts with their pauses. The file an earlier download
// left is removed first, never installed; the hostile name stays one shell word.
TEST_F(RescueDownload, TftpSilentServer) {
    root.touch("/tmp/image");
    std::string out = tftp("x'$(reboot)\n", 0);
    const std::string tftp = "tftp -g -r 'x'\\''$(reboot)' -l /tmp/image 192.0.2.1\n";
    EXPECT_EQ(testutil::g_commands, (Commands{"ifconfig eth0 10.0.0.2\n", tftp, tftp, tftp}));
    std::string attempts;
    for (const char* n : {"1", "2", "3"})
        attempts += "Installing image x'$(reboot) from TFTP server 192.0.2.1\nAttempt " +
                    std::string(n) + "/3 of tftp timed out\n";
    EXPECT_EQ(out.substr(out.find("Installing")), attempts + "Tftp download failed. Aborting\n");
    EXPECT_EQ(testutil::g_slept, (26u + 9u) * 1000000u);
    EXPECT_FALSE(root.exists("/tmp/image"));
}

// The file arrives at the second attempt and goes to the installer; it is no
// package, so nothing is logged.
TEST_F(RescueDownload, TftpSecondAttempt) {
    g_arrives_at = 2;
    std::string out = tftp("qq\n", 0);
    const std::string attempt = "Installing image qq from TFTP server 192.0.2.1\n";
    out = out.substr(out.find("Installing"));
    EXPECT_EQ(
        out.rfind(attempt + "Attempt 1/3 of tftp timed out\n" + attempt + "\nExtracting images ...",
                  0),
        0u)
        << out;
    EXPECT_EQ(testutil::g_slept, (26u + 3u) * 1000000u);
    EXPECT_FALSE(root.exists("/user/install.log"));
}

// A FIFO is no download: the attempts go on, and nothing blocks on it.
TEST_F(RescueDownload, TftpLeavingAFifo) {
    g_arrives_at = 1, g_fifo = true;
    std::string out = tftp("name\n", 0);
    EXPECT_EQ(out.substr(out.size() - 61),
              "Attempt 3/3 of tftp timed out\nTftp download failed. Aborting\n");
}

TEST_F(RescueDownload, XmodemWithoutSerialPort) {
    root.touch("/tmp/image");
    testing::internal::CaptureStderr();
    EXPECT_EQ(captureStdout([] { EXPECT_EQ(rescue_xmodem(), 0); }), "Running xmodem rescue.....\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("Can't open serial port!: ", 0), 0u);
    EXPECT_TRUE(testutil::g_commands.empty()); // no receiver without the port
    EXPECT_FALSE(root.exists("/tmp/image"));
}

TEST_F(RescueDownload, XmodemHandshakes) {
    ASSERT_EQ(openpty(&g_master, &g_slave, nullptr, nullptr, nullptr), 0);
    termios before;
    tcgetattr(g_slave, &before);
    before.c_iflag &= ~tcflag_t(ICRNL);         // a carriage return stays one at 9600 bps
    before.c_cc[VMIN] = before.c_cc[VTIME] = 0; // saved so, an idle line reads as nothing
    tcsetattr(g_slave, TCSANOW, &before);
    ASSERT_EQ(symlink(ttyname(g_slave), root.path("/dev/ttyS0").c_str()), 0);
    // Other keys are ignored, the reminder comes on the eleventh second; the
    // restore waits for the line feed, not the carriage return.
    g_keys = "012345678\n\r";
    g_restore_keys = "\r\n";
    EXPECT_EQ(
        captureStdout([] { EXPECT_EQ(rescue_xmodem(), 0); }),
        "Running xmodem rescue.....\n"
        "       Change the baud rate to 115200 bps and hit the <ENTER> key\n"
        "       before initiating the download.\n"
        "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r\n"
        "       Change the baud rate back to 9600 bps, hit the <ENTER> key\n");
    EXPECT_EQ(testutil::g_commands, Commands{"/usr/bin/rx /tmp/image"});
    EXPECT_EQ(testutil::g_slept, (11u + 3u) * 1000000u);
    // 115200 bps, 8N1, raw during the download; as it was afterwards.
    auto modes = [](const termios& t) {
        return std::tuple(t.c_iflag, t.c_oflag, t.c_cflag & (CSIZE | PARENB | CSTOPB),
                          t.c_lflag & (ICANON | ISIG | ECHO | ECHOE), cfgetospeed(&t));
    };
    EXPECT_EQ(modes(g_during_rx), std::tuple(tcflag_t(IGNBRK), 0u, tcflag_t(CS8), 0u, B115200));
    EXPECT_EQ(cfgetispeed(&g_during_rx), speed_t(B115200));
    termios after;
    tcgetattr(g_slave, &after);
    EXPECT_EQ(modes(after), modes(before));
    EXPECT_EQ(after.c_lflag, before.c_lflag);

    // The line hangs up during the first handshake: no receiver, no endless wait.
    testutil::g_commands.clear();
    g_keys = "-";
    captureStdout([] { EXPECT_EQ(rescue_xmodem(), 0); });
    EXPECT_TRUE(testutil::g_commands.empty());
    close(g_slave);
}

} // namespace
