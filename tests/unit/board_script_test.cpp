// The emulated devices, the flash partitions and the I2C board layer, driven by the scripts
// of tests/data/board (the steps are described at the top of emu.txt); then the board's
// creation and the two-copy records, which need loops.
#include "board/devio.h"
#include "board/i2c.h"
#include "board/mtd.h"
#include "board/record.h"
#include "sandbox/emu.h"
#include "tests/common/board.h"
#include "tests/common/rows.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <map>
#include <memory>
#include <sys/ioctl.h>
#include <mtd/mtd-user.h>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace testutil;

uint8_t pattern(uint32_t i) {
    return static_cast<uint8_t>(i * 7 + 3 + (i >> 8));
}

// Bytes of a script field: hex, "HH*N" (N times), "pat:N" or "pat:FROM:TO" (the fill pattern
// over [0, N) or [FROM, TO)), "-" (none), joined with '+'.
Bytes bytesOf(const std::string& field) {
    Bytes out;
    if (field == "-") return out;
    for (size_t from = 0; from <= field.size();) {
        size_t to = field.find('+', from);
        if (to == std::string::npos) to = field.size();
        const std::string part = field.substr(from, to - from);
        if (part.rfind("pat:", 0) == 0) {
            size_t colon = part.find(':', 4);
            uint32_t i =
                colon == std::string::npos ? 0 : uint32_t(std::stoul(part.substr(4), nullptr, 0));
            uint32_t end = uint32_t(
                std::stoul(part.substr(colon == std::string::npos ? 4 : colon + 1), nullptr, 0));
            for (; i < end; ++i) out.push_back(pattern(i));
        } else if (part.size() > 3 && part[2] == '*') {
            out.insert(out.end(), std::stoul(part.substr(3), nullptr, 0),
                       unhex(part.substr(0, 2))[0]);
        } else {
            Bytes b = unhex(part);
            out.insert(out.end(), b.begin(), b.end());
        }
        from = to + 1;
    }
    return out;
}

std::string errnoName(int e) {
    static const std::map<int, std::string> names = {
        {ENXIO, "ENXIO"},   {EINVAL, "EINVAL"}, {ENOTTY, "ENOTTY"}, {ESPIPE, "ESPIPE"},
        {EACCES, "EACCES"}, {ENOSPC, "ENOSPC"}, {EBADF, "EBADF"},   {EPERM, "EPERM"},
        {EIO, "EIO"},       {EFAULT, "EFAULT"}, {ENOENT, "ENOENT"}};
    return names.count(e) ? names.at(e) : std::to_string(e);
}

// Fields FROM.. of a row, and numbers, each joined by blanks.
std::string fields(const Row& r, size_t from, size_t n) {
    std::string s;
    for (size_t k = from; k < from + n; ++k) s += (k > from ? " " : "") + r[k];
    return s;
}
std::string nums(std::initializer_list<uint64_t> v) {
    std::string s;
    for (uint64_t x : v) s += (s.empty() ? "" : " ") + std::to_string(x);
    return s;
}

const board_record kFloor{BOARD_RECORD_FLOOR, BOARD_RECORD_FLOOR_TAG, 3};

// One case of a script: its "case NAME" row and the steps below it.
struct Script {
    Row head;
    std::vector<Row> steps;
};
void PrintTo(const Script& s, std::ostream* os) {
    *os << s.head.where;
}
std::vector<Script> scripts(const std::string& file) {
    std::vector<Script> out;
    for (const Row& r : rows(file))
        if (r[0] == "case" || out.empty())
            out.push_back({r, {}});
        else
            out.back().steps.push_back(r);
    return out;
}
std::string scriptName(const testing::TestParamInfo<Script>& info) {
    return rowName({info.param.head, info.index});
}

class BoardScript : public testing::TestWithParam<Script> {
  protected:
    HostHooks hooks;
    std::unique_ptr<TempBoard> board = std::make_unique<TempBoard>();
    std::map<std::string, int> fds, seen; // descriptors the script opened, and all it named
    std::string printed;
    uint64_t transfers = emu_i2c_transfer_count();

