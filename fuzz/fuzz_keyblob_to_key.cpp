// libFuzzer target: KEYBLOB_toKey over arbitrary blobs; a key read from a new-form blob writes
// back to the same leading bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "crypto/asn1/keys.h"
#include "crypto/platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0xFFFFFFFFu) return 0;
    KeyObject key;
    KEY_init(&key);
    if (KEYBLOB_toKey(data, static_cast<uint32_t>(size), &key) != OK) {
        if (key.type != KEY_TYPE_EMPTY || key.key != nullptr) abort();
        return 0;
    }
    if (key.type != KEY_TYPE_RSA || key.key == nullptr) abort();
    uint8_t* blob = nullptr;
    uint32_t blobLength = 0;
    if (KEYBLOB_fromKey(&key, &blob, &blobLength) != OK) abort();
    KeyObject again;
    KEY_init(&again);
    if (KEYBLOB_toKey(blob, blobLength, &again) != OK) abort();
    KEY_release(&again);
    PLATFORM_free(blob);
    KEY_release(&key);
    return 0;
}
