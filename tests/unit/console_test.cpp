// Console prompts driven through a pseudo-terminal standing in for the
// serial console: descriptor 0 is the pty's slave side, the keys are written
// into its master side, and standard output is captured.
#include <chrono>
#include <csignal>
#include <cstring>
#include <pthread.h>
#include <thread>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>

#include "boot/console.h"
#include "boot/env.h"
#include "boot/startup.h"
#include "tests/common/console_feed.h"

namespace {

enum class mode { raw, canonical };

class ConsoleTest : public testing::Test {
  protected:
    int master = -1, slave = -1, saved_stdin = -1;

    void SetUp() override { open_console(mode::raw); }
    void TearDown() override { close_console(); }

    // The slave keeps ISIG off so that a Ctrl-C byte reaches the editor, and
    // ECHO off: the editor's own echo is all that is checked.
    void open_console(mode m) {
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        termios t;
        ASSERT_EQ(tcgetattr(slave, &t), 0);
        t.c_lflag &= ~tcflag_t(ECHO | ISIG | IEXTEN);
        if (m == mode::raw) t.c_lflag &= ~tcflag_t(ICANON);
        t.c_iflag &= ~tcflag_t(ICRNL | IXON);
        ASSERT_EQ(tcsetattr(slave, TCSANOW, &t), 0);
        saved_stdin = dup(0);
        ASSERT_GE(dup2(slave, 0), 0);
    }
    void close_console() {
        if (saved_stdin >= 0) {
            dup2(saved_stdin, 0);
            close(saved_stdin);
            saved_stdin = -1;
        }
        if (slave >= 0) close(slave);
        if (master >= 0) close(master);
        slave = master = -1;
    }
    void type(const std::string& keys) {
        ASSERT_EQ(write(master, keys.data(), keys.size()), ssize_t(keys.size()));
    }
    // Runs the line editor on the keys typed; returns the echo.
    std::string edit(const std::string& keys, char* buf, size_t size) {
        type(keys);
        testing::internal::CaptureStdout();
        read_line(buf, size);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(ConsoleTest, LineEditing) {
    const struct {
        const char* keys;
        size_t size;
        const char* line;
        const char* echo;
    } cases[] = {
        // Insert: x, the old tail "bc", two backspaces: the cursor stands after x.
        {"abc\x02\x02x\r", 32, "axbc", "abc\b\bxbc\b\b\n"},
        // An eight-byte buffer holds seven characters; the eighth rings the bell.
        {"12345678\n", 8, "1234567", "1234567\a\n"},
        // Start of line, delete under the cursor: the tail redrawn, a blank, back three cells.
        {"abc\x01\x04\r", 16, "bc", "abc\b\b\bbc \b\b\b\n"},
        // Backspace at the start is silent; Delete removes the character before the cursor.
        {"\x08\x7f"
         "ab\x7f\r",
         16, "a", "ab\b \b\n"},
        {"abcd\x02\x02\x08\r", 16, "acd", "abcd\b\b\bcd \b\b\b\n"}, // backspace in the middle
        // ESC [ 1 ; 5 C moves right over 'b'; ESC [ A does nothing; ESC [ D moves left.
        {"abc\x01\x1b[1;5C\x1b[A\x1b[CX\x1b[DY\r", 16, "abYXc", "abc\b\b\babXc\b\bYXc\b\b\n"},
        // ESC then Delete deletes before the cursor; ESC then a letter inserts it.
        {"ab\x1b\x7f\x1bq\r", 16, "aq", "ab\b \bq\n"},
        // Ctrl-F and Ctrl-D at the end of the line do nothing; other control keys ring.
        {"ab\x06\x04\x05\x1b\x01\r", 16, "ab", "ab\a\b\b\n"},
    };
    for (const auto& c : cases) {
        char buf[32];
        memset(buf, 'Z', sizeof buf);
        EXPECT_EQ(edit(c.keys, buf, c.size), c.echo) << c.line;
        EXPECT_STREQ(buf, c.line);
    }
    // Ctrl-C ends the input; the text typed so far stays, the rest is read next.
    char buf[16];
    EXPECT_EQ(edit("xy\x03zz\r", buf, sizeof buf), "xy <break>\n");
    EXPECT_STREQ(buf, "xy");
    edit("", buf, sizeof buf);
    EXPECT_STREQ(buf, "zz");
}

// Ctrl-C on a console with ISIG set raises SIGINT: the waiting read ends with
// key 0, which rings the bell, and editing goes on.
TEST_F(ConsoleTest, InterruptDuringEditing) {
    struct sigaction saved;
    sigaction(SIGINT, nullptr, &saved);
    ASSERT_EQ(install_interrupt_handler(), 0);
    boot_env_flags.interrupted = 0;
    int master_fd = master;
    std::thread helper([master_fd] {
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGINT);
        pthread_sigmask(SIG_BLOCK, &block, nullptr); // the signal goes to the editor's thread
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        kill(getpid(), SIGINT);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ssize_t n = write(master_fd, "ok\r", 3);
        (void)n;
    });
    char buf[16];
    testing::internal::CaptureStdout();
    read_line(buf, sizeof buf);
    std::string echo = testing::internal::GetCapturedStdout();
    helper.join();
    sigaction(SIGINT, &saved, nullptr);
    EXPECT_EQ(boot_env_flags.interrupted, 1);
    boot_env_flags.interrupted = 0;
    EXPECT_STREQ(buf, "ok");
    EXPECT_EQ(echo, "\aok\n");
}

TEST_F(ConsoleTest, TimedKeyAndYesNo) {
    EXPECT_EQ(read_key(1), 0); // a tenth of a second without a key
    type("k");
    EXPECT_EQ(get_key(), 'k');
    {
        // Raw for the read, with signals kept (Ctrl-C raises SIGINT) and the time-out in tenths.
        testutil::PtyFeed tty("k");
        EXPECT_EQ(read_key(3), 'k');
        EXPECT_TRUE(tty.seen().c_lflag & ISIG);
        EXPECT_EQ(tty.seen().c_cc[VTIME], 3);
        EXPECT_EQ(tty.seen().c_cc[VMIN], 0);
    }

    struct {
        const char* keys;
        int result;
        const char* echo;
    } cases[] = {{"y", 1, "Sure y/N? y\n"},
                 {"Y", 1, "Sure y/N? Y\n"},
                 {"n", 0, "Sure y/N? n\n"},
                 {"\r", 0, "Sure y/N? \r\n"}};
    for (const auto& c : cases) {
        type(c.keys);
        testing::internal::CaptureStdout();
        int got = ask_yes_no("Sure", 1);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(got, c.result) << c.keys;
        EXPECT_EQ(out, c.echo) << c.keys;
    }
    // No key within the time-out: no, and the empty key is echoed as it is.
    testing::internal::CaptureStdout();
    EXPECT_EQ(ask_yes_no("Sure", 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string("Sure y/N? \0\n", 12));
}

TEST_F(ConsoleTest, ReadKeyRestoresTheConsoleSettings) {
    close_console();
    open_console(mode::canonical);
    termios before, after;
    ASSERT_EQ(tcgetattr(0, &before), 0);
    type("q");
    EXPECT_EQ(read_key(5), 'q'); // raw for this one read: no Enter needed
    ASSERT_EQ(tcgetattr(0, &after), 0);
    EXPECT_EQ(before.c_lflag, after.c_lflag);
    EXPECT_EQ(before.c_cc[VMIN], after.c_cc[VMIN]);
    EXPECT_EQ(before.c_cc[VTIME], after.c_cc[VTIME]);
}

TEST_F(ConsoleTest, PolledYesNo) {
    close_console();
    open_console(mode::canonical);
    int saved = g_yn_poll_timeout_ms;
    EXPECT_EQ(saved, 5000); // five seconds a pass unless shortened
    g_yn_poll_timeout_ms = 300;
    const struct {
        const char *keys, *prompt;
        int result;
        const char* echo;
    } cases[] = {
        {"y\n", "Load it?\n", 1, "Load it?\n(y/n) "},
        {"n\n", "Q ", 0, "Q (y/n) "},
        // Upper-case Y and the line end each start a new pass; then silence.
        {"Y\n", "Q ", 0, "Q (y/n) (y/n) (y/n) \nTimeout. Assuming \"no\".\n"},
    };
    for (const auto& c : cases) {
        type(c.keys);
        testing::internal::CaptureStdout();
        EXPECT_EQ(ask_yn_poll(c.prompt), c.result) << c.keys;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.echo);
        tcflush(0, TCIFLUSH); // the line end after an answer stays queued
    }
    g_yn_poll_timeout_ms = saved;
}

// Input that ends (a closed pipe) must not leave a dialogue waiting for ever.
TEST(ConsoleClosedInput, DialoguesEnd) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "ab", 2), 2);
    close(fds[1]);
    int saved = dup(0);
    dup2(fds[0], 0);
    close(fds[0]);

    char buf[16];
    testing::internal::CaptureStdout();
    read_line(buf, sizeof buf);
    std::string echo = testing::internal::GetCapturedStdout();
    EXPECT_STREQ(buf, "ab");
    EXPECT_EQ(echo, "ab\n");
    EXPECT_TRUE(console_input_closed());
    EXPECT_EQ(get_key(), 0);

    testing::internal::CaptureStdout();
    EXPECT_EQ(ask_yn_poll("Q "), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Q (y/n) \nTimeout. Assuming \"no\".\n");

    // A file at its end is always readable and never answers either.
    int null_fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(null_fd, 0);
    dup2(null_fd, 0);
    close(null_fd);
    testing::internal::CaptureStdout();
    EXPECT_EQ(ask_yn_poll("Q "), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Q (y/n) \nTimeout. Assuming \"no\".\n");

    dup2(saved, 0);
    close(saved);
}

} // namespace
