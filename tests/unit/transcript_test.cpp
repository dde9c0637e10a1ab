// Golden console transcripts (tests/data/transcripts/*.txt, format in its README): each case
// sets up a fresh emulated board whose directory is the file root, calls named entry points in
// a child process with the operator's keys on descriptor 0, and compares the console bytes
// (standard output and error), the commands handed to the shell (recorded, never run), the
// return status and the files left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <map>
#include <net/if.h>
#include <pty.h>
#include <regex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <utility>
#include <unistd.h>

#include "board/i2c.h"
#include "board/mtd.h"
#include "boot/console.h"
#include "boot/env.h"
#include "boot/launch.h"
#include "boot/startup.h"
#include "boot/usb.h"
#include "crypto/asn1/keys.h"
#include "image/image.h"
#include "crypto/platform/platform.h"
#include "rescue/download.h"
#include "rescue/network.h"
#include "rescue/rescue.h"
#include "security/keys.h"
#include "security/lowsec.h"
#include "security/signature.h"
#include "tests/common/board.h"
#include "tests/common/data.h"
#include "tests/common/image.h"
#include "tests/common/rows.h"

namespace {

namespace fs = std::filesystem;
using testutil::Bytes;
using Words = std::vector<std::string>;

using testutil::unescape;

Words words(const std::string& s) {
    std::istringstream in(s);
    Words w;
    for (std::string x; in >> x;) w.push_back(x);
    return w;
}

struct Case {
    std::string where, name;
    std::vector<std::pair<std::string, std::string>> f;
    Words all(const std::string& key) const {
        Words v;
        for (const auto& [k, value] : f)
            if (k == key) v.push_back(value);
        return v;
    }
    bool has(const std::string& key) const { return !all(key).empty(); }
    std::string one(const std::string& key, const std::string& none = "") const {
        const Words v = all(key);
        return v.empty() ? none : v.back();
    }
    // Repeated lines of a text field, unescaped and joined.
    std::string text(const std::string& key) const {
        std::string s;
        for (const std::string& v : all(key)) s += unescape(v);
        return s;
    }
};

// Every case of every file: "case: NAME" starts one, "field: value" lines follow, "def: NAME
// value" defines ${NAME} for later lines of its file, '#' starts a comment line.
std::vector<Case> loadCases() {
    std::vector<Case> cases;
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(testutil::dataPath("transcripts")))
        if (e.path().extension() == ".txt") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        std::map<std::string, std::string> defs;
        std::istringstream in(testutil::readText(file.string()));
        int n = 0;
        for (std::string line; std::getline(in, line);) {
            ++n;
            while (!line.empty() && isspace(static_cast<unsigned char>(line.back())))
                line.pop_back();
            for (size_t at; (at = line.find("${")) != std::string::npos;) {
                const size_t end = line.find('}', at);
                line.replace(at, end - at + 1, defs[line.substr(at + 2, end - at - 2)]);
            }
            const size_t colon = line.find(": ");
            if (line.empty() || line[0] == '#' || colon == std::string::npos) continue;
            const std::string key = line.substr(0, colon), value = line.substr(colon + 2);
            if (key == "def") {
                defs[value.substr(0, value.find(' '))] = value.substr(value.find(' ') + 1);
            } else if (key == "case") {
                const std::string where = file.filename().string() + ":" + std::to_string(n);
                cases.push_back(Case{where, file.stem().string() + "_" + value, {}});
            } else if (!cases.empty()) {
                cases.back().f.emplace_back(key, value);
            }
        }
    }
    if (cases.empty()) cases.push_back(Case{"no transcripts", "missing", {{"run", "missing"}}});
    return cases;
}