    void TearDown() override {
        closeAll();
        EXPECT_EQ("", printed) << "output no step looked at";
    }
    void closeAll() {
        for (auto& [name, fd] : fds) dev_close(fd);
        fds.clear();
        i2c_close_buses();
    }
    int part(const std::string& name) {
        const std::map<std::string, int*> parts = {
            {"uboot", &mtd_uboot},   {"ubootenv", &mtd_ubootenv}, {"devicetree", &mtd_devicetree},
            {"kernel", &mtd_kernel}, {"rfs", &mtd_rfs},           {"rescue", &mtd_rescue}};
        if (parts.count(name)) return *parts.at(name);
        return seen.count(name) ? seen.at(name) : std::stoi(name);
    }
    // The return value at field i: a number, "fd" (a descriptor above 2), or -1 and the errno.
    void expectRet(const Row& r, size_t i, long got) {
        const int error = errno; // the call's, as its value is taken before this runs
        if (r[i] == "fd") {
            EXPECT_GE(got, 3);
        } else {
            EXPECT_EQ(r.num(i), got);
            if (got < 0 && r[i + 1].rfind("E", 0) == 0) {
                EXPECT_EQ(r[i + 1], errnoName(error));
            }
        }
    }
    // The return value, then the bytes of the call's buffer when the row gives them.
    void expectCall(const Row& r, size_t i, long got, const Bytes& buffer) {
        expectRet(r, i, got);
        if (!r[i + 1].empty() && r[i + 1][0] != 'E') {
            EXPECT_BYTES(bytesOf(r[i + 1]), buffer);
        }
    }
    Bytes fileAt(const std::string& name, size_t off, size_t n) {
        Bytes f = board->file(name);
        return off >= f.size()
                   ? Bytes()
                   : Bytes(f.begin() + long(off), f.begin() + long(std::min(f.size(), off + n)));
    }
    template <typename F> void shown(F&& f) { printed += captureStdout(f); }
    void call(const Row& r);
    void step(const Row& r);
};

