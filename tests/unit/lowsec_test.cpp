// Security modes over the emulated board: the marker and the override, the
// physical presence test played by an operator who counts the blinks in the
// LED controller's event log, Ctrl-C during the blinks, the key wipe.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "board/i2c.h"
#include "boot/env.h"
#include "security/lowsec.h"
#include "tests/common/board.h"
#include "tests/common/console_feed.h"
#include "tests/common/data.h"

namespace {

using testutil::Bytes;

const std::string kWarning = "WARNING: the following test is used to determine physical presence "
                             "and if completed will put the switch in low security mode.\nDo you "
                             "wish to continue y/N? ";
const std::string kHit =
    "Hit a key to start the test. The blue location LED will blink a number of times.";
const std::string kHowMany = "\nHow many times did the LED blink? ";

class LowsecTest : public testing::Test {
  protected:
    testutil::TempBoard board;
    testutil::HostHooks hooks;
    std::string markerFile = board.path("tmp/lowsec");

    void SetUp() override {
        g_fs_root = board.dir.c_str();
        mkdir(board.path("tmp").c_str(), 0755);
        boot_env_flags.lowsec = 0;
        boot_env_flags.interrupted = 0;
        i2c_open_buses();
    }
    void TearDown() override {
        g_fs_root = "";
        boot_env_flags.lowsec = 0;
        boot_env_flags.interrupted = 0;
    }
    bool marked() const { return std::filesystem::exists(markerFile); }

    // Blue LED blinks logged since `from` (writes with bit 6 clear); every
    // LED write must be the idle or blink value of the starting value 0xA5.
    int blinksLogged(size_t from) const {
        std::string log = testutil::readText(board.path("events.log")).substr(from);
        int blinks = 0;
        for (size_t at = 0; (at = log.find(" led reg=0x11 val=0x", at)) != std::string::npos;) {
            at += 20;
            int value = std::stoi(log.substr(at, 2), nullptr, 16);
            EXPECT_TRUE(value == 0x65 || value == 0x25) << value;
            blinks += (value & 0x40) == 0;
        }
        return blinks;
    }

    size_t logSize() const { return testutil::readText(board.path("events.log")).size(); }

    // Runs the test in a child whose console is a pair of pipes. The operator
    // says y, starts every attempt, and answers each with answer(blinks counted).
    // Returns the child's exit status and its console output.
    std::pair<int, std::string> playPresence(const std::function<std::string(int)>& answer) {
        int in[2], out[2];
        EXPECT_TRUE(pipe(in) == 0 && pipe(out) == 0);
        fflush(stdout);
        pid_t child = fork();
        if (child == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            int result = physical_presence_test();
            fflush(stdout);
            _exit(10 + result);
        }
        close(in[0]);
        close(out[1]);
        std::string console, keys = "y ";
        size_t logFrom = logSize(), seen = 0;
        for (ssize_t n = 1; n > 0;) {
            EXPECT_EQ(write(in[1], keys.data(), keys.size()), ssize_t(keys.size()));
            keys.clear();
            pollfd p = {out[0], POLLIN, 0};
            if (poll(&p, 1, 20000) <= 0) {
                ADD_FAILURE() << "the test waits: " << console;
                kill(child, SIGKILL);
                break;
            }
            char buf[512];
            n = read(out[0], buf, sizeof buf);
            console.append(buf, n > 0 ? size_t(n) : 0);
            size_t at = console.find(kHowMany, seen);
            if (at != std::string::npos) {
                seen = at + 1;
                keys = answer(blinksLogged(logFrom)) + "\n ";
                logFrom = logSize();
            }
        }
        close(in[1]);
        close(out[0]);
        int status = 0;
        waitpid(child, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, console};
    }
};

TEST_F(LowsecTest, MarkerAndOverride) {
    EXPECT_EQ(lowsec_is_enabled(), 0);
    EXPECT_EQ(lowsec_set(1), 0);
    EXPECT_EQ(testutil::readBytes(markerFile).size(), 9u);
    EXPECT_EQ(testutil::captureStdout([] { EXPECT_EQ(lowsec_is_enabled(), 1); }), "");
    EXPECT_EQ(lowsec_set(0), 0);
    EXPECT_FALSE(marked());
    boot_env_flags.lowsec = 1;
    EXPECT_EQ(testutil::captureStdout([] {
                  EXPECT_EQ(lowsec_is_enabled(), 1);
                  EXPECT_EQ(lowsec_is_enabled(), 1);
              }),
              "NOTE: Uboot low security mode override enabled\n"
              "NOTE: Uboot low security mode override enabled\n");
}

// The operator counts the blinks in the LED log and types the count (right,
// or one more); three wrong answers reset the board: reboot_board ends the process.
TEST_F(LowsecTest, PhysicalPresence) {
    const std::string passed =
        "\nCorrect. Physical presence established and low security mode enabled\n";
    const std::string reset = "Incorrect. Try again (attempt 2 of 3)\n" + kHit + " \n..........." +
                              kHowMany +
                              "61\nIncorrect. Try again (attempt 3 of 3)\nMaximum number of test "
                              "failed. Board is resetting\n";
    const struct {
        const char* seconds;
        int blinks;
        const char* answer; // printf format of the count
        int status;         // 10 + result, or 0 from reboot_board
        std::string tail;
        bool linked = false; // the marker's path a link, which it is never written through
    } rows[] = {{"00", 1, "%d", 11, passed},
                {"59", 14, "%d", 11, passed},
                {"30", 3, "  +%d", 11, passed},
                {"16", 7, "0%d", 11, passed},
                {"05", 5, "%d", 10,
                 "\nCorrect, but low security mode could not be enabled (err 40)\n", true},
                {"42", 6, "%d1", 0, reset}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.seconds);
        unlink(markerFile.c_str());
        if (row.linked) symlink("/nonexistent/lowsec", markerFile.c_str());
        board.configure(std::string("rtc_fixed=2026-12-03 14:05:") + row.seconds + "\n");
        i2c_open_buses();
        led_reg_write(0x11, 0xA5);
        auto [status, console] = playPresence([&](int blinks) {
            EXPECT_EQ(blinks, row.blinks);
            char answer[16];
            snprintf(answer, sizeof answer, row.answer, blinks);
            return std::string(answer);
        });
        EXPECT_EQ(status, row.status);
        const std::string dots(row.blinks > 11 ? row.blinks : 11, '.');
        EXPECT_EQ(console.rfind(kWarning + "y\n" + kHit + " \n" + dots + kHowMany, 0), 0u);
        EXPECT_EQ(console.substr(console.size() - std::min(console.size(), row.tail.size())),
                  row.tail);
        EXPECT_EQ(marked(), row.status == 11);
        EXPECT_EQ(testutil::readText(board.path("events.log")).find(" shell reboot") !=
                      std::string::npos,
                  row.status == 0);
    }
}

