// bmimage: walking the sub-images of a file.
#include <cstdio>

#include "tools/bmimage/bmimage.h"

namespace bmimage {

namespace {

uint32_t stored_crc(const uint8_t* sub) {
    return image_get_be32(sub + IMAGE_OFF_CRC);
}

uint32_t computed_crc(const uint8_t* sub, size_t size) {
    return image_crc32(sub + 4, size - 4, IMAGE_CRC_START);
}

} // namespace

void seal_crc(uint8_t* sub, size_t size) {
    image_put_be32(sub + IMAGE_OFF_CRC, computed_crc(sub, size));
}

// Splits a file into its sub-images. On a header that is truncated, runs past
// the end of the file or has unusable lengths, reports it, keeps the
// sub-images before it and returns false.
bool walk_file(const std::string& path, const bytes& file, std::vector<subimage>* subs) {
    subs->clear();
    if (file.empty()) {
        fail("%s: empty file", path.c_str());
        return false;
    }
    size_t p = 0;
    while (p < file.size()) {
        size_t left = file.size() - p;
        if (left < IMAGE_PREFIX_SIZE) {
            fail("%s: truncated header at offset %zu (%zu bytes, a header needs %u)", path.c_str(),
                 p, left, unsigned(IMAGE_PREFIX_SIZE));
            return false;
        }
        subimage s;
        s.offset = p;
        if (!image_header_parse(file.data() + p, &s.info)) {
            fail("%s: header at offset %zu has unusable lengths (layout %u, H %u)", path.c_str(), p,
                 s.info.layout, s.info.hdr_len);
            return false;
        }
        uint64_t total = image_total_size(s.info);
        if (total > left) {
            fail("%s: sub-image at offset %zu is truncated (needs %llu bytes, %zu left)",
                 path.c_str(), p, (unsigned long long)total, left);
            return false;
        }
        s.size = size_t(total);
        subs->push_back(s);
        p += s.size; // at least 16
    }
    return true;
}

const uint8_t* data_of(const bytes& file, const subimage& s) {
    return file.data() + s.offset + s.info.hdr_len;
}

bool crc_good(const bytes& file, const subimage& s) {
    const uint8_t* sub = file.data() + s.offset;
    return computed_crc(sub, s.size) == stored_crc(sub);
}

// The value of the first type record of a layout-3 header, if any.
bool type_record_of(const bytes& file, const subimage& s, uint32_t* word) {
    if (s.info.layout != 3) return false;
    uint32_t offset = IMAGE_RECORDS_OFFSET;
    image_record rec;
    while (image_next_record(file.data() + s.offset, s.info.hdr_len, &offset, &rec) ==
           IMAGE_RECORD_OK) {
        if (rec.tag == IMAGE_TAG_TYPE && rec.length >= TYPE_RECORD_LEN) {
            *word = image_get_be32(rec.body);
            return true;
        }
    }
    return false;
}

} // namespace bmimage
