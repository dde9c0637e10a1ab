// The manifest and security counter records of a layout-3 sub-image, and the
// digest of the bytes the manifest signature covers.
#include "security/manifest.h"

#include <cstring>

#include "crypto/hash/hash.h"
#include "crypto/platform/platform.h"
#include "image/image.h"

namespace {

enum : uint32_t { COUNTER_RECORD_LEN = IMAGE_RECORD_HEAD + 4 };

// Hashes count bytes of zeros.
bool hash_zeros(Sha256Context* sha, uint32_t count) {
    static const uint8_t zeros[256] = {};
    while (count) {
        uint32_t n = count < sizeof zeros ? count : uint32_t(sizeof zeros);
        if (SHA256_update(sha, zeros, n) != OK) return false;
        count -= n;
    }
    return true;
}

} // namespace

int manifest_find(const uint8_t* subimage, size_t size, image_manifest* out) {
    if (!subimage || !out || size < IMAGE_PREFIX_SIZE) return MANIFEST_BAD;
    memset(out, 0, sizeof *out);
    image_header_info info;
    if (!image_header_parse(subimage, &info)) return MANIFEST_BAD;
    if (info.layout != 3) return MANIFEST_NONE;
    const uint64_t whole = image_total_size(info);
    if (whole > size) return MANIFEST_BAD;
    out->whole = uint32_t(whole);

    bool manifest = false;
    uint32_t offset = IMAGE_RECORDS_OFFSET;
    image_record rec;
    int step;
    while ((step = image_next_record(subimage, info.hdr_len, &offset, &rec)) == IMAGE_RECORD_OK) {
        const uint32_t body_len = uint32_t(rec.length) - IMAGE_RECORD_HEAD;
        if (rec.tag == IMAGE_TAG_MANIFEST) {
            if (manifest || body_len < 2) return MANIFEST_BAD;
            uint16_t s = image_get_be16(rec.body);
            if (uint32_t(s) + 2 > body_len) return MANIFEST_BAD;
            manifest = true;
            out->signature = rec.body + 2;
            out->signature_len = s;
            out->signature_offset = uint32_t(out->signature - subimage);
        } else if (rec.tag == IMAGE_TAG_SECURITY_COUNTER) {
            if (out->has_counter || rec.length != COUNTER_RECORD_LEN) return MANIFEST_BAD;
            out->has_counter = true;
            out->counter = image_get_be32(rec.body);
        } else if (rec.tag == IMAGE_TAG_TYPE && body_len >= 4) {
            uint32_t word = image_get_be32(rec.body);
            if (out->type_record && out->type_record != word) return MANIFEST_BAD;
            out->type_record = word;
        }
    }
    if (step == IMAGE_RECORD_BAD) return MANIFEST_BAD;
    return manifest ? MANIFEST_FOUND : MANIFEST_NONE;
}

int32_t manifest_digest(const uint8_t* subimage, const image_manifest& m, uint8_t digest[32]) {
    if (!subimage || !digest || !m.signature) return ERR_NULL_POINTER;
    const uint32_t sig_end = m.signature_offset + m.signature_len;
    if (m.signature_offset < IMAGE_PREFIX_SIZE || sig_end > m.whole) return ERR_NULL_POINTER;
    Sha256Context sha;
    MSTATUS status = SHA256_init(&sha);
    bool ok = status == OK && hash_zeros(&sha, 4) &&
              SHA256_update(&sha, subimage + 4, m.signature_offset - 4) == OK &&
              hash_zeros(&sha, m.signature_len) &&
              SHA256_update(&sha, subimage + sig_end, m.whole - sig_end) == OK &&
              SHA256_final(&sha, digest) == OK;
    PLATFORM_zeroize(&sha, sizeof sha);
    if (!ok) {
        memset(digest, 0, 32);
        return status != OK ? status : ERR_NULL_POINTER;
    }
    return 0;
}
