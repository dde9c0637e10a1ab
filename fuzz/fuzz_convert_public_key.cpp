// libFuzzer target: CA_MGMT_convertPublicKey over arbitrary PEM or DER text; an imported key
// must serialise and read back to the same blob.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "crypto/asn1/keys.h"
#include "crypto/platform/platform.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    BASE64_initTable();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0xFFFFFFFFu) return 0;
    KeyObject key;
    KEY_init(&key);
    if (CA_MGMT_convertPublicKey(data, static_cast<uint32_t>(size), &key) != OK) {
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
    uint8_t* blob2 = nullptr;
    uint32_t blob2Length = 0;
    if (KEYBLOB_fromKey(&again, &blob2, &blob2Length) != OK) abort();
    if (blob2Length != blobLength || memcmp(blob, blob2, blobLength) != 0) abort();
    PLATFORM_free(blob2);
    PLATFORM_free(blob);
    KEY_release(&again);
    KEY_release(&key);
    return 0;
}
