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

// Set by open_below when a path step is not what a board holds there.
#define EFTYPE_REFUSED EMEDIUMTYPE

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

namespace {

// Opens one board file for sim_open_board_file; see there.
int open_below(const std::string& board, const std::string& relative, int flags) {
    int dir = open(board.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return -1;
    size_t start = 0;
    for (;;) {
        size_t slash = relative.find('/', start);
        std::string part =
            relative.substr(start, slash == std::string::npos ? slash : slash - start);
        if (slash == std::string::npos) {
            // A FIFO must not block the open, and no link is followed.
            struct stat st;
            int fd = -1;
            if (fstatat(dir, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) {
                errno = EFTYPE_REFUSED;
            } else {
                fd = openat(dir, part.c_str(),
                            flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
                if (fd < 0 && errno == ELOOP) errno = EFTYPE_REFUSED;
            }
            int saved = errno;
            close(dir);
            errno = saved;
            return fd;
        }
        int next = openat(dir, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int saved = errno;
        close(dir);
        if (next < 0) {
            errno = saved == ELOOP || saved == ENOTDIR ? EFTYPE_REFUSED : saved;
            return -1;
        }
        dir = next;
        start = slash + 1;
    }
}

} // namespace

int sim_open_board_file(const std::string& board, const std::string& relative, int flags,
                        uint64_t max_size, bool missing_ok) {
    std::string shown = board + "/" + relative;
    int fd = open_below(board, relative, flags);
    if (fd < 0) {
        if (errno == ENOENT && missing_ok) return -1;
        if (errno == EFTYPE_REFUSED) {
            sim_error("%s: not a regular file (a link, FIFO, device or directory); refused",
                      shown.c_str());
        } else {
            sim_error("%s: %s", shown.c_str(), strerror(errno));
        }
        errno = EINVAL;
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        sim_error("%s: not a regular file (a link, FIFO, device or directory); refused",
                  shown.c_str());
        close(fd);
        errno = EINVAL;
        return -1;
    }
    if (uint64_t(st.st_size) > max_size) {
        sim_error("%s: larger than %llu bytes; refused", shown.c_str(),
                  static_cast<unsigned long long>(max_size));
        close(fd);
        errno = EFBIG;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool sim_read_file(const std::string& board, const std::string& relative,
                   std::vector<uint8_t>* data, size_t max_size) {
    int fd = sim_open_board_file(board, relative, O_RDONLY, max_size, false);
    if (fd < 0) return false;
    struct stat st;
    fstat(fd, &st);
    data->assign(size_t(st.st_size), 0);
    size_t done = 0;
    while (done < data->size()) {
        ssize_t n = read(fd, data->data() + done, data->size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            sim_error("%s/%s: read failed", board.c_str(), relative.c_str());
            close(fd);
            return false;
        }
        done += size_t(n);
    }
    close(fd);
    return true;
}

bool sim_write_at(const std::string& board, const std::string& relative, uint64_t max_size,
                  uint64_t offset, const uint8_t* data, size_t length) {
    int fd = sim_open_board_file(board, relative, O_WRONLY, max_size, false);
    if (fd < 0) return false;
    std::string path = board + "/" + relative;
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

bool sim_write_all(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= size_t(n);
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

namespace {

const char* file_kind(mode_t mode) {
    switch (mode & S_IFMT) {
    case S_IFREG:
        return "a regular file";
    case S_IFDIR:
        return "a directory";
    case S_IFLNK:
        return "a symbolic link";
    case S_IFIFO:
        return "a FIFO";
    case S_IFCHR:
    case S_IFBLK:
        return "a device";
    default:
        return "a socket";
    }
}

} // namespace

bool sim_open_board(const std::string& dir, std::string* absolute) {
    char* resolved = realpath(dir.c_str(), nullptr);
    if (resolved == nullptr) {
        sim_error("%s: %s", dir.c_str(), strerror(errno));
        return false;
    }
    *absolute = resolved;
    free(resolved);
    // The sandbox may have replaced any of these by a link: none is followed. user/ and usb/
    // are mounted into the sandbox writable: they must be the board's own directories, not
    // links to somewhere else on the host.
    struct entry {
        const char* name;
        mode_t type;
    };
    const entry entries[] = {{"", S_IFDIR},
                             {"/eeprom.bin", S_IFREG},
                             {"/flash", S_IFDIR},
                             {"/user", S_IFDIR},
                             {"/usb", S_IFDIR}};
    for (const entry& e : entries) {
        struct stat st;
        if (lstat((*absolute + e.name).c_str(), &st) != 0) {
            if (strcmp(e.name, "/usb") == 0) continue; // a board without a USB stick
            sim_error("%s: not a simulated board: %s is missing (make one with: switch-sim new "
                      "DIR)",
                      dir.c_str(), e.name[0] ? e.name + 1 : "the directory");
            return false;
        }
        if ((st.st_mode & S_IFMT) != e.type) {
            sim_error("%s%s: %s, not a %s; refused", dir.c_str(), e.name, file_kind(st.st_mode),
                      e.type == S_IFDIR ? "directory of its own" : "regular file");
            return false;
        }
    }
    return true;
}

uint32_t sim_crc32(const uint8_t* data, size_t length) {
    // The common CRC-32 is the complement of the image CRC.
    return ~image_crc32(data, length, IMAGE_CRC_START);
}
