// libFuzzer target: BASE64_decode and PEM_decode over arbitrary text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "crypto/asn1/keys.h"
#include "crypto/platform/platform.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    BASE64_initTable();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0xFFFFFFFFu) return 0;
    const uint32_t length = static_cast<uint32_t>(size);
    uint8_t* out = nullptr;
    uint32_t outLength = 0;
    const MSTATUS b64 = BASE64_decode(data, length, &out, &outLength);
    if (b64 == OK && outLength > length / 4 * 3) abort();
    if (out != nullptr) PLATFORM_free(out);

    out = nullptr;
    outLength = 0;
    const MSTATUS pem = PEM_decode(data, length, &out, &outLength);
    if (pem == OK) {
        if (out == nullptr || outLength > length) abort();
        volatile uint8_t sink = 0;
        for (uint32_t i = 0; i < outLength; ++i) sink ^= out[i];
        (void)sink;
        PLATFORM_free(out);
    } else if (out != nullptr) {
        abort();
    }
    return 0;
}