void BoardScript::step(const Row& r) {
    const std::string& op = r[0];
    auto fd = [&] { return fds.count(r[1]) ? fds.at(r[1]) : part(r[1]); };
    ssize_t n = 0;
    errno = 0;
    if (op == "open") {
        std::string path = r[2][0] == '@' ? board->path(r[2].substr(1)) : r[2];
        int flags = r[3] == "ro" ? O_RDONLY : r[3] == "rwc" ? O_RDWR | O_CREAT : O_RDWR;
        int f = dev_open(path.c_str(), flags);
        expectRet(r, 4, f);
        if (f >= 0) fds[r[1]] = seen[r[1]] = f;
    } else if (op == "close") {
        int f = fd();
        expectRet(r, 2, dev_close(f));
        fds.erase(r[1]);
    } else if (op == "addr") {
        expectRet(r, 3, dev_ioctl(fd(), I2C_SLAVE, reinterpret_cast<void*>(r.num(2))));
    } else if (op == "write" || op == "pwrite") { // [OFF] BYTES
        const size_t p = op == "pwrite";
        Bytes b = bytesOf(r[2 + p]);
        expectRet(r, 3 + p,
                  p ? dev_pwrite(fd(), b.data(), b.size(), r.num(2))
                    : dev_write(fd(), b.data(), b.size()));
    } else if (op == "read" || op == "pread") { // [OFF] LEN
        const size_t p = op == "pread";
        Bytes b(size_t(r.num(2 + p)));
        n = p ? dev_pread(fd(), b.data(), b.size(), r.num(2)) : dev_read(fd(), b.data(), b.size());
        const int e = errno;
        b.resize(size_t(std::max<ssize_t>(n, 0)));
        errno = e;
        expectCall(r, 3 + p, n, b);
    } else if (op == "erase") {
        erase_info_user e{uint32_t(r[2] == "null" ? 0 : r.num(2)), uint32_t(r.num(3))};
        expectRet(r, 4, dev_ioctl(fd(), MEMERASE, r[2] == "null" ? nullptr : &e));
    } else if (op == "info") {
        mtd_info_user i{};
        expectRet(r, 2, dev_ioctl(fd(), MEMGETINFO, &i));
        if (r.num(2) == 0) {
            EXPECT_EQ(fields(r, 3, 5), nums({i.type, i.flags, i.size, i.erasesize, i.writesize}));
        }
    } else if (op == "fdgone") {
        EXPECT_EQ(-1, fcntl(seen.at(r[1]), F_GETFD));
    } else if (op == "ne") {
        EXPECT_NE(seen.at(r[1]), seen.at(r[2]));
    } else if (op == "handle") { // names bus N's descriptor
        seen[r[1]] = i2c_handles[r.num(2)];
    } else if (op == "file") {
        Bytes want = bytesOf(r[3]);
        EXPECT_BYTES(want, fileAt(r[1], size_t(r.num(2)), want.size()));
    } else if (op == "size") {
        EXPECT_EQ(size_t(r.num(2)), board->file(r[1]).size());
    } else if (op == "text") {
        EXPECT_EQ(r.rest(2), readText(board->path(r[1])));
    } else if (op == "log") {
        std::string log = readText(board->path("events.log"));
        EXPECT_EQ(r.rest(1), std::regex_replace(log, std::regex("(^|\n)[0-9]+\\.[0-9]{6} "), "$1"));
    } else if (op == "haspat") { // flash/PART.bin [0, N) holds the pattern but DATA at OFF
        Bytes want = bytesOf("pat:" + r[2]), data = bytesOf(r[4]);
        std::copy(data.begin(), data.end(), want.begin() + r.num(3));
        EXPECT_BYTES(want, fileAt("flash/" + r[1] + ".bin", 0, want.size()));
    } else if (op == "pattern") {
        Bytes b = bytesOf("pat:" + r[2]);
        ASSERT_EQ(ssize_t(b.size()), dev_pwrite(part(r[1]), b.data(), b.size(), 0));
    } else if (op == "poke") {
        if (r[4] != "noreset") closeAll();
        board->poke(r[1], size_t(r.num(2)), bytesOf(r[3]), r[4] != "noreset");
    } else if (op == "rm") {
        emu_reset();
        ASSERT_EQ(0, unlink(board->path(r[1]).c_str()));
    } else if (op == "conf") {
        closeAll();
        board->configure(r.rest(1));
    } else if (op == "board") {
        closeAll();
        board.reset();
        board = std::make_unique<TempBoard>(uint32_t(r.num(1)));
    } else if (op == "reset") {
        emu_reset();
        fds.clear();
    } else if (op == "env") {
        r[2] == "-" ? unsetenv(r[1].c_str()) : setenv(r[1].c_str(), r[2].c_str(), 1);
    } else if (op == "failnth") {
        emu_fail_nth_write(int(r.num(1)), int(r.num(2)), int(r.num(3)));
    } else if (op == "leds") {
        Bytes got;
        for (auto [reg, val] : emu_led_writes()) got.insert(got.end(), {reg, val});
        EXPECT_BYTES(bytesOf(r[1]), got);
    } else if (op == "note") {
        dev_note_event(r.rest(1).c_str());
    } else if (op == "slept") {
        EXPECT_EQ(uint64_t(r.num(1)), g_slept);
        g_slept = 0;
    } else if (op == "xfers") {
        EXPECT_EQ(uint64_t(r.num(1)), emu_i2c_transfer_count() - transfers);
        transfers = emu_i2c_transfer_count();
    } else if (op == "out") {
        EXPECT_EQ(r.rest(1), printed);
        printed.clear();
    } else if (op == "buses") {
        shown([&] { expectRet(r, 1, i2c_open_buses()); });
    } else if (op == "closebuses") {
        EXPECT_EQ(0, i2c_close_buses());
    } else if (op == "handles") { // '+' an open descriptor (each its own), '0' none
        std::string want = r[1] + r[2] + r[3], got;
        for (int bus = 0; bus < I2C_BUS_COUNT; ++bus)
            got += i2c_handles[bus] > 2 && (!bus || i2c_handles[bus] != i2c_handles[bus - 1]) ? "+"
                   : i2c_handles[bus] == 0                                                    ? "0"
                                                                                              : "?";
        EXPECT_EQ(want, got);
    } else if (op == "parts") { // all six open but those named
        EXPECT_EQ(1, mtd_open_partitions());
        for (const char* p : {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"}) {
            const bool named = std::find(r.f.begin(), r.f.end(), p) != r.f.end();
            EXPECT_EQ(named, part(p) < 0) << p;
            EXPECT_TRUE(named || part(p) > 2) << p;
        }
    } else if (op == "geom") {
        mtd_geometry g{};
        int ret = 0;
        shown([&] { ret = mtd_get_geometry(part(r[1]), &g); });
        EXPECT_EQ(r.num(2), ret);
        if (ret) {
            EXPECT_EQ(fields(r, 3, 4),
                      nums({g.block_count, g.erase_size, g.erase_shift, uint64_t(g.total_size)}));
        }
    } else if (op == "create") { // DIR SERIAL|- ERASE = 1|0: a new board's layout
        std::string error;
        const std::string dir = r[1][0] == '/' ? r[1] : board->path(r[1]);
        const bool ok = emu_create_board(dir.c_str(), r[2] == "-" ? nullptr : r[2].c_str(),
                                         uint32_t(r.num(3)), &error);
        EXPECT_EQ(r.num(5), ok);
        EXPECT_EQ(ok, error.empty()) << error;
    } else if (op == "removeboard") {
        emu_remove_board(board->path(r[1]).c_str());
    } else if (op == "stat") { // PATH dir|none
        struct stat st {};
        const int got = stat(board->path(r[1]).c_str(), &st);
        EXPECT_EQ(r[2], got ? "none" : S_ISDIR(st.st_mode) ? "dir" : "other");
    } else if (op == "call") {
        call(r);
    } else {
        FAIL() << "unknown step " << op;
    }
}

// call FUNCTION ARGUMENTS... = RETURN [BYTES of the buffer it filled]
void BoardScript::call(const Row& r) {
    const std::string& fn = r[1];
    size_t eq = 2;
    while (eq < r.f.size() && r[eq] != "=") ++eq;
    ASSERT_LT(eq, r.f.size()) << "no = in the call";
    auto a = [&](size_t i) { return r.num(2 + i); };
    long ret = 0;
    Bytes buf;
    int error = 0;
    auto run = [&](auto f) {
        shown([&] {
            ret = long(f());
            error = errno;
        });
    };
    if (fn == "mtd_write" || fn == "flash_write") { // PART OFF LEN DATA PROGRESS [GEOMETRY]
        buf = r[5] == "null" ? Bytes() : bytesOf(r[5]);
        const uint8_t* data =
            r[5] == "null" ? nullptr : (buf.resize(std::max<size_t>(buf.size(), a(2))), buf.data());
        const int h = part(r[2]);
        mtd_geometry g{0, 0, 0, 10u << 20};
        if (r[7] == "part") mtd_get_geometry(h, &g);
        if (fn == "mtd_write")
            run([&] { return mtd_write(data, h, uint32_t(a(1)), uint32_t(a(2)), r[6] == "1"); });
        else
            run([&] {
                return flash_write(data, h, uint32_t(a(2)), uint32_t(a(1)), r[6] == "1",
                                   r[7] == "null" ? nullptr : &g);
            });
        buf.clear();
    } else if (fn == "mtd_read") { // PART OFF LEN: the buffer starts as ab bytes
        buf.assign(size_t(a(2)), 0xAB);
        run([&] { return mtd_read(buf.data(), part(r[2]), uint32_t(a(1)), uint32_t(a(2))); });
    } else if (fn == "erase_block") {
        run([&] { return mtd_erase_block(part(r[2]), uint32_t(a(1)), uint32_t(a(2))); });
    } else if (fn == "mtd_pwrite" || fn == "mtd_pread") {
        uint8_t byte = 0;
        run([&] {
            return fn == "mtd_pwrite" ? mtd_pwrite(part(r[2]), uint32_t(a(1)), 1, &byte)
                                      : mtd_pread(part(r[2]), uint32_t(a(1)), 1, &byte);
        });
    } else if (fn == "boot_slot") {
        run([] { return board_get_boot_slot(); });
    } else if (fn == "set_boot_slot") {
        run([&] { return board_set_boot_slot(uint8_t(a(0))); });
    } else if (fn == "set_boot_source") {
        run([&] { return board_set_boot_source(uint8_t(a(0))); });
    } else if (fn == "usb_boot") {
        run([] { return board_get_usb_boot(); });
    } else if (fn == "led_write") {
        run([&] { return led_reg_write(uint8_t(a(0)), uint8_t(a(1))); });
    } else if (fn == "led_read") { // REG INITIAL
        buf = {uint8_t(a(1))};
        run([&] { return led_reg_read(uint8_t(a(0)), buf.data()); });
    } else if (fn == "rtc_read") {
        buf.assign(7, 0);
        run([&] { return rtc_read(buf.data()); });
    } else if (fn == "serial") { // INITIAL
        buf = bytesOf(r[2]);
        run([&] { return board_read_serial(buf.data()); });
    } else if (fn == "read_regs") { // BUS DEVICE8 OFFSET COUNT WIDTH INITIAL
        buf.assign(size_t(a(3)), uint8_t(a(5)));
        run([&] {
            return i2c_read_regs(int(a(0)), int(a(1)), uint16_t(a(2)), int(a(3)), int(a(4)),
                                 buf.data());
        });
    } else if (fn == "board_read") { // OFFSET COUNT
        buf.assign(size_t(a(1)), 0);
        run([&] { return board_read(uint16_t(a(0)), int(a(1)), buf.data()); });
    } else if (fn == "record_read") { // the floor record, over aa bytes
        buf.assign(3, 0xAA);
        run([&] { return board_record_read(kFloor, buf.data()); });
    } else if (fn == "record_write") { // BYTES
        const Bytes v = bytesOf(r[2]);
        run([&] { return board_record_write(kFloor, v.data()); });
    } else if (fn == "set_stamp") { // SLOT STAMP
        Bytes stamp = bytesOf(r[3]);
        run([&] { return board_set_image_timestamp(int(a(0)), stamp.data()); });
    } else if (fn == "stamp") {
        run([&] { return board_stamp_image(int(a(0))); });
    } else if (fn == "mux") {
        run([&] { return i2c_mux_select(int(a(0)), int(a(1))), 0; });
    } else if (fn == "demux") {
        run([&] { return i2c_mux_deselect(int(a(0))), 0; });
    } else {
        FAIL() << "unknown function " << fn;
    }
    errno = error;
    expectCall(r, eq + 1, ret, buf);
}

TEST_P(BoardScript, Runs) {
    for (const Row& r : GetParam().steps) {
        SCOPED_TRACE(r.where + ": " + r[0] + " " + r[1] + " " + r[2]);
        step(r);
        if (HasFatalFailure()) return;
    }
}
INSTANTIATE_TEST_SUITE_P(Emu, BoardScript, testing::ValuesIn(scripts("board/emu.txt")), scriptName);
INSTANTIATE_TEST_SUITE_P(Flash, BoardScript, testing::ValuesIn(scripts("board/flash.txt")),
                         scriptName);
INSTANTIATE_TEST_SUITE_P(I2c, BoardScript, testing::ValuesIn(scripts("board/i2c.txt")), scriptName);

} // namespace
