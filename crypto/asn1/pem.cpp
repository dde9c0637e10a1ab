// PEM armour removal: armour lines and blanks are dropped, the rest is base64.
#include "crypto/asn1/keys.h"
#include "crypto/platform/platform.h"

namespace {

bool isLineEnd(uint8_t c) {
    return c == '\n' || c == '\r';
}

} // namespace

MSTATUS PEM_decode(const uint8_t* text, uint32_t length, uint8_t** der, uint32_t* derLength) {
    if (text == nullptr || der == nullptr || derLength == nullptr) return ERR_NULL_POINTER;
    *der = nullptr;
    if (length == 0) return ERR_MEM_ALLOC_FAIL;
    uint8_t* work = static_cast<uint8_t*>(PLATFORM_malloc(length));
    if (work == nullptr) return ERR_MEM_ALLOC_FAIL;

    uint32_t used = 0;
    uint32_t i = 0;
    while (i < length) {
        if (text[i] == '-') {
            // Armour line: drop it with the line ends that follow.
            while (i < length && !isLineEnd(text[i])) ++i;
            while (i < length && isLineEnd(text[i])) ++i;
            continue;
        }
        while (i < length && text[i] != ' ' && !isLineEnd(text[i])) work[used++] = text[i++];
        while (i < length && (text[i] == ' ' || text[i] == '\t' || isLineEnd(text[i]))) ++i;
    }

    uint32_t outLength = 0;
    const MSTATUS status = BASE64_decode(work, used, der, &outLength);
    PLATFORM_free(work);
    if (status != OK) {
        // Hand back nothing on failure, not a half-decoded buffer.
        if (*der != nullptr) PLATFORM_free(*der);
        *der = nullptr;
        return status;
    }
    *derLength = outLength;
    return OK;
}
