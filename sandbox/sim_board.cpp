// switch-sim commands on the board files: new, env, eeprom.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "sandbox/emu.h"
#include "sandbox/sim_common.h"

namespace {

const size_t max_env_partition = 16u * 1024u * 1024u;

bool directory_is_empty(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return false;
    bool empty = true;
    while (dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
            empty = false;
            break;
        }
    }
    closedir(dir);
    return empty;
}

const char env_file[] = "flash/ubootenv.bin";

int list_environment(const std::string& dir, const std::string& board) {
    std::vector<uint8_t> part;
    if (!sim_read_file(board, env_file, &part, max_env_partition)) return 1;
    if (part.size() < 5) {
        sim_error("%s/%s: environment partition too small", board.c_str(), env_file);
        return 1;
    }
    bool erased = true;
    for (uint8_t b : part) erased = erased && b == 0xFF;
    if (erased) {
        sim_error("%s: the environment partition is erased", dir.c_str());
        return 0;
    }
    int status = 0;
    uint32_t stored = uint32_t(part[0]) << 24 | uint32_t(part[1]) << 16 | uint32_t(part[2]) << 8 |
                      uint32_t(part[3]);
    uint32_t computed = sim_crc32(part.data() + 4, part.size() - 4);
    if (stored != computed) {
        sim_error("%s: environment CRC mismatch (stored 0x%08X, computed 0x%08X)", dir.c_str(),
                  stored, computed);
        status = 1;
    }
    size_t pos = 4;
    while (pos < part.size() && part[pos] != 0) {
        const void* nul = memchr(part.data() + pos, 0, part.size() - pos);
        if (nul == nullptr) {
            sim_error("%s: unterminated environment entry at offset %zu", dir.c_str(), pos);
            return 1;
        }
        size_t end = size_t(static_cast<const uint8_t*>(nul) - part.data());
        fwrite(part.data() + pos, 1, end - pos, stdout);
        fputc('\n', stdout);
        pos = end + 1;
    }
    return status;
}

int write_environment(const std::string& board, int count, char** pairs) {
    std::vector<uint8_t> part;
    if (!sim_read_file(board, env_file, &part, max_env_partition)) return 1;
    if (part.size() < 5) {
        sim_error("%s/%s: environment partition too small", board.c_str(), env_file);
        return 1;
    }
    std::vector<uint8_t> area(part.size() - 4, 0xFF);
    std::set<std::string> keys;
    size_t pos = 0;
    for (int i = 0; i < count; ++i) {
        const char* eq = strchr(pairs[i], '=');
        if (eq == nullptr || eq == pairs[i]) {
            sim_error("'%s': expected KEY=VALUE with a non-empty key", pairs[i]);
            return 2;
        }
        std::string key(pairs[i], size_t(eq - pairs[i]));
        if (!keys.insert(key).second) {
            sim_error("'%s': key given twice", key.c_str());
            return 2;
        }
        if (eq[1] == '\0') continue; // KEY= leaves KEY out, as the boot loader's setenv does
        size_t length = strlen(pairs[i]) + 1;
        // Room must stay for this entry and the empty entry that ends the list.
        if (length + 1 > area.size() - pos) {
            sim_error("the entries do not fit in the %zu-byte environment", area.size());
            return 2;
        }
        memcpy(area.data() + pos, pairs[i], length);
        pos += length;
    }
    area[pos] = 0;
    uint32_t crc = sim_crc32(area.data(), area.size());
    part[0] = uint8_t(crc >> 24);
    part[1] = uint8_t(crc >> 16);
    part[2] = uint8_t(crc >> 8);
    part[3] = uint8_t(crc);
    memcpy(part.data() + 4, area.data(), area.size());
    return sim_write_at(board, env_file, max_env_partition, 0, part.data(), part.size()) ? 0 : 1;
}

} // namespace

