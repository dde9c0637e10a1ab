// Creation of simulated board directories (layout in board_layout.h).
#include "sandbox/emu.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct FlashFile {
    const char* name;
    uint64_t size;
};

const FlashFile kFlashFiles[] = {
    {"uboot", 512u * 1024u},        {"ubootenv", 64u * 1024u},    {"devicetree", 256u * 1024u},
    {"kernel", 8u * 1024u * 1024u}, {"rfs", 10u * 1024u * 1024u}, {"rescue", 10u * 1024u * 1024u},
};

constexpr size_t kEepromSize = 65536;
constexpr size_t kSerialOffset = 0x000D;
constexpr size_t kSerialLen = 12;
constexpr size_t kBootSlotOffset = 0x0100;
constexpr size_t kUsbBootOffset = 0x013B;

bool fail(std::string* error, const std::string& what) {
    if (error) *error = what + ": " + strerror(errno);
    return false;
}

bool make_dir(const std::string& path) {
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

// Writes size bytes: data repeated from the start (when data is shorter, the rest is fill).
bool write_file(const std::string& path, const uint8_t* data, size_t data_len, uint64_t size,
                uint8_t fill) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::vector<uint8_t> chunk(65536, fill);
    uint64_t done = 0;
    bool ok = true;
    while (ok && done < size) {
        size_t piece = static_cast<size_t>(std::min<uint64_t>(size - done, chunk.size()));
        const uint8_t* src = chunk.data();
        if (done < data_len) {
            piece = static_cast<size_t>(std::min<uint64_t>(piece, data_len - done));
            src = data + done;
        }
        ssize_t w = write(fd, src, piece);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            ok = false;
            break;
        }
        done += static_cast<uint64_t>(w);
    }
    int saved = errno;
    if (close(fd) != 0 && ok) return false;
    errno = saved;
    return ok;
}

} // namespace

bool emu_create_board(const char* dir, const char* serial, uint32_t erase_size,
                      std::string* error) {
    if (!dir || !*dir) {
        errno = EINVAL;
        return fail(error, "board directory");
    }
    std::string base = dir;
    if (!make_dir(base)) return fail(error, base);
    if (!make_dir(base + "/flash")) return fail(error, base + "/flash");
    if (!make_dir(base + "/user")) return fail(error, base + "/user");

    for (const FlashFile& ff : kFlashFiles) {
        std::string path = base + "/flash/" + ff.name + ".bin";
        if (!write_file(path, nullptr, 0, ff.size, 0xFF)) return fail(error, path);
    }

    std::vector<uint8_t> eeprom(kEepromSize, 0xFF);
    memset(&eeprom[kSerialOffset], 0x00, kSerialLen);
    if (serial) memcpy(&eeprom[kSerialOffset], serial, strnlen(serial, kSerialLen));
    eeprom[kBootSlotOffset] = 1;
    eeprom[kUsbBootOffset] = 0x00;
    std::string eeprom_path = base + "/eeprom.bin";
    if (!write_file(eeprom_path, eeprom.data(), eeprom.size(), eeprom.size(), 0xFF)) {
        return fail(error, eeprom_path);
    }

    std::string conf = "erase_size=" + std::to_string(erase_size) + "\n";
    std::string conf_path = base + "/board.conf";
    if (!write_file(conf_path, reinterpret_cast<const uint8_t*>(conf.data()), conf.size(),
                    conf.size(), 0)) {
        return fail(error, conf_path);
    }
    return true;
}

std::string emu_make_temp_board(const char* serial, uint32_t erase_size) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/emu-board-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) return "";
    std::string dir = name.data();
    if (!emu_create_board(dir.c_str(), serial, erase_size, nullptr)) {
        emu_remove_board(dir);
        return "";
    }
    emu_set_board_dir(dir.c_str());
    return dir;
}

void emu_remove_board(const std::string& dir) {
    if (dir.empty() || dir == "/") return;
    if (dir == emu_board_dir()) emu_reset(); // drop descriptors into the files first
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}
