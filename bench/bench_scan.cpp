// The boot scan over a hostile file: 1 GiB (or the MiB given as the first
// argument) of zero bytes, which reads as 16-byte sub-images of type 0, so the
// scan walks all of them and finds nothing. Measured in the same run: the raw
// read speed of the file, the scan as it was before (a seek and a 24-byte
// read per sub-image, kept below as the reference) and the scan of today.
#include "image/image.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The scan before it read in large pieces, unchanged in its reads and seeks.
namespace before {

int64_t stream_size(FILE* stream) {
    struct stat st;
    if (fstat(fileno(stream), &st) == 0 && S_ISREG(st.st_mode)) return st.st_size;
    off_t here = ftello(stream);
    if (here < 0 || fseeko(stream, 0, SEEK_END) != 0) return -1;
    off_t end = ftello(stream);
    fseeko(stream, here, SEEK_SET);
    return end;
}

bool read_at(FILE* stream, uint64_t position, void* buffer, size_t count) {
    if (fseeko(stream, off_t(position), SEEK_SET) != 0) return false;
    return fread(buffer, 1, count, stream) == count;
}

uint32_t type_from_records(const uint8_t* header, uint32_t hdr_len, uint32_t type) {
    uint32_t offset = IMAGE_RECORDS_OFFSET;
    image_record rec;
    int step;
    while ((step = image_next_record(header, hdr_len, &offset, &rec)) == IMAGE_RECORD_OK) {
        if (rec.tag != IMAGE_TAG_TYPE || rec.length < IMAGE_RECORD_HEAD + 4) continue;
        uint32_t value = image_get_be32(rec.body);
        if ((value & IMAGE_TYPE_SUFFIX_MASK) == IMAGE_TYPE_SUFFIX) return value;
    }
    if (step != IMAGE_RECORD_END) puts("Image header error");
    return type;
}

bool find_bootable(FILE* stream, image_bootable* found) {
    int64_t size = stream_size(stream);
    if (size < 0) return false;
    uint64_t p = 0;
    for (;;) {
        uint8_t prefix[IMAGE_PREFIX_SIZE];
        if (uint64_t(size) - p < IMAGE_PREFIX_SIZE || !read_at(stream, p, prefix, sizeof prefix))
            return false;
        image_header_info info;
        if (!image_header_parse(prefix, &info) || image_total_size(info) > uint64_t(size) - p) {
            puts("Image header error");
            return false;
        }
        uint32_t type = info.magic;
        if (info.layout == 3) {
            std::vector<uint8_t> header(info.hdr_len);
            if (!read_at(stream, p, header.data(), header.size())) return false;
            type = type_from_records(header.data(), info.hdr_len, type);
        }
        type &= ~uint32_t(IMAGE_MAGIC_LAYOUT2);
        if (type == IMAGE_TYPE_APPLICATION || type == IMAGE_TYPE_DIAGNOSTICS) {
            found->type = type;
            return fseeko(stream, off_t(p), SEEK_SET) == 0;
        }
        p += image_total_size(info);
    }
}

} // namespace before

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void report(const char* what, uint64_t bytes, double seconds) {
    printf("%-22s %8.2f s %9.1f MB/s\n", what, seconds, bytes / 1e6 / seconds);
}

double raw_read(const std::string& path) {
    auto start = std::chrono::steady_clock::now();
    int fd = open(path.c_str(), O_RDONLY);
    std::vector<char> buffer(size_t(1) << 20);
    while (fd >= 0 && read(fd, buffer.data(), buffer.size()) > 0) {
    }
    if (fd >= 0) close(fd);
    return seconds_since(start);
}

double scan(const std::string& path, bool (*find)(FILE*, image_bootable*), bool* found) {
    auto start = std::chrono::steady_clock::now();
    FILE* f = fopen(path.c_str(), "rb");
    image_bootable result{};
    *found = f && find(f, &result);
    if (f) fclose(f);
    return seconds_since(start);
}

} // namespace

int main(int argc, char** argv) {
    uint64_t mib = argc > 1 ? strtoull(argv[1], nullptr, 10) : 1024;
    if (mib == 0 || mib > 65536) {
        fprintf(stderr, "usage: bench_scan [MiB, 1 to 65536]\n");
        return 2;
    }
    const uint64_t size = mib << 20;
    char dir[] = "/tmp/bench_scan.XXXXXX";
    if (!mkdtemp(dir)) {
        perror("mkdtemp");
        return 1;
    }
    const std::string path = std::string(dir) + "/zeros.img";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    bool made = fd >= 0 && ftruncate(fd, off_t(size)) == 0; // sparse: all zero bytes
    if (fd >= 0) close(fd);
    if (!made) {
        perror(path.c_str());
        unlink(path.c_str());
        rmdir(dir);
        return 1;
    }

    printf("boot scan over %llu MiB of zero-filled 16-byte sub-images (%llu of them)\n",
           (unsigned long long)mib, (unsigned long long)(size / 16));
    raw_read(path); // warm the cache once, so that every pass below reads it alike
    double raw = raw_read(path);
    bool found_after = true, found_before = true;
    double after = scan(path, image_find_bootable, &found_after);
    double old = scan(path, before::find_bootable, &found_before);
    report("raw read (1 MiB reads)", size, raw);
    report("scan before", size, old);
    report("scan after", size, after);
    printf("after / before speed: %.1fx; after / raw read: %.2f\n", old / after, raw / after);
    if (found_after || found_before) printf("UNEXPECTED: a bootable sub-image was found\n");

    unlink(path.c_str());
    rmdir(dir);
    return found_after || found_before ? 1 : 0;
}