uint32_t number(const std::string& s) {
    static const std::map<std::string, uint32_t> names = {{"app", IMAGE_TYPE_APPLICATION},
                                                          {"kernel", IMAGE_TYPE_KERNEL},
                                                          {"rfs", IMAGE_TYPE_RFS},
                                                          {"diags", IMAGE_TYPE_DIAGNOSTICS}};
    return names.count(s) ? names.at(s) : uint32_t(std::stoll(s, nullptr, 0));
}

// Bytes from words: t:TEXT, x:HEX, N*HH, data:FILE, key:prod|dev (the built-in copy),
// sig:NAME[:K] (a record of signature/NAME.sig, K bytes short), rec:TAG:LEN (an empty record);
// plain:TYPE[:ID] ( DATA ), img3:TYPE:ID ( RECORDS ) ( DATA ), enc:SERIAL ( TEXT ); and on
// what came before: flip:OFF:MASK, be32:OFF:VALUE, pad:N, drop:N.
Bytes pattern(const Words& w, size_t& i) {
    Bytes b;
    auto group = [&] {
        EXPECT_EQ(w[i++], "(");
        Bytes g = pattern(w, i);
        ++i; // ")"
        return g;
    };
    while (i < w.size() && w[i] != ")") {
        const std::string t = w[i++];
        const std::string arg = t.substr(t.find(':') + 1), op = t.substr(0, t.find(':'));
        Words a;
        for (std::istringstream in(arg); a.emplace_back(), std::getline(in, a.back(), ':');) {
        }
        a.pop_back();
        if (op == "t") {
            const std::string s = unescape(arg);
            b.insert(b.end(), s.begin(), s.end());
        } else if (op == "x") {
            b = testutil::cat({b, testutil::unhex(arg)});
        } else if (t.find('*') != std::string::npos) {
            b.insert(b.end(), std::stoul(t), uint8_t(std::stoul(t.substr(t.find('*') + 1), 0, 16)));
        } else if (op == "data") {
            b = testutil::cat({b, testutil::dataFile(arg)});
        } else if (op == "key") {
            const char* k = arg == "prod" ? builtin_production_key : builtin_development_key;
            b.insert(b.end(), k, k + SYSTEM_KEY_COPY_LEN);
        } else if (op == "sig") {
            Bytes s = testutil::dataFile("signature/" + a[0] + ".sig");
            s.resize(s.size() - (a.size() > 1 ? number(a[1]) : 0));
            b = testutil::cat({b, testutil::sigRecord(s)});
        } else if (op == "rec") {
            b = testutil::cat({b, testutil::record(uint16_t(number(a[0])), {}, int(number(a[1])))});
        } else if (op == "plain") {
            const Bytes data = group();
            b = testutil::cat({b, testutil::plainImage(number(a[0]), data,
                                                       a.size() > 1 ? number(a[1]) : 0x01000001)});
        } else if (op == "img3") {
            const Bytes records = group(), data = group();
            b = testutil::cat({b, testutil::image3(number(a[0]), number(a[1]), records, data)});
        } else if (op == "enc") {
            const Bytes text = group();
            uint32_t n = 0;
            uint8_t* p = imgsign_encrypt(reinterpret_cast<const uint8_t*>(arg.data()), 12,
                                         text.data(), uint32_t(text.size()), &n);
            b.insert(b.end(), p, p + n);
            free(p);
        } else if (op == "flip") {
            b[number(a[0])] ^= uint8_t(number(a[1]));
        } else if (op == "be32") {
            image_put_be32(&b[number(a[0])], number(a[1]));
        } else if (op == "pad") {
            b.resize(number(arg), 0);
        } else if (op == "drop") {
            b.resize(b.size() - number(arg));
        } else {
            ADD_FAILURE() << "unknown bytes word " << t;
        }
    }
    return b;
}
Bytes pattern(const std::string& s) {
    size_t i = 0;
    return pattern(words(s), i);
}

