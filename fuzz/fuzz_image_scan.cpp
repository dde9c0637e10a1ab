// libFuzzer target: the image header, its record walk, the signature record lookup and
// the boot scan over a whole file. Every input is a hostile slot file or package.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

#include "image/image.h"

namespace {

// What the scan found must lie inside the file it was given.
void check_bootable(FILE* stream, size_t size) {
    image_bootable found;
    memset(&found, 0, sizeof found);
    if (!image_find_bootable(stream, &found)) return;
    off_t start = ftello(stream);
    if (start < 0 || size_t(start) > size) abort();
    if (found.available > size - size_t(start)) abort();
    if (found.available > uint64_t(found.hdr_len) + found.data_len) abort();
}

} // namespace

// The scan's own messages ("Image header error") would drown libFuzzer's report.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!freopen("/dev/null", "w", stdout)) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size >= IMAGE_PREFIX_SIZE) {
        image_header_info info;
        image_header_parse(data, &info);
    }
    const uint8_t* signature = nullptr;
    uint16_t signature_len = 0;
    if (image_find_signature(data, size, &signature, &signature_len) == IMAGE_SIGNATURE_FOUND) {
        if (signature < data || signature + signature_len > data + size) abort();
    }
    if (size >= IMAGE_PREFIX_SIZE) {
        uint32_t hdr_len = image_get_be16(data + 22);
        if (hdr_len <= size) {
            uint32_t offset = IMAGE_RECORDS_OFFSET;
            image_record record;
            for (int i = 0;
                 i < 70000 && image_next_record(data, hdr_len, &offset, &record) == IMAGE_RECORD_OK;
                 ++i) {
                if (record.body < data ||
                    record.body + (record.length - IMAGE_RECORD_HEAD) > data + hdr_len)
                    abort();
            }
        }
    }

    // The scan reads a real file: a memory file descriptor holds the input.
    int fd = memfd_create("image", 0);
    if (fd < 0) return 0;
    if (size && write(fd, data, size) != ssize_t(size)) {
        close(fd);
        return 0;
    }
    lseek(fd, 0, SEEK_SET);
    FILE* stream = fdopen(fd, "rb");
    if (!stream) {
        close(fd);
        return 0;
    }
    check_bootable(stream, size);
    fclose(stream);
    return 0;
}
