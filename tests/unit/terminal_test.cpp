// What a transcript cannot hold: the terminal settings a read leaves or uses, a SIGINT while
// a read waits, the xmodem handshakes on a pseudo-terminal standing
// in for /dev/ttyS0. The dialogues themselves are tests/data/transcripts.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <thread>
#include <tuple>
#include <unistd.h>

#include "boot/console.h"
#include "boot/env.h"
#include "boot/startup.h"
#include "rescue/download.h"
#include "image/image.h"
#include "security/signature.h"
#include "tests/common/board.h"
#include "tests/common/console_feed.h"
#include "tests/common/data.h"

namespace {

using testutil::captureStdout;

TEST(Terminal, ReadKeyIsRawForOneReadOnly) {
    { // raw for the read, with signals kept (Ctrl-C raises SIGINT) and the time-out in tenths
        testutil::PtyFeed tty("k");
        termios before;
        ASSERT_EQ(tcgetattr(0, &before), 0);
        EXPECT_EQ(read_key(3), 'k'); // no Enter needed
        EXPECT_TRUE(tty.seen().c_lflag & ISIG);
        EXPECT_FALSE(tty.seen().c_lflag & (ICANON | ECHO));
        EXPECT_EQ(tty.seen().c_cc[VTIME], 3);
        EXPECT_EQ(tty.seen().c_cc[VMIN], 0);
        termios after;
        ASSERT_EQ(tcgetattr(0, &after), 0);
        EXPECT_EQ(std::tuple(before.c_lflag, before.c_cc[VMIN], before.c_cc[VTIME]),
                  std::tuple(after.c_lflag, after.c_cc[VMIN], after.c_cc[VTIME]));
    }
    testutil::PtyFeed tty("j");
    EXPECT_EQ(get_key(), 'j'); // without a time-out: one byte at least
    EXPECT_EQ(tty.seen().c_cc[VMIN], 1);
    EXPECT_EQ(tty.seen().c_cc[VTIME], 0);
}

// On the serial console the install-anyway question waits 25.5 s for its key.
TEST(Terminal, InstallAnywayWaitsItsLongestTime) {
    testutil::TempBoard board;
    testutil::HostHooks hooks;
    testutil::FileRootAt root(board.dir);
    mkdir(board.path("tmp").c_str(), 0755);
    testutil::writeBytes(board.path("tmp/lowsec"), {'x'});
    board.poke("flash/rfs.bin", 0, testutil::Bytes(64, 0xFF)); // developer images
    developer_images_reset();
    testutil::Bytes layout1(16); // unsigned: the operator is asked
    image_put_be32(&layout1[8], IMAGE_TYPE_APPLICATION);
    testutil::PtyFeed tty("y");
    captureStdout([&] { EXPECT_EQ(verify_image_signature(layout1.data(), layout1.size()), 1); });
    EXPECT_EQ(tty.seen().c_cc[VTIME], 255);
    developer_images_reset();
}

// Ctrl-C with ISIG set raises SIGINT: the handler sets the flag without restarting the read,
// the waiting read ends with key 0, which rings the bell, and editing goes on.
TEST(Terminal, InterruptDuringEditing) {
    struct sigaction saved, now;
    sigaction(SIGINT, nullptr, &saved);
    ASSERT_EQ(install_interrupt_handler(), 0);
    sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, on_interrupt);
    EXPECT_EQ(now.sa_flags & SA_RESTART, 0);
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios t;
    tcgetattr(slave, &t);
    t.c_lflag &= ~tcflag_t(ECHO | ICANON);
    tcsetattr(slave, TCSANOW, &t);
    const int saved_stdin = dup(0);
    dup2(slave, 0);
    boot_env_flags.interrupted = 0;
    std::thread helper([master] {
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGINT);
        pthread_sigmask(SIG_BLOCK, &block, nullptr); // the signal goes to the editor's thread
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        kill(getpid(), SIGINT);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(write(master, "ok\r", 3), 3);
    });
    char buf[16];
    const std::string echo = captureStdout([&] { read_line(buf, sizeof buf); });
    helper.join();
    sigaction(SIGINT, &saved, nullptr);
    dup2(saved_stdin, 0), close(saved_stdin), close(slave), close(master);
    EXPECT_EQ(boot_env_flags.interrupted, 1);
    boot_env_flags.interrupted = 0;
    EXPECT_STREQ(buf, "ok");
    EXPECT_EQ(echo, "\aok\n");
}

// The xmodem handshakes: each second of waiting the operator types one more key
// (-: the line hangs up); the shell's rx records the line's settings.
std::string g_keys, g_restore_keys;
int g_master = -1, g_slave = -1;
termios g_during_rx;

void typeAKey(uint64_t microseconds) {
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

TEST(Terminal, XmodemHandshakes) {
    testutil::HostHooks hooks;
    testutil::TempBoard board;
    testutil::FileRootAt root(board.dir);
    mkdir(board.path("dev").c_str(), 0755);
    g_sleep_hook = typeAKey;
    g_shell_runner = [](const char* command) {
        testutil::recordShell(command);
        tcgetattr(g_slave, &g_during_rx), g_keys = g_restore_keys;
        return 0;
    };
    ASSERT_EQ(openpty(&g_master, &g_slave, nullptr, nullptr, nullptr), 0);
    termios before;
    tcgetattr(g_slave, &before);
    before.c_iflag &= ~tcflag_t(ICRNL);         // a carriage return stays one at 9600 bps
    before.c_cc[VMIN] = before.c_cc[VTIME] = 0; // saved so, an idle line reads as nothing
    tcsetattr(g_slave, TCSANOW, &before);
    ASSERT_EQ(symlink(ttyname(g_slave), board.path("dev/ttyS0").c_str()), 0);
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
    EXPECT_EQ(testutil::g_commands, std::vector<std::string>{"/usr/bin/rx /tmp/image"});
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
