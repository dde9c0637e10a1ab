// bmimage: the manifest signature and security counter records
// (security/manifest.h), checked through the boot manager's own code.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "security/manifest.h"
#include "security/signature.h"
#include "tools/bmimage/bmimage.h"

namespace bmimage {

int seal_option(args& a, const char* arg, seal_options* options) {
    if (strcmp(arg, "--manifest") == 0) {
        options->manifest = true;
    } else if (strcmp(arg, "--no-manifest") == 0) {
        options->manifest = false;
    } else if (strcmp(arg, "--security-counter") == 0) {
        const char* value;
        if (!option_value(a, arg, &value)) return -1;
        char* end = nullptr;
        errno = 0;
        unsigned long long n = strtoull(value, &end, 10);
        if (!*value || *end || errno || n > UINT32_MAX || value[0] == '-') {
            fail("--security-counter: '%s' is not a number from 0 to 4294967295", value);
            return -1;
        }
        options->set_counter = true;
        options->counter = uint32_t(n);
    } else {
        return 0;
    }
    return 1;
}

bool manifest_digest_of(const uint8_t* sub, size_t size, uint8_t digest[32]) {
    image_manifest m;
    return manifest_find(sub, size, &m) == MANIFEST_FOUND && manifest_digest(sub, m, digest) == 0;
}

bool fill_manifest(uint8_t* sub, size_t size, const bytes& signature) {
    image_manifest m;
    if (manifest_find(sub, size, &m) != MANIFEST_FOUND) return false;
    if (signature.size() != m.signature_len) {
        fail("a manifest signature of %zu bytes for a record of %u", signature.size(),
             unsigned(m.signature_len));
        return false;
    }
    memcpy(sub + m.signature_offset, signature.data(), signature.size());
    seal_crc(sub, m.whole);
    return true;
}

manifest_state check_manifest(const bytes& file, const subimage& s,
                              const std::vector<public_key>& keys, std::string* label,
                              uint32_t* counter, bool* has_counter) {
    const uint8_t* sub = file.data() + s.offset;
    image_manifest m = {};
    int found = manifest_find(sub, s.size, &m);
    *counter = m.counter;
    *has_counter = found != MANIFEST_BAD && m.has_counter;
    if (found == MANIFEST_NONE) return MANIFEST_STATE_NONE;
    uint8_t digest[32];
    if (found != MANIFEST_FOUND || manifest_digest(sub, m, digest) != 0) return MANIFEST_STATE_BAD;
    for (const public_key& key : keys) {
        if (IMGSIGN_verifySignature(digest, 32, m.signature, m.signature_len, key.text.data(),
                                    uint32_t(key.text.size())) == 0) {
            *label = key.label;
            return MANIFEST_STATE_GOOD;
        }
    }
    return MANIFEST_STATE_BAD;
}

} // namespace bmimage
