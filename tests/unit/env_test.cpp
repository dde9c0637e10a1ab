// Boot environment flags: the text parser, and the read from the emulated
// environment partition.
#include <cstdio>
#include <gtest/gtest.h>
#include <string>

#include "board/mtd.h"
#include "boot/env.h"
#include "sandbox/emu.h"

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

TEST(BootEnvironment, DebuggerFlags) {
    auto f = parse("gdbserver=on ");
    EXPECT_EQ(f.gdb, 1);
    EXPECT_EQ(f.gdbserver, 1);
    f = parse("gdb=off ");
    EXPECT_EQ(f.gdb, 0);
    f = parse("gdb=on gdbserver=off ");
    EXPECT_EQ(f.gdb, 1);
    EXPECT_EQ(f.gdbserver, 0);
    f = parse("gdb=off gdbserver=on ");
    EXPECT_EQ(f.gdb, 1);      // gdbserver implies gdb
    f = parse("gdb=onward "); // only the first characters count
    EXPECT_EQ(f.gdb, 1);
    f = parse("gdb=o ");
    EXPECT_EQ(f.gdb, 0);
}

TEST(BootEnvironment, Diagnostics) {
    auto f = parse("diagnostics=diags ");
    EXPECT_EQ(f.diag_rescue, 0);
    EXPECT_EQ(f.diag_diags, 1);
    f = parse("diagnostics=rescue ");
    EXPECT_EQ(f.diag_rescue, 1);
    EXPECT_EQ(f.diag_diags, 0);
    f = parse("diagnostics=diag ");
    EXPECT_EQ(f.diag_diags, 0);
    // Only the first occurrence counts.
    f = parse("diagnostics=none diagnostics=rescue ");
    EXPECT_EQ(f.diag_rescue, 0);
}

TEST(BootEnvironment, SubstringRules) {
    // A value holding shell=on counts when no earlier "shell=" stands in the text.
    auto f = parse("bootargs=console=ttyS0 shell=on memchk=onx ");
    EXPECT_EQ(f.shell, 1);
    EXPECT_EQ(f.memchk, 1);
    f = parse("bootargs=x,myshell=on shell=off ");
    EXPECT_EQ(f.shell, 1);
    f = parse("shell=off bootargs=shell=on ");
    EXPECT_EQ(f.shell, 0);
    f = parse("lowsec=authorised ");
    EXPECT_EQ(f.lowsec, 1);
    f = parse("lowsec=authorized ");
    EXPECT_EQ(f.lowsec, 0);
    f = parse("lowsec=authorisedly ");
    EXPECT_EQ(f.lowsec, 1);
}

TEST(BootEnvironment, GdbPort) {
    EXPECT_EQ(parse("gdbport=2345 ").gdbport, 2345);
    EXPECT_EQ(parse("gdbport=abc ").gdbport, 1234);
    EXPECT_EQ(parse("gdbport= ").gdbport, 1234);
    EXPECT_EQ(parse("gdbport=77x ").gdbport, 77);
    EXPECT_EQ(parse("gdbport=-5 ").gdbport, -5);
    EXPECT_EQ(parse("gdbport=2147483647 ").gdbport, 2147483647);
    // Out of range is no number: the port stays.
    EXPECT_EQ(parse("gdbport=99999999999999999999 ").gdbport, 1234);
    // A number that stands after the blank that ended an empty value is taken, as "%d" does.
    EXPECT_EQ(parse("gdbport= 4321 ").gdbport, 4321);
}

class BootEnvironmentFlash : public testing::Test {
  protected:
    std::string dir;
    void SetUp() override {
        dir = emu_make_temp_board("SN0000000001", 65536);
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override { emu_remove_board(dir); }

    // Writes the environment partition: 4 checksum bytes, the entries each
    // NUL-terminated, then an empty entry and zero bytes.
    void write_env(const std::vector<std::string>& entries, size_t fill_to = 8196) {
        std::string blob = "\x12\x34\x56\x78";
        for (const auto& e : entries) blob += e + '\0';
        if (blob.size() < fill_to) blob.resize(fill_to, '\0');
        FILE* f = fopen((dir + "/flash/ubootenv.bin").c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        fwrite(blob.data(), 1, blob.size(), f);
        fclose(f);
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
