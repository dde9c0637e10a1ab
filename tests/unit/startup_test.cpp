// Start-up helpers: the SIGINT handler, the date command from the clock, the
// boot slot choice and the reboot. Shell commands are recorded, never run.
#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "board/i2c.h"
#include "board/sys.h"
#include "boot/env.h"
#include "boot/startup.h"
#include "sandbox/emu.h"
#include "tests/common/board.h"

namespace {

using namespace testutil;

class StartupTest : public testing::Test {
  protected:
    HostHooks hooks;
    TempBoard board{65536, "SN0000000001"};

    void TearDown() override { i2c_close_buses(); }
    void open_buses() {
        captureStdout([] { i2c_open_buses(); });
    }
};

TEST(DateCommand, BcdBytesWithTheirMasks) {
    // seconds, minutes, hours, weekday, date, month, year; the masked-off bits set.
    const uint8_t clock[7] = {0x59 | 0x80, 0x07 | 0x80, 0x23 | 0xC0, 0x07,
                              0x31 | 0xC0, 0x12 | 0xE0, 0x26};
    char out[64];
    int n = format_date_command(clock, out, sizeof out);
    EXPECT_STREQ(out, "date 123123072026.59\n");
    EXPECT_EQ(n, 21);
    const uint8_t zero[7] = {};
    format_date_command(zero, out, sizeof out);
    EXPECT_STREQ(out, "date 000000002000.00\n");
}

TEST_F(StartupTest, ClockSetFromTheRealTimeClock) {
    board.configure("rtc_fixed=2026-12-03 14:05:09\n");
    open_buses();
    EXPECT_EQ(set_clock_from_rtc(), 1);
    ASSERT_EQ(g_commands.size(), 1u);
    EXPECT_EQ(g_commands[0], "date 120314052026.09\n");
}

TEST_F(StartupTest, UnreadableClockLeavesTheSystemClockAlone) {
    board.configure("fault_nak=2:0x68\n");
    open_buses();
    std::string out = captureStdout([] { EXPECT_EQ(set_clock_from_rtc(), 0); });
    EXPECT_TRUE(g_commands.empty());
    EXPECT_NE(out.find("I2C error"), std::string::npos) << out;
}

TEST_F(StartupTest, MountCommand) {
    mount_user_filesystem();
    ASSERT_EQ(g_commands.size(), 1u);
    EXPECT_EQ(g_commands[0], "/bin/mount -t ubifs -o compr=none -o sync ubi0:user /user");
}

TEST_F(StartupTest, BootSlotChoice) {
    struct {
        uint8_t reg;
        int slot;
    } cases[] = {{1, 1}, {2, 2}, {0, 1}, {3, 1}, {7, 1}, {0xFF, 1}};
    for (const auto& c : cases) {
        board.poke("eeprom.bin", EEPROM_BOOT_SLOT, {c.reg});
        open_buses();
        EXPECT_EQ(choose_boot_slot(), c.slot) << int(c.reg);
        i2c_close_buses();
    }
    // A failed read counts as 0 and gives slot 1.
    board.poke("eeprom.bin", EEPROM_BOOT_SLOT, {2});
    board.configure("fault_missing_i2c=0\n");
    open_buses();
    captureStdout([] { EXPECT_EQ(choose_boot_slot(), 1); });
}

TEST_F(StartupTest, InterruptHandlerSetsTheFlagWithoutRestart) {
    struct sigaction saved;
    sigaction(SIGINT, nullptr, &saved);
    ASSERT_EQ(install_interrupt_handler(), 0);
    struct sigaction now;
    sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, on_interrupt);
    EXPECT_EQ(now.sa_flags & SA_RESTART, 0);
    boot_env_flags.interrupted = 0;
    raise(SIGINT);
    EXPECT_EQ(boot_env_flags.interrupted, 1);
    boot_env_flags.interrupted = 0;
    sigaction(SIGINT, &saved, nullptr);
}

// No board here: the threadsafe death-test style re-runs the fixture in a child
// that ends in exit() and would never remove one.
struct RebootDeathTest : testing::Test {
    HostHooks hooks;
};

TEST_F(RebootDeathTest, RunsRebootAndExits) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    g_shell_result = 0;
    EXPECT_EXIT({ reboot_board(); }, testing::ExitedWithCode(0), "^$");
    g_shell_result = -1;
    EXPECT_EXIT(reboot_board(), testing::ExitedWithCode(0),
                "^System reboot failed, please power-cycle.\n$");
}

TEST_F(RebootDeathTest, TheCommandIsReboot) {
    // In this process: catch the exit by running the reboot in a child and
    // reporting the recorded command through the exit status.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        g_commands.clear();
        atexit([] { _exit(g_commands.size() == 1 && g_commands[0] == "reboot" ? 42 : 43); });
        reboot_board();
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 42);
}

} // namespace
