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

// The flags a text sets, by name, and the port when it is not the default.
std::string flags_set(const char* text) {
    const boot_env_flags_t& f = parse(text);
    std::string out;
    auto add = [&out](bool on, const std::string& name) {
        if (on) out += (out.empty() ? "" : " ") + name;
    };
    add(f.gdb, "gdb");
    add(f.gdbserver, "gdbserver");
    add(f.diag_rescue, "rescue");
    add(f.diag_diags, "diags");
    add(f.shell, "shell");
    add(f.memchk, "memchk");
    add(f.lowsec, "lowsec");
    add(f.usb_boot || f.interrupted || f.second_attempt, "other");
    add(f.gdbport != DEFAULT_GDB_PORT, "gdbport=" + std::to_string(f.gdbport));
    add(f.bootlimit, "bootlimit=" + std::to_string(f.bootlimit));
    return out;
}

TEST(BootEnvironment, FlagRules) {
    const struct {
        const char* text;
        const char* set;
    } cases[] = {
        {"bootcmd=run x baudrate=115200 ", ""},
        {"gdbserver=on ", "gdb gdbserver"},
        {"gdb=off ", ""},
        {"gdb=on gdbserver=off ", "gdb"},
        {"gdb=off gdbserver=on ", "gdb gdbserver"}, // gdbserver implies gdb
        {"gdb=onward ", "gdb"},                     // only the first characters count
        {"gdb=o ", ""},
        {"diagnostics=diags ", "diags"},
        {"diagnostics=rescue ", "rescue"},
        {"diagnostics=diag ", ""},
        {"diagnostics=rescu ", ""},
        {"diagnostics=none diagnostics=rescue ", ""}, // only the first occurrence counts
        // A value holding shell=on counts when no earlier "shell=" stands in the text.
        {"bootargs=console=ttyS0 shell=on memchk=onx ", "shell memchk"},
        {"bootargs=x,myshell=on shell=off ", "shell"},
        {"shell=off bootargs=shell=on ", ""},
        {"lowsec=authorised ", "lowsec"},
        {"lowsec=authorized ", ""},
        {"lowsec=authorisedly ", "lowsec"},
        {"gdbport=2345 ", "gdbport=2345"},
        {"gdbport=abc ", ""},
        {"gdbport= ", ""},
        {"gdbport=77x ", "gdbport=77"},
        {"gdbport=-5 ", "gdbport=-5"},
        {"gdbport=2147483647 ", "gdbport=2147483647"},
        {"gdbport=99999999999999999999 ", ""}, // out of range is no number: the port stays
        // A number after the blank that ended an empty value is taken, as "%d" does.
        {"gdbport= 4321 ", "gdbport=4321"},
        {"bootlimit=9 ", "bootlimit=9"},
        {"bootlimit=0 bootlimit=3 ", ""}, // one digit 1 to 9, else boot counting stays off
        {"bootlimit=12 ", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(flags_set(c.text), c.set) << c.text;
    reset_flags();
    parse_boot_environment(nullptr); // ignored
    EXPECT_EQ(boot_env_flags.gdbport, 1234);
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