TEST_F(LowsecTest, CtrlCDuringTheBlinks) {
    static int seconds;
    seconds = 0;
    g_sleep_hook = [](uint64_t us) {
        if (us == 1000000 && ++seconds == 3) boot_env_flags.interrupted = 1;
    };
    testutil::StdinFeed keys("y ");
    int result = -1;
    EXPECT_EQ(testutil::captureStdout([&] { result = physical_presence_test(); }),
              kWarning + "y\n" + kHit + " \n..");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(boot_env_flags.interrupted, 1); // left for the rescue menu to clear
    EXPECT_FALSE(marked());
}

TEST_F(LowsecTest, Dialogues) {
    const std::string leave = "Switch is in low security mode. Confirm disabling Y/n? ";
    const struct {
        const char* name;
        bool marker, override_set;
        std::string keys, out;
        int result;
        bool markedAfter;
    } rows[] = {
        {"declined", false, false, "n", kWarning + "n\n", 0, false},
        {"no key", false, false, "", kWarning + std::string(1, '\0') + "\n", 0, false},
        {"leave with Enter", true, false, "\r", leave + "\r\n", 1, false},
        {"keep with n", true, false, "n", leave + "n\n", 1, true},
        {"no key while low", true, false, "", leave + std::string(1, '\0') + "\n", 0, true},
        {"override", true, true, "\r",
         "NOTE: Uboot low security mode override enabled\n" + leave + "\r\n", 1, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        unlink(markerFile.c_str());
        if (row.marker) lowsec_set(1);
        boot_env_flags.lowsec = row.override_set;
        emu_reset();
        i2c_open_buses();
        testutil::StdinFeed keys(row.keys);
        int result = -1;
        EXPECT_EQ(testutil::captureStdout([&] { result = physical_presence_test(); }), row.out);
        EXPECT_EQ(result, row.result);
        EXPECT_EQ(marked(), row.markedAfter);
        EXPECT_TRUE(emu_led_writes().empty());
    }
}

TEST_F(LowsecTest, WipeSystemKeys) {
    const struct {
        std::string keys, out;
        bool wiped;
    } rows[] = {
        {"Y",
         "Confirm: wiping system keys y/N: \nSystem keys have been deleted. Reset the switch "
         "to complete the operation\n",
         true},
        {"n", "Confirm: wiping system keys y/N: \n", false},
    };
    for (const auto& row : rows) {
        for (const char* name : {"production_key.pub.pem", "development_key.pub.pem", "a.pem"})
            testutil::writeBytes(board.path("user/") + name, {'k'});
        testutil::writeBytes(board.path("user/keep.pem.txt"), {'k'});
        testutil::StdinFeed keys(row.keys);
        int result = -1;
        EXPECT_EQ(testutil::captureStdout([&] { result = wipe_system_keys(); }), row.out);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(std::filesystem::exists(board.path("user/production_key.pub.pem")), !row.wiped);
        EXPECT_EQ(std::filesystem::exists(board.path("user/a.pem")), !row.wiped);
        EXPECT_TRUE(std::filesystem::exists(board.path("user/keep.pem.txt")));
    }
}

} // namespace