// What the child records: commands, time slept, effects of its hooks.
struct Effect {
    std::string prefix, action, path;
    int nth, seen = 0;
};
struct Child {
    const testutil::TempBoard* board = nullptr;
    std::string root, results;
    Words commands;
    uint64_t slept = 0, sleep_file_at = 0;
    size_t logFrom = 0;
    int sleeps = 0, interrupt_from = 0, shell_result = 0, link = 0, flags = 0;
    unsigned long fail = 0;
    bool trace = false;
    std::string md5, sleep_file;
    std::vector<Effect> effects;
    void act(const std::string& action, const std::string& path) const {
        if (action == "fifo") mkfifo((root + path).c_str(), 0644);
        if (action == "file") std::ofstream(root + path) << "new";
        if (action == "dir") fs::create_directories(root + path);
    }
} g;

void note(const std::string& line) {
    if (g.trace)
        printf("%s\n", line.c_str());
    else
        g.commands.push_back(line);
}
std::string digestOf(const std::string& content) { // FNV-1a twice: equal contents, equal digests
    unsigned long long h[2] = {14695981039346656037ull, 1099511628211ull};
    for (unsigned long long& x : h)
        for (unsigned char c : content) x = (x ^ c) * 1099511628211ull;
    char hex[40];
    snprintf(hex, sizeof hex, "%016llx%016llx", h[0], h[1]);
    return hex;
}
int shell(const char* command) {
    const std::string c = command, md5 = "/bin/busybox md5sum '";
    note(g.trace ? "$ " + c : c);
    for (Effect& e : g.effects)
        if (c.rfind(e.prefix, 0) == 0 && (++e.seen == e.nth || e.nth == 0)) g.act(e.action, e.path);
    if (c.rfind(md5, 0) == 0) { // the digest of the file the command names, or the case's text
        const std::string file = g.root + c.substr(md5.size(), c.find("' > ") - md5.size());
        if (access(file.c_str(), R_OK) != 0) return 1;
        std::ofstream(g.root + "/tmp/img_md5string")
            << (g.md5.empty() ? digestOf(testutil::readText(file)) + "  x\n" : g.md5);
    }
    if (c == "mkdir -p /user/images/rejected") g.act("dir", "/user/images/rejected");
    if (c.rfind("touch '", 0) == 0) g.act("file", c.substr(7, c.size() - 8));
    return g.shell_result;
}
void sleep(uint64_t us) {
    g.slept += us;
    if (g.interrupt_from && us == 1000000 && ++g.sleeps >= g.interrupt_from)
        boot_env_flags.interrupted = 1;
    if (g.slept == g.sleep_file_at) g.act("file", g.sleep_file);
}
int exec(const char* path, char* const argv[]) {
    std::string line = std::string("exec ") + path;
    for (char* const* a = argv; a && *a; ++a) line += std::string(" [") + *a + "]";
    note(line);
    return -1;
}
int netifSocket() {
    return g.fail == 1 ? -1 : open("/dev/null", O_RDONLY | O_CLOEXEC);
}
// The management port eth0: its flags and link as the case says; asked by another name or
// for the link by another command word, it fails.
int netifIoctl(int, unsigned long request, void* arg) {
    auto* req = static_cast<ifreq*>(arg);
    if (request == g.fail || strcmp(req->ifr_name, "eth0") != 0) return -1;
    if (request == SIOCGIFFLAGS) req->ifr_flags = short(g.flags);
    if (request == SIOCETHTOOL) {
        auto* v = reinterpret_cast<ethtool_value*>(req->ifr_data);
        if (v->cmd != ETHTOOL_GLINK) return -1;
        v->data = g.link;
    }
    return 0;
}
int nextFd() {
    const int fd = dup(0);
    close(fd);
    return fd;
}

