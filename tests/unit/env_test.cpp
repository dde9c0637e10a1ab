// Boot environment flags: the text parser, and the read from the emulated
// environment partition.
#include <cstdio>
#include <gtest/gtest.h>
#include <string>

#include "board/mtd.h"
#include "boot/env.h"
#include "sandbox/emu.h"
#include "tests/common/board.h"

namespace {

void reset_flags() {
    boot_env_flags = boot_env_flags_t{};
    boot_env_flags.gdbport = DEFAULT_GDB_PORT;
}

// Parses entries separated by blanks, as they stand after the NUL bytes of
// the partition were turned into blanks.
const boot_env_flags_t& parse(const char* text) {
    reset_flags();
    parse_boot_environment(text);
    return boot_env_flags;
}

TEST(BootEnvironment, InitialRecord) {
    const auto& f = parse("bootcmd=run x baudrate=115200 ");
    EXPECT_EQ(f.gdb, 0);
    EXPECT_EQ(f.gdbserver, 0);
    EXPECT_EQ(f.diag_rescue, 0);
    EXPECT_EQ(f.diag_diags, 0);
    EXPECT_EQ(f.shell, 0);
    EXPECT_EQ(f.memchk, 0);
    EXPECT_EQ(f.gdbport, 1234);
    EXPECT_EQ(f.lowsec, 0);
    EXPECT_EQ(f.usb_boot, 0);
    EXPECT_EQ(f.interrupted, 0);
    EXPECT_EQ(f.second_attempt, 0);
    parse_boot_environment(nullptr); // ignored
    EXPECT_EQ(boot_env_flags.gdbport, 1234);
}

TEST(BootEnvironment, FlagRules) {
    using Get = int (*)(const boot_env_flags_t&);
    const Get gdb = [](const boot_env_flags_t& f) { return int(f.gdb); };
    const Get server = [](const boot_env_flags_t& f) { return int(f.gdbserver); };
    const Get rescue = [](const boot_env_flags_t& f) { return int(f.diag_rescue); };
    const Get diags = [](const boot_env_flags_t& f) { return int(f.diag_diags); };
    const Get shell = [](const boot_env_flags_t& f) { return int(f.shell); };
    const Get memchk = [](const boot_env_flags_t& f) { return int(f.memchk); };
    const Get lowsec = [](const boot_env_flags_t& f) { return int(f.lowsec); };
    const Get port = [](const boot_env_flags_t& f) { return int(f.gdbport); };
    const struct {
        const char* text;
        Get get;
        int expected;
    } cases[] = {
        {"gdbserver=on ", gdb, 1},
        {"gdbserver=on ", server, 1},
        {"gdb=off ", gdb, 0},
        {"gdb=on gdbserver=off ", gdb, 1},
        {"gdb=on gdbserver=off ", server, 0},
        {"gdb=off gdbserver=on ", gdb, 1}, // gdbserver implies gdb
        {"gdb=onward ", gdb, 1},           // only the first characters count
        {"gdb=o ", gdb, 0},
        {"diagnostics=diags ", diags, 1},
        {"diagnostics=diags ", rescue, 0},
        {"diagnostics=rescue ", rescue, 1},
        {"diagnostics=rescue ", diags, 0},
        {"diagnostics=diag ", diags, 0},
        {"diagnostics=none diagnostics=rescue ", rescue, 0}, // only the first occurrence
        // A value holding shell=on counts when no earlier "shell=" stands in the text.
        {"bootargs=console=ttyS0 shell=on memchk=onx ", shell, 1},
        {"bootargs=console=ttyS0 shell=on memchk=onx ", memchk, 1},
        {"bootargs=x,myshell=on shell=off ", shell, 1},
        {"shell=off bootargs=shell=on ", shell, 0},
        {"lowsec=authorised ", lowsec, 1},
        {"lowsec=authorized ", lowsec, 0},
        {"lowsec=authorisedly ", lowsec, 1},
        {"gdbport=2345 ", port, 2345},
        {"gdbport=abc ", port, 1234},
        {"gdbport= ", port, 1234},
        {"gdbport=77x ", port, 77},
        {"gdbport=-5 ", port, -5},
        {"gdbport=2147483647 ", port, 2147483647},
        {"gdbport=99999999999999999999 ", port, 1234}, // out of range is no number
        // A number after the blank that ended an empty value is taken, as "%d" does.
        {"gdbport= 4321 ", port, 4321},
    };
    for (const auto& c : cases) EXPECT_EQ(c.get(parse(c.text)), c.expected) << c.text;
}

class BootEnvironmentFlash : public testing::Test {
  protected:
    testutil::TempBoard board;

    // Writes the environment partition: 4 checksum bytes, the entries each
    // NUL-terminated, then an empty entry and zero bytes.
    void write_env(const std::vector<std::string>& entries, size_t fill_to = 8196) {
        std::string blob = "\x12\x34\x56\x78";
        for (const auto& e : entries) blob += e + '\0';
        if (blob.size() < fill_to) blob.resize(fill_to, '\0');
        board.poke("flash/ubootenv.bin", 0, testutil::Bytes(blob.begin(), blob.end()), false);
    }
};

TEST_F(BootEnvironmentFlash, ReadsEntriesAfterTheChecksum) {
    write_env({"bootcmd=bootm", "gdbserver=on", "gdbport=5555", "memchk=on", "diagnostics=diags",
               "lowsec=authorised"});
    mtd_open_partitions();
    reset_flags();
    EXPECT_EQ(read_boot_environment(), 1);
    EXPECT_EQ(boot_env_flags.gdb, 1);
    EXPECT_EQ(boot_env_flags.gdbserver, 1);
    EXPECT_EQ(boot_env_flags.gdbport, 5555);
    EXPECT_EQ(boot_env_flags.memchk, 1);
    EXPECT_EQ(boot_env_flags.shell, 0);
    EXPECT_EQ(boot_env_flags.diag_diags, 1);
    EXPECT_EQ(boot_env_flags.diag_rescue, 0);
    EXPECT_EQ(boot_env_flags.lowsec, 1);
}

TEST_F(BootEnvironmentFlash, OnlyTheFirst8192BytesCount) {
    // An entry that starts at byte 8192 of the text (offset 8196) is not read;
    // one that ends exactly at the limit is.
    std::string filler = "x=" + std::string(8192 - 2 - 1 - 9, 'a');
    write_env({filler, "shell=on", "gdb=on"}, 0);
    mtd_open_partitions();
    reset_flags();
    read_boot_environment();
    EXPECT_EQ(boot_env_flags.shell, 1);
    EXPECT_EQ(boot_env_flags.gdb, 0);
}

TEST_F(BootEnvironmentFlash, UnreadablePartitionKeepsTheRecord) {
    write_env({"shell=on"});
    // Handles that were never opened: the read fails and nothing changes.
    emu_reset();
    mtd_ubootenv = -1;
    reset_flags();
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_boot_environment(), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(boot_env_flags.shell, 0);
    EXPECT_EQ(boot_env_flags.gdbport, 1234);
}

} // namespace
