// The package installer over an emulated board, case by case from tests/data/install/
// packages.txt.
#include <filesystem>
#include <map>

#include "tests/common/install.h"
#include "tests/common/rows.h"

namespace {

using testutil::Bytes;
using testutil::Row;

const char* const kFlash[] = {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"};

struct Installer : testutil::InstallBoard {
    void SetUp() override {
        board.configure("rtc_fixed=2026-12-03 14:05:09\n");
        InstallBoard::SetUp();
    }
    Bytes flash(const std::string& name) { return board.file("flash/" + name + ".bin"); }
};

// Sub-image K of the package ("Kd" its data, "Kh" its header).
Bytes pick(const std::vector<Bytes>& parts, const std::string& which) {
    const Bytes& p = parts.at(std::stoul(which));
    const long h = image_get_be32(&p[16]) == IMAGE_HDR3_MAGIC ? image_get_be16(&p[22]) : 16;
    const char part = which.back();
    return Bytes(p.begin() + (part == 'd' ? h : 0), part == 'h' ? p.begin() + h : p.end());
}

struct InstallRows : Installer, testing::WithParamInterface<Row> {};

// Fields: kind (install, exits, log), name, package, same-version flag (1: installed once before),
// slot, console input, result, then checks: "out:TEXT" / "no:TEXT" the console holds / lacks TEXT;
// "file:PATH:K" a file under the root is sub-image K (as pick); "progress" the percentages
// of sub-image 0; "only:NAME" no other partition (none for "-") nor the EEPROM changed;
// "gone:PATH"; "text:PATH:TEXT" a file's text; "eeprom:OFF:HEX"; "mode:PATH:OCTAL"; made
// before the install, "full:PATH" a link to /dev/full, "kept:PATH" a file holding "old"
// with a second name PATH.kept.
TEST_P(InstallRows, Holds) {
    const Row& r = GetParam();
    SCOPED_TRACE(r.where);
    std::vector<Bytes> parts;
    const Bytes package = testutil::package(r[2], &parts);
    std::map<std::string, Bytes> before;
    for (const char* name : kFlash) before[name] = flash(name);
    for (size_t i = 7; i < r.f.size(); ++i) {
        const std::string kind = r[i].substr(0, 5), path = board.path(r[i].substr(5));
        if (kind == "full:" || kind == "kept:") mkdir(images.c_str(), 0755);
        if (kind == "full:") std::filesystem::create_symlink("/dev/full", path);
        if (kind == "kept:")
            std::ofstream(path) << "old", link(path.c_str(), (path + ".kept").c_str());
    }
    const Bytes eeprom = board.file("eeprom.bin");
    if (r[3] == "1") install(package, "", 1, uint32_t(r.num(4)));
    std::string out;
    if (r[0] == "exits") { // booted at once: the launch ends the process, result a message
        EXPECT_EXIT(install(package, r.text(5), 0, 0), testing::ExitedWithCode(0), r.text(6));
    } else { // a log row: the install log appended to twice, result the sum
        out = r[0] == "log" ? testutil::captureStdout([&] {
            result = uint8_t(install_log_append("image", "xmodem") +
                             install_log_append("image", "xmodem"));
        })
                            : install(package, r.text(5), uint8_t(r.num(3)), uint32_t(r.num(4)));
        EXPECT_EQ(r.num(6), result) << out;
    }
    for (size_t i = 7; i < r.f.size(); ++i) {
        const std::vector<std::string> c = testutil::splitAt(r[i], ':');
        const std::string text = testutil::unescape(r[i].substr(c[0].size() + (c.size() > 1)));
        if (c[0] == "out" || c[0] == "no") {
            EXPECT_EQ(c[0] == "out", out.find(text) != std::string::npos) << r[i] << "\n" << out;
        } else if (c[0] == "file") { // a partition holds erased bytes after the sub-image
            Bytes want = pick(parts, c[2]), got = board.file(c[1]);
            if (c[1].rfind("flash/", 0) == 0) want.resize(std::max(want.size(), got.size()), 0xFF);
            EXPECT_BYTES(want, got) << c[1];
        } else if (c[0] == "progress") { // one per 64 KiB chunk, the share written so far
            std::string want = "    ";
            for (uint64_t at = 0x10000, all = parts[0].size(); at < all + 0x10000; at += 0x10000) {
                const std::string n = std::to_string(std::min(at, all) * 100 / all);
                want += "\b\b\b\b" + std::string(3 - n.size(), '0') + n + "%";
            }
            EXPECT_NE(out.find(want + "\b\b\b\b100%\n"), std::string::npos);
        } else if (c[0] == "only") {
            for (const char* name : kFlash)
                EXPECT_BYTES(c[1] == name ? flash(name) : before[name], flash(name)) << name;
            EXPECT_BYTES(eeprom, board.file("eeprom.bin"));
        } else if (c[0] == "gone") {
            EXPECT_FALSE(std::filesystem::exists(board.path(c[1]))) << c[1];
        } else if (c[0] == "eeprom") {
            const Bytes want = testutil::unhex(c[2]), now = board.file("eeprom.bin");
            const auto at = now.begin() + long(std::stoul(c[1], nullptr, 0));
            EXPECT_BYTES(want, Bytes(at, at + long(want.size())));
        } else if (c[0] == "text") {
            EXPECT_EQ(testutil::unescape(r[i].substr(6 + c[1].size())),
                      testutil::readText(board.path(c[1])));
        } else if (c[0] == "mode") {
            EXPECT_EQ(std::stoul(c[2], nullptr, 8),
                      unsigned(std::filesystem::status(board.path(c[1])).permissions()));
        } else if (c[0] != "full" && c[0] != "kept") {
            ADD_FAILURE() << "unknown check " << r[i];
        }
    }
}
INSTANTIATE_TEST_SUITE_P(Packages, InstallRows,
                         testing::ValuesIn(testutil::rows("install/packages.txt")),
                         testutil::rowName);

} // namespace