// Blue LED writes of the run: the values written, each once in order of first use, and
// the blinks (values with bit 6 clear).
std::pair<std::string, int> leds(const std::string& log) {
    std::string values;
    int blinks = 0;
    for (size_t at = 0; (at = log.find(" led reg=0x11 val=0x", at)) != std::string::npos;) {
        const std::string v = log.substr(at += 20, 2);
        if (values.find(v) == std::string::npos) values += (values.empty() ? "" : " ") + v;
        blinks += (std::stoi(v, nullptr, 16) & 0x40) == 0;
    }
    return {values.empty() ? "-" : values, blinks};
}

void put(const std::string& path, const std::string& text) {
    std::ofstream(g.results + path, std::ios::binary) << text;
}
void dump() {
    std::string commands;
    for (const std::string& c : g.commands) commands += c + '\0';
    put("commands", commands);
    put("slept", std::to_string(g.slept));
    put("interrupted", std::to_string(boot_env_flags.interrupted));
    const std::string log = testutil::readText(g.root + "/events.log");
    const auto [values, blinks] = leds(log.substr(std::min(log.size(), g.logFrom)));
    put("leds", values), put("blinks", std::to_string(blinks));
    char cwd[4096] = {};
    if (getcwd(cwd, sizeof cwd))
        put("cwd", std::string(cwd).substr(std::min(strlen(cwd), g.root.size())));
}

// The entry points a case may call with its words (a); each returns the status and may add
// to the result text (r).
std::string arg(const Words& a, size_t i) {
    return unescape(a.at(i));
}
int num(const Words& a, size_t i) {
    return int(number(a.at(i)));
}
using Entry = int (*)(const Words&, std::string&);
#define ENTRY(name, ...)                                                                           \
    {                                                                                              \
#name, [](const Words& a, std::string& r) { return (void)a, (void)r, int(__VA_ARGS__); }   \
    }