// switch-sim new DIR [--serial TEXT] [--erase-size BYTES]
int sim_cmd_new(int argc, char** argv) {
    std::string dir;
    const char* serial = nullptr;
    uint64_t erase_size = SIM_DEFAULT_ERASE_SIZE;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--serial" || arg == "--erase-size") && i + 1 >= argc) {
            sim_error("%s needs a value", argv[i]);
            return 2;
        }
        if (arg == "--serial" && i + 1 < argc) {
            serial = argv[++i];
        } else if (arg == "--erase-size" && i + 1 < argc) {
            if (!sim_parse_number(argv[++i], 0xFFFFFFFFu, &erase_size)) {
                sim_error("--erase-size: '%s' is not a number", argv[i]);
                return 2;
            }
        } else if (arg.empty() || arg[0] == '-' || !dir.empty()) {
            sim_error("new: unexpected argument '%s'", argv[i]);
            return 2;
        } else {
            dir = arg;
        }
    }
    if (dir.empty()) {
        sim_error("usage: switch-sim new DIR [--serial TEXT] [--erase-size BYTES]");
        return 2;
    }
    if (serial != nullptr && strlen(serial) > SIM_EEPROM_SERIAL_LEN) {
        sim_error("--serial: at most %d characters", int(SIM_EEPROM_SERIAL_LEN));
        return 2;
    }
    // Every partition must be a whole number of erase blocks, and the flash writer
    // rewrites a block in 1 KiB pieces.
    bool power_of_two = (erase_size & (erase_size - 1)) == 0;
    if (!power_of_two || erase_size < 1024 || erase_size > SIM_ENV_PARTITION_SIZE) {
        sim_error("--erase-size: a power of two from 1024 to %u bytes",
                  unsigned(SIM_ENV_PARTITION_SIZE));
        return 2;
    }
    struct stat st;
    if (lstat(dir.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode) || !directory_is_empty(dir)) {
            sim_error("%s: exists and is not an empty directory; refusing to make a board there",
                      dir.c_str());
            return 1;
        }
    }
    std::string error;
    if (!emu_create_board(dir.c_str(), serial, uint32_t(erase_size), &error)) {
        sim_error("%s", error.c_str());
        return 1;
    }
    return 0;
}

// switch-sim env DIR [KEY=VALUE ...]
int sim_cmd_env(int argc, char** argv) {
    if (argc < 2) {
        sim_error("usage: switch-sim env DIR [KEY=VALUE ...]");
        return 2;
    }
    std::string board;
    if (!sim_open_board(argv[1], &board)) return 1;
    if (argc == 2) return list_environment(argv[1], board);
    return write_environment(board, argc - 2, argv + 2);
}

// switch-sim eeprom DIR OFFSET [BYTE ...]
int sim_cmd_eeprom(int argc, char** argv) {
    if (argc < 3) {
        sim_error("usage: switch-sim eeprom DIR OFFSET [BYTE ...]");
        return 2;
    }
    std::string board;
    if (!sim_open_board(argv[1], &board)) return 1;
    std::vector<uint8_t> eeprom;
    if (!sim_read_file(board, "eeprom.bin", &eeprom, SIM_EEPROM_SIZE)) return 1;
    uint64_t offset = 0;
    if (!sim_parse_number(argv[2], 0xFFFFFFFFu, &offset) || offset >= eeprom.size()) {
        sim_error("eeprom: offset '%s' is not within 0 to 0x%zX", argv[2], eeprom.size() - 1);
        return 2;
    }
    if (argc == 3) {
        printf("0x%02X\n", eeprom[offset]);
        return 0;
    }
    size_t count = size_t(argc - 3);
    if (count > eeprom.size() - offset) {
        sim_error("eeprom: %zu bytes at 0x%llX run past the end (0x%zX)", count,
                  static_cast<unsigned long long>(offset), eeprom.size());
        return 2;
    }
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < count; ++i) {
        uint64_t value = 0;
        if (!sim_parse_number(argv[3 + i], 0xFF, &value)) {
            sim_error("eeprom: '%s' is not a byte value (0 to 255 or 0x00 to 0xFF)", argv[3 + i]);
            return 2;
        }
        bytes.push_back(uint8_t(value));
    }
    return sim_write_at(board, "eeprom.bin", SIM_EEPROM_SIZE, offset, bytes.data(), bytes.size())
               ? 0
               : 1;
}
