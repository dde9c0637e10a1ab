// The package installer over an emulated board, case by case from tests/data/install/
// packages.txt; the boot-now path, the install log
// and the installed headers of slot files in a directory of their own.
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
    return part == 'd'   ? Bytes(p.begin() + h, p.end())
           : part == 'h' ? Bytes(p.begin(), p.begin() + h)
                         : p;
}

struct InstallRows : Installer, testing::WithParamInterface<Row> {};

// Fields: kind, name, package, same-version flag (1: installed once before), slot, console
// input, result, then checks: "out:TEXT" / "no:TEXT" the console holds / lacks TEXT;
// "file:PATH:K" a file under the root is sub-image K (as pick); "progress" the percentages
// of sub-image 0; "only:NAME" no other partition (none for "-") nor
// the EEPROM changed; "gone:PATH"; "eeprom:OFF:HEX"; "mode:PATH:OCTAL"; "full:PATH" a link
// to /dev/full, made before the install.
TEST_P(InstallRows, Holds) {
    const Row& r = GetParam();
    SCOPED_TRACE(r.where);
    std::vector<Bytes> parts;
    const Bytes package = testutil::package(r[2], &parts);
    std::map<std::string, Bytes> before;
    for (const char* name : kFlash) before[name] = flash(name);
    for (size_t i = 7; i < r.f.size(); ++i)
        if (r[i].rfind("full:", 0) == 0) {
            mkdir(images.c_str(), 0755);
            std::filesystem::create_symlink("/dev/full", board.path(r[i].substr(5)));
        }
    const Bytes eeprom = board.file("eeprom.bin");
    if (r[3] == "1") install(package, "", 1, uint32_t(r.num(4)));
    const std::string out = install(package, r.text(5), uint8_t(r.num(3)), uint32_t(r.num(4)));
    EXPECT_EQ(r.num(6), result) << out;
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
            char shown[16];
            for (uint64_t at = 0x10000, total = parts[0].size(); at < total + 0x10000;
                 at += 0x10000)
                want += (snprintf(shown, sizeof shown, "\b\b\b\b%03d%%",
                                  int(std::min(at, total) * 100 / total)),
                         shown);
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
        } else if (c[0] == "mode") {
            struct stat st {};
            EXPECT_EQ(0, stat(board.path(c[1]).c_str(), &st));
            EXPECT_EQ(std::stoul(c[2], nullptr, 8), st.st_mode & 07777u) << c[1];
        } else if (c[0] != "full") {
            ADD_FAILURE() << "unknown check " << r[i];
        }
    }
}
INSTANTIATE_TEST_SUITE_P(Packages, InstallRows,
                         testing::ValuesIn(testutil::rows("install/packages.txt")),
                         testutil::rowName);

TEST_F(Installer, BootNowWritesTheTarballAndLaunches) {
    EXPECT_EXIT(install(testutil::package("S,1,0x01000004,1,3000"), "\n", 0, 0),
                testing::ExitedWithCode(0), "Failed to start Application OS");
    EXPECT_EQ(board.file("tmp/veloximage.tar.gz"), testutil::payload(1, 3000));
    EXPECT_FALSE(std::filesystem::exists(images + "/image1"));
    EXPECT_FALSE(std::filesystem::exists(images + "/image2"));
}

TEST_F(Installer, InstallLogLine) {
    const std::string line = "File image installed from xmodem at 14:05:09 on 3-12-2026\n";
    std::string out =
        testutil::captureStdout([] { EXPECT_EQ(install_log_append("image", "xmodem"), 1); });
    EXPECT_EQ(out, "Updating install log. " + line);
    testutil::captureStdout([] { install_log_append("image", "xmodem"); });
    EXPECT_EQ(testutil::readText(board.path("user/install.log")), line + line);
}

TEST(InstalledImages, SlotFilesInTheirOwnDirectory) {
    testutil::TempBoard board;
    const std::string images = board.path("elsewhere");
    mkdir(images.c_str(), 0755);
    const char* saved = g_image_dir;
    g_image_dir = images.c_str();
    const Bytes app = testutil::unhex("0000000100000002014c414401020304");
    testutil::writeBytes(images + "/image1", app);
    uint8_t out[16] = {};
    EXPECT_TRUE(image_read_installed_header(IMAGE_TYPE_APPLICATION, out, 1));
    EXPECT_EQ(app, Bytes(out, out + 16));
    EXPECT_TRUE(image_same_version(app.data(), 1));
    EXPECT_FALSE(image_same_version(app.data(), 2));
    g_image_dir = saved;
}

} // namespace