const std::map<std::string, Entry> kEntries = {
    ENTRY(read_key, read_key(num(a, 0))),
    ENTRY(get_key, get_key()),
    ENTRY(input_closed, console_input_closed()),
    ENTRY(ask_yes_no, ask_yes_no(arg(a, 0).c_str(), num(a, 1))),
    ENTRY(ask_yn_poll, ask_yn_poll(arg(a, 0).c_str())),
    ENTRY(poll_timeout, std::exchange(g_yn_poll_timeout_ms, num(a, 0))), // the last one
    ENTRY(stdin_null, dup2(open("/dev/null", O_RDONLY), 0) < 0),
    ENTRY(rescue_menu, rescue_menu()),
    ENTRY(rescue_diags, rescue_diags()),
    ENTRY(rescue_usb_install, rescue_usb_install()),
    ENTRY(rescue_tftp, rescue_tftp()),
    ENTRY(rescue_xmodem, rescue_xmodem()),
    ENTRY(network_setup, network_setup(true)),
    ENTRY(set_mac_address, set_mac_address()),
    ENTRY(mgmt_link_up, mgmt_link_up()),
    ENTRY(physical_presence_test, physical_presence_test()),
    ENTRY(wipe_system_keys, wipe_system_keys()),
    ENTRY(lowsec_is_enabled, lowsec_is_enabled()),
    ENTRY(lowsec_set, lowsec_set(num(a, 0))),
    ENTRY(check_system_keys, check_system_keys()),
    ENTRY(developer_images_running, developer_images_running()),
    ENTRY(boot_rescue_partition, boot_rescue_partition()),
    ENTRY(boot_image, boot_image(num(a, 0))),
    ENTRY(extract_gdb, extract_gdb(num(a, 0))),
    ENTRY(usb_wait_mount, usb_wait_mount()),
    ENTRY(usb_check_boot_image, (usb_check_boot_image(), 0)),
    ENTRY(usb_check_replacements, usb_check_replacements()),
    ENTRY(is_rejected, is_rejected(arg(a, 0).c_str())),
    ENTRY(reject_image, (reject_image(arg(a, 0).c_str()), 0)),
    ENTRY(set_clock_from_rtc, set_clock_from_rtc()),
    ENTRY(mount_user_filesystem, (mount_user_filesystem(), 0)),
    ENTRY(choose_boot_slot, choose_boot_slot()),
    ENTRY(reboot_board, (reboot_board(), 0)),
    ENTRY(show_installed_versions, show_installed_versions()),
    ENTRY(same_version, image_same_version(pattern(a.at(0)).data(), num(a, 1))),
    {"read_installed",
     [](const Words& a, std::string& r) {
         uint8_t out[16];
         memset(out, 0x55, sizeof out);
         const bool ok =
             image_read_installed_header(number(a.at(0)), a.size() > 2 ? nullptr : out, num(a, 1));
         return r += (ok ? testutil::hexOf(out, 16) : "-") + " ", int(ok);
     }},
    {"read_line", // the line then |; the status its length
     [](const Words& a, std::string& r) {
         char buf[64];
         memset(buf, 'Z', sizeof buf);
         r += read_line(buf, size_t(num(a, 0))) + std::string("|");
         return int(strlen(buf));
     }},
    {"load_system_key", // the result names the built-in key the record holds
     [](const Words& a, std::string& r) {
         system_key_record k;
         const int result = load_system_key(&k, a.at(0).c_str());
         const std::string text(reinterpret_cast<const char*>(k.text), result == 1 ? k.length : 0);
         r += text == builtin_production_key    ? "production"
              : text == builtin_development_key ? "development"
                                                : text;
         return result;
     }},
    {"verify", // a file's bytes; short:N hands over N fewer; a digest pattern: the caller's digest
     [](const Words& a, std::string&) {
         const Bytes b = testutil::readBytes(g.root + a.at(0));
         const bool isShort = a.size() > 1 && a[1].rfind("short:", 0) == 0;
         const size_t size = b.size() - (isShort ? number(a[1].substr(6)) : 0);
         if (a.size() == 1u + isShort) return verify_image_signature(b.data(), size);
         return verify_image_signature_digest(b.data(), size, pattern(a.back()).data());
     }},
    {"poke", // a board file rewritten under the running process
     [](const Words& a, std::string&) {
         size_t i = 2;
         g.board->poke(a.at(0), number(a.at(1)), pattern(a, i));
         return i2c_open_buses(), 0;
     }},
    {"verify_traced", // the signature over a digest of n bytes, with trace levels
     [](const Words& a, std::string&) {
         g_debugLevelMask |= uint32_t(num(a, 1));
         const Bytes digest = testutil::dataFile("signature/payload.sha256"),
                     sig = testutil::dataFile("signature/production.sig");
         return IMGSIGN_verifySignature(digest.data(), uint32_t(num(a, 0)), sig.data(), 256,
                                        reinterpret_cast<const uint8_t*>(builtin_production_key),
                                        451);
     }},
    {"image_md5",
     [](const Words& a, std::string& r) {
         char digest[33] = {};
         const int result = image_md5(arg(a, 0).c_str(), digest);
         return r += digest, result;
     }},
    {"date_command",
     [](const Words& a, std::string& r) {
         char out[64];
         const int result = format_date_command(testutil::unhex(a.at(0)).data(), out, sizeof out);
         return r += out, result;
     }},
};
#undef ENTRY

