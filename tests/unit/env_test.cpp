// Boot environment flags: the text parser over the rows of tests/data/board/env.txt, and the
// read from the emulated environment partition.
#include <gtest/gtest.h>
#include <string>

#include "board/mtd.h"
#include "boot/env.h"
#include "sandbox/emu.h"
#include "tests/common/board.h"
#include "tests/common/rows.h"

namespace {

using testutil::Row;

void reset_flags() {
    boot_env_flags = boot_env_flags_t{};
    boot_env_flags.gdbport = DEFAULT_GDB_PORT;
}

// The flags set, by name, and the port when it is not the default.
std::string flags_set() {
    const boot_env_flags_t& f = boot_env_flags;
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

class BootEnvironment : public testing::TestWithParam<Row> {};

TEST_P(BootEnvironment, FlagRules) {
    const Row& r = GetParam();
    std::string text, set;
    size_t i = 1;
    for (; i < r.f.size() && r[i] != "=>"; ++i) text += r[i] + " ";
    set = r.rest(i + 1);
    reset_flags();
    parse_boot_environment(text.c_str());
    EXPECT_EQ(set, flags_set()) << r.where << ": " << text;
}
INSTANTIATE_TEST_SUITE_P(Rows, BootEnvironment, testing::ValuesIn(testutil::rows("board/env.txt")),
                         testutil::rowName);

TEST(BootEnvironmentText, NullIsIgnored) {
    reset_flags();
    parse_boot_environment(nullptr);
    EXPECT_EQ("", flags_set());
}

// The partition: 4 checksum bytes, the entries each NUL-terminated, then zero bytes. Only the
// first 8192 bytes of text count: an entry ending exactly there is read, the next is not.
TEST(BootEnvironmentFlash, ReadsEntriesAfterTheChecksumUpTo8192Bytes) {
    testutil::TempBoard board;
    auto write_env = [&](const std::vector<std::string>& entries, size_t fill_to) {
        std::string blob = "\x12\x34\x56\x78";
        for (const auto& e : entries) blob += e + '\0';
        if (blob.size() < fill_to) blob.resize(fill_to, '\0');
        board.poke("flash/ubootenv.bin", 0, testutil::Bytes(blob.begin(), blob.end()), false);
        mtd_open_partitions();
        reset_flags();
        return read_boot_environment();
    };
    EXPECT_EQ(1, write_env({"bootcmd=bootm", "gdbserver=on", "gdbport=5555", "memchk=on",
                            "diagnostics=diags", "lowsec=authorised"},
                           8196));
    EXPECT_EQ("gdb gdbserver diags memchk lowsec gdbport=5555", flags_set());
    write_env({"x=" + std::string(8192 - 2 - 1 - 9, 'a'), "shell=on", "gdb=on"}, 0);
    EXPECT_EQ("shell", flags_set());
    // Handles that were never opened: the read fails and nothing changes.
    emu_reset();
    mtd_ubootenv = -1;
    reset_flags();
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_boot_environment(), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ("", flags_set());
}

} // namespace
