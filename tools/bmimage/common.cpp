// bmimage: messages, type words and versions, files, and the command-line helpers.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/bmimage/bmimage.h"

namespace bmimage {

namespace {

struct type_name {
    const char* name;
    uint32_t word;
};

const type_name type_names[] = {
    {"app", IMAGE_TYPE_APPLICATION},
    {"bootloader", IMAGE_TYPE_BOOTLOADER},
    {"kernel", IMAGE_TYPE_KERNEL},
    {"rootfs", IMAGE_TYPE_RFS},
    {"devicetree", IMAGE_TYPE_DEVICETREE},
    {"diags", IMAGE_TYPE_DIAGNOSTICS},
    {"kvrt", IMAGE_TYPE_KVRT},
};

} // namespace

void fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    fputs("bmimage: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
}

// A name of the table, or 0x followed by one to eight hexadecimal digits.
bool parse_type(const char* text, uint32_t* word) {
    for (const type_name& t : type_names) {
        if (strcmp(text, t.name) == 0) {
            *word = t.word;
            return true;
        }
    }
    if (text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return false;
    const char* digits = text + 2;
    size_t n = strlen(digits);
    if (n == 0 || n > 8 || strspn(digits, "0123456789abcdefABCDEF") != n) return false;
    *word = uint32_t(strtoul(digits, nullptr, 16));
    return true;
}

std::string describe_type(uint32_t word) {
    for (const type_name& t : type_names)
        if (word == t.word) return t.name;
    char text[16];
    snprintf(text, sizeof text, "0x%08x", word);
    return text;
}

// A.B.C.D, each 0 to 255, stored most significant first.
bool parse_version(const char* text, uint32_t* id) {
    uint32_t value = 0;
    const char* p = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *p++ != '.') return false;
        size_t n = strspn(p, "0123456789");
        if (n == 0 || n > 3) return false;
        uint32_t number = uint32_t(strtoul(std::string(p, n).c_str(), nullptr, 10));
        if (number > 255) return false;
        value = (value << 8) | number;
        p += n;
    }
    if (*p) return false;
    *id = value;
    return true;
}

std::string describe_version(const uint8_t* id) {
    char text[20];
    snprintf(text, sizeof text, "%d.%d.%d.%d", id[0], id[1], id[2], id[3]);
    return text;
}

// ---------------------------------------------------------------------------
// Files

bool read_file(const std::string& path, uint64_t max_size, bytes* data) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
        fail("%s: cannot open: %s", path.c_str(), strerror(errno));
        return false;
    }
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        fail("%s: not a regular file", path.c_str());
        fclose(f);
        return false;
    }
    if (uint64_t(st.st_size) > max_size) {
        fail("%s: too large (%lld bytes, at most %llu)", path.c_str(), (long long)st.st_size,
             (unsigned long long)max_size);
        fclose(f);
        return false;
    }
    data->assign(size_t(st.st_size), 0);
    size_t got = data->empty() ? 0 : fread(data->data(), 1, data->size(), f);
    bool ok = got == data->size() && fgetc(f) == EOF && !ferror(f);
    fclose(f);
    if (!ok) fail("%s: read failed or the file changed while it was read", path.c_str());
    return ok;
}

namespace {

bool write_all(int fd, const bytes& data) {
    for (size_t done = 0; done < data.size();) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

} // namespace

// "-" is standard output. Otherwise the output is a regular file (a link is followed to
// its target, which is what is replaced): anything else, a device above all, is refused
// before anything is written. A regular file is written through a temporary file beside
// it and renamed, so that a failed write never leaves a half image, nor destroys the
// input when OUT names IN.
bool write_file(const std::string& path, const bytes& data) {
    if (path == "-") {
        bool ok = fflush(stdout) == 0 && write_all(STDOUT_FILENO, data);
        if (!ok) fail("standard output: write failed: %s", strerror(errno));
        return ok;
    }
    std::string target = path;
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            fail("%s: not a regular file; nothing written", path.c_str());
            return false;
        }
        char* resolved = realpath(path.c_str(), nullptr);
        if (!resolved) {
            fail("%s: cannot resolve: %s", path.c_str(), strerror(errno));
            return false;
        }
        target = resolved;
        free(resolved);
    } else if (lstat(path.c_str(), &st) == 0) {
        fail("%s: a link to nothing; nothing written", path.c_str());
        return false;
    }
    std::string temp = target + ".XXXXXX";
    int fd = mkstemp(&temp[0]);
    if (fd < 0) {
        fail("%s: cannot create: %s", path.c_str(), strerror(errno));
        return false;
    }
    mode_t mask = umask(0);
    umask(mask);
    bool ok = fchmod(fd, 0666 & ~mask) == 0 && write_all(fd, data);
    ok = close(fd) == 0 && ok;
    ok = ok && rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        fail("%s: write failed: %s", path.c_str(), strerror(errno));
        unlink(temp.c_str());
    }
    return ok;
}

// ---------------------------------------------------------------------------
// Command line

bool wants_help(int argc, char** argv) {
    for (int i = 0; i < argc; ++i)
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) return true;
    return false;
}

// Takes the value of an option; false (with a message) when it is missing.
bool option_value(args& a, const char* option, const char** value) {
    if (!a.more()) {
        fail("%s needs a value", option);
        return false;
    }
    *value = a.next();
    return true;
}

int usage_error(const char* command, const char* usage) {
    fprintf(stderr, "usage: bmimage %s %s\n", command, usage);
    return EXIT_USAGE;
}

bool once(const char* command, const char* option, bool given) {
    if (given) fail("%s: %s given twice", command, option);
    return !given;
}

// Takes "IN -o OUT" with the given options; false (with a message) on a usage error.
bool in_out_args(args& a, const char* command, std::string* in, std::string* out,
                 std::initializer_list<option_spec> options,
                 const std::function<int(const char*)>& extra) {
    while (a.more()) {
        const char* arg = a.next();
        const char* value;
        int taken = extra ? extra(arg) : 0;
        if (taken < 0) return false;
        if (taken > 0) continue;
        const option_spec* matched = nullptr;
        for (const option_spec& o : options)
            if (strcmp(arg, o.name) == 0) matched = &o;
        if (strcmp(arg, "-o") == 0) {
            if (!once(command, arg, !out->empty()) || !option_value(a, arg, &value)) return false;
            *out = value;
        } else if (matched) {
            if (!once(command, arg, !matched->repeatable && !matched->values->empty()) ||
                !option_value(a, arg, &value))
                return false;
            matched->values->push_back(value);
        } else if (arg[0] == '-' || !in->empty()) {
            fail("%s: unexpected argument '%s'", command, arg);
            return false;
        } else {
            *in = arg;
        }
    }
    const char* missing = in->empty() ? "IN" : out->empty() ? "-o OUT" : nullptr;
    for (const option_spec& o : options)
        if (!missing && o.required && o.values->empty()) missing = o.name;
    if (missing) fail("%s: %s is missing", command, missing);
    return !missing;
}

} // namespace bmimage