// In the child: descriptor 0 the keys (a pipe ending after them, or a raw terminal that
// stays open), standard output and error one unbuffered file, the hooks, then the runs.
[[noreturn]] void runChild(const Case& c) {
    alarm(20); // a dialogue waiting for a key it will never get
    const std::string keys = c.text("keys");
    int fds[2];
    termios t;
    if (c.has("tty") ? openpty(&fds[1], &fds[0], nullptr, nullptr, nullptr) || tcgetattr(fds[0], &t)
                     : pipe(fds))
        _exit(97);
    t.c_lflag &= ~tcflag_t(ECHO | ISIG | IEXTEN | ICANON);
    t.c_iflag &= ~tcflag_t(ICRNL | IXON);
    if (c.has("tty")) tcsetattr(fds[0], TCSANOW, &t);
    if (write(fds[1], keys.data(), keys.size()) != ssize_t(keys.size())) _exit(97);
    if (!c.has("tty")) close(fds[1]);
    dup2(fds[0], 0);
    g_shell_runner = shell, g_sleep_hook = sleep, g_exec_hook = exec;
    g_netif_socket = netifSocket, g_netif_ioctl = netifIoctl;
    boot_env_flags = {}; // whatever earlier suites of this process left there
    for (const std::string& f : c.all("flag")) {
        const Words w = words(f);
        const uint8_t v = uint8_t(number(w[1]));
        if (w[0] == "interrupted") boot_env_flags.interrupted = v;
        if (w[0] == "lowsec") boot_env_flags.lowsec = v;
        if (w[0] == "usb_boot") boot_env_flags.usb_boot = v;
    }
    g.link = c.has("link_up");
    g.flags = int(number(c.one("ifflags", g.link ? "0x41" : "0"))); // IFF_UP | IFF_RUNNING
    const std::map<std::string, unsigned long> ioctls = {
        {"socket", 1}, {"index", SIOCGIFINDEX}, {"flags", SIOCGIFFLAGS}, {"ethtool", SIOCETHTOOL}};
    if (c.has("ioctl_fail")) g.fail = ioctls.at(c.one("ioctl_fail"));
    g.shell_result = int(number(c.one("shell_result", "0")));
    g.trace = c.has("trace");
    g.md5 = c.text("md5");
    g.interrupt_from = int(number(c.one("sleep_interrupts", "0")));
    if (c.has("sleep_file"))
        g.sleep_file_at = number(words(c.one("sleep_file"))[0]),
        g.sleep_file = words(c.one("sleep_file"))[1];
    for (const std::string& e : c.all("effect")) {
        const Words w = words(e);
        g.effects.push_back(Effect{unescape(w[0]), w[2], w[3], int(number(w[1]))});
    }
    const int quiet = open("/dev/null", O_WRONLY),
              out = open((g.results + "console").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    fflush(stdout);
    dup2(quiet, 1);
    emu_reset();
    i2c_open_buses();
    mtd_open_partitions();
    BASE64_initTable();
    if (c.has("led")) led_reg_write(0x11, uint8_t(number(c.one("led"))));
    fflush(stdout);
    dup2(out, 1), dup2(out, 2);
    setvbuf(stdout, nullptr, _IONBF, 0);
    g.logFrom = testutil::readText(g.root + "/events.log").size();
    atexit(dump);
    const int fd = nextFd();
    errno = 0; // some messages show errno, left by whatever ran before
    std::string status, result;
    for (const std::string& run : c.all("run")) {
        Words w = words(run);
        const std::string name = w[0];
        w.erase(w.begin());
        if (!kEntries.count(name)) printf("no entry point %s\n", name.c_str()), exit(98);
        status += (status.empty() ? "" : " ") + std::to_string(kEntries.at(name)(w, result));
    }
    put("fds", nextFd() == fd ? "same" : "leaked");
    put("status", status);
    put("result", result);
    exit(0);
}

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.where;
}

// What the child reports besides its console, status and commands; a case checks those it names.
const char* const kResults[] = {"slept", "result", "leds", "blinks", "cwd", "fds", "interrupted"};

struct Transcript : testing::TestWithParam<Case> {};

