// Small helpers shared by the switch-sim commands.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "image/image.h"
#include "sandbox/sim_common.h"

void sim_error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    fputs("switch-sim: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
}

bool sim_parse_number(const char* text, uint64_t max, uint64_t* value) {
    if (text == nullptr || *text == '\0') return false;
    unsigned base = 10;
    const char* p = text;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
        if (*p == '\0') return false;
    }
    uint64_t result = 0;
    for (; *p != '\0'; ++p) {
        unsigned digit;
        if (*p >= '0' && *p <= '9') {
            digit = unsigned(*p - '0');
        } else if (base == 16 && *p >= 'a' && *p <= 'f') {
            digit = unsigned(*p - 'a' + 10);
        } else if (base == 16 && *p >= 'A' && *p <= 'F') {
            digit = unsigned(*p - 'A' + 10);
        } else {
            return false;
        }
        if (result > (max - digit) / base) return false;
        result = result * base + digit;
    }
    *value = result;
    return true;
}

bool sim_read_file(const std::string& path, std::vector<uint8_t>* data, size_t max_size) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        sim_error("%s: %s", path.c_str(), strerror(errno));
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || uint64_t(st.st_size) > max_size) {
        sim_error("%s: not a regular file of at most %zu bytes", path.c_str(), max_size);
        close(fd);
        return false;
    }
    data->assign(size_t(st.st_size), 0);
    size_t done = 0;
    while (done < data->size()) {
        ssize_t n = read(fd, data->data() + done, data->size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            sim_error("%s: read failed", path.c_str());
            close(fd);
            return false;
        }
        done += size_t(n);
    }
    close(fd);
    return true;
}

bool sim_write_at(const std::string& path, uint64_t offset, const uint8_t* data, size_t length) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        sim_error("%s: %s", path.c_str(), strerror(errno));
        return false;
    }
    size_t done = 0;
    while (done < length) {
        ssize_t n = pwrite(fd, data + done, length - done, off_t(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            sim_error("%s: write failed: %s", path.c_str(), strerror(errno));
            close(fd);
            return false;
        }
        done += size_t(n);
    }
    if (close(fd) != 0) {
        sim_error("%s: write failed: %s", path.c_str(), strerror(errno));
        return false;
    }
    return true;
}

bool sim_is_directory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool sim_is_file(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool sim_open_board(const std::string& dir, std::string* absolute) {
    char* resolved = realpath(dir.c_str(), nullptr);
    if (resolved == nullptr) {
        sim_error("%s: %s", dir.c_str(), strerror(errno));
        return false;
    }
    *absolute = resolved;
    free(resolved);
    if (!sim_is_directory(*absolute) || !sim_is_file(*absolute + "/eeprom.bin") ||
        !sim_is_directory(*absolute + "/flash") || !sim_is_directory(*absolute + "/user")) {
        sim_error("%s: not a simulated board (make one with: switch-sim new DIR)", dir.c_str());
        return false;
    }
    // user/ and usb/ are mounted into the sandbox writable: they must be the board's own
    // directories, not links to somewhere else on the host.
    for (const char* sub : {"/user", "/usb"}) {
        struct stat st;
        if (lstat((*absolute + sub).c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
            sim_error("%s%s: must be a directory of its own, not a link or a file", dir.c_str(),
                      sub);
            return false;
        }
    }
    return true;
}

uint32_t sim_crc32(const uint8_t* data, size_t length) {
    // The common CRC-32 is the complement of the image CRC.
    return ~image_crc32(data, length, IMAGE_CRC_START);
}
