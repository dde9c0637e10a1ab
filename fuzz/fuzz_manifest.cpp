// libFuzzer target: the manifest signature and security counter records of a hostile
// sub-image, and the digest of the bytes the manifest covers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "security/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An allocation of exactly the input, so that any read past it is caught.
    std::vector<uint8_t> sub(data, data + size);
    image_manifest m;
    if (manifest_find(sub.data(), sub.size(), &m) != MANIFEST_FOUND) return 0;
    const uint8_t* begin = sub.data();
    if (m.whole > size || m.signature < begin + 24 ||
        m.signature + m.signature_len > begin + m.whole ||
        m.signature_offset != size_t(m.signature - begin))
        abort();
    uint8_t first[32], second[32];
    if (manifest_digest(begin, m, first) != 0) abort();
    // The crc field and the manifest's own signature bytes are not covered.
    memset(sub.data(), 0xA5, 4);
    memset(sub.data() + m.signature_offset, 0x5A, m.signature_len);
    if (manifest_digest(begin, m, second) != 0 || memcmp(first, second, 32) != 0) abort();
    return 0;
}