TEST_P(Transcript, Replays) {
    const Case& c = GetParam();
    SCOPED_TRACE(c.where + " (" + c.name + ")");
    testutil::TempBoard board(65536, c.one("serial") == "-" ? "" : "SN0123456789");
    const char* savedRoot = g_fs_root;
    g_fs_root = board.dir.c_str();
    g.board = &board, g.root = board.dir, g.results = board.path(".t/");
    for (const char* d : {".t", "tmp", "user", "dev", "bin"}) fs::create_directories(board.path(d));
    for (const std::string& line : c.all("conf")) board.configure(unescape(line) + "\n");
    for (const auto& [key, value] : c.f) { // the files, in the order given
        const Words w = words(value);
        const std::string path = w.empty() ? "" : board.dir + w[0];
        size_t i = 1;
        if (key == "poke") board.poke(w[0], number(w[1]), (i = 2, pattern(w, i)), false);
        if (key == "file")
            fs::create_directories(fs::path(path).parent_path()),
                testutil::writeBytes(path, pattern(w, i));
        if (key == "dir") fs::create_directories(path);
        if (key == "rm") fs::remove_all(path);
        if (key == "link")
            fs::create_directories(fs::path(path).parent_path()),
                fs::create_symlink(w[1][0] == '$' ? board.dir + w[1].substr(5) : w[1], path);
    }
    emu_reset();
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) runChild(c);
    int wait = 0;
    waitpid(pid, &wait, 0);
    g_fs_root = savedRoot;
    auto got = [&](const std::string& name) { return testutil::readText(g.results + name); };
    std::string console = got("console");
    for (size_t at; (at = console.find(board.dir)) != std::string::npos;)
        console.replace(at, board.dir.size(), "$ROOT");
    // The install log's clock time, and what the case masks (text varying with the host).
    console =
        std::regex_replace(console, std::regex("[0-9]{2}:[0-9]{2}:[0-9]{2} on [0-9-]+"), "<time>");
    for (const std::string& mask : c.all("mask"))
        console = std::regex_replace(console, std::regex(mask), "<masked>");
    std::string status = got("status");
    if (status.empty())
        status = WIFEXITED(wait) ? "exit " + std::to_string(WEXITSTATUS(wait))
                                 : "signal " + std::to_string(WTERMSIG(wait));
    Words commands;
    const std::string all = got("commands");
    for (size_t at = 0, end; (end = all.find('\0', at)) != std::string::npos; at = end + 1)
        commands.push_back(all.substr(at, end - at));
    if (!c.has("or") || console != c.text("or")) {
        const std::string want = c.text("out");
        EXPECT_BYTES(Bytes(want.begin(), want.end()), Bytes(console.begin(), console.end()))
            << "the console:\n"
            << console;
    }
    EXPECT_EQ(c.one("status"), status);
    Words want;
    for (const std::string& cmd : c.all("cmd")) want.push_back(unescape(cmd));
    EXPECT_EQ(want, commands);
    for (const char* key : kResults) {
        if (!c.has(key)) continue;
        EXPECT_EQ(c.text(key), got(key)) << key;
    }
    for (const auto& [key, value] : c.f) {
        const Words w = words(value);
        const std::string path = w.empty() ? "" : board.dir + w[0];
        size_t i = 1;
        if (key == "has" || key == "gone") {
            EXPECT_EQ(fs::exists(fs::symlink_status(path)), key == "has") << w[0];
        } else if (key == "same") {
            EXPECT_BYTES(pattern(w, i), testutil::readBytes(path)) << w[0];
        } else if (key == "bytes") {
            const Bytes file = testutil::readBytes(path), part = (i = 2, pattern(w, i));
            const size_t at = std::min<size_t>(number(w[1]), file.size());
            EXPECT_BYTES(part, Bytes(file.begin() + at,
                                     file.begin() + std::min(file.size(), at + part.size())))
                << w[0];
        } else if (key == "mode") {
            EXPECT_EQ(fs::status(path).permissions() & fs::perms::mask,
                      fs::perms(std::stoul(w[1], nullptr, 8)))
                << w[0];
        }
    }
}

std::string caseName(const testing::TestParamInfo<Case>& info) {
    std::string name = info.param.name;
    for (char& ch : name)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Dialogues, Transcript, testing::ValuesIn(loadCases()), caseName);

} // namespace
