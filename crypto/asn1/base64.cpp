// Base64 decoding with the standard alphabet through a process-wide decode table.
#include <cstring>

#include "crypto/asn1/keys.h"
#include "crypto/platform/platform.h"

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 256 entries: alphabet position + 1 for base64 characters, 0 for everything else.
uint8_t* g_base64Table = nullptr;

} // namespace

MSTATUS BASE64_initTable() {
    if (g_base64Table == nullptr) {
        g_base64Table = static_cast<uint8_t*>(PLATFORM_malloc(256));
        if (g_base64Table == nullptr) return ERR_MEM_ALLOC_FAIL;
    }
    memset(g_base64Table, 0, 256);
    for (uint32_t i = 0; i < 64; ++i) {
        g_base64Table[static_cast<uint8_t>(kAlphabet[i])] = static_cast<uint8_t>(i + 1);
    }
    return OK;
}

MSTATUS BASE64_freeTable() {
    if (g_base64Table == nullptr) return ERR_NULL_POINTER;
    PLATFORM_free(g_base64Table);
    g_base64Table = nullptr;
    return OK;
}

MSTATUS BASE64_decode(const uint8_t* text, uint32_t length, uint8_t** out, uint32_t* outLength) {
    if (text == nullptr || out == nullptr || outLength == nullptr) return ERR_NULL_POINTER;
    *out = nullptr;
    if (g_base64Table == nullptr) return ERR_BASE64_NO_TABLE;
    if (length < 4 || (length % 4) != 0) return ERR_BASE64_BAD_INPUT;

    // length / 4 * 3 never exceeds 0xBFFFFFFD: no overflow for any 32-bit length.
    const uint32_t groups = length / 4;
    uint32_t size = groups * 3;
    uint8_t* buffer = static_cast<uint8_t*>(PLATFORM_malloc(size));
    if (buffer == nullptr) return ERR_MEM_ALLOC_FAIL;
    *out = buffer;
    *outLength = size;

    const uint8_t* table = g_base64Table;
    for (uint32_t g = 0; g < groups; ++g) {
        const uint8_t* in = text + 4 * g;
        uint8_t* dst = buffer + 3 * g;
        const bool last = (g + 1 == groups);
        const uint32_t c0 = table[in[0]];
        const uint32_t c1 = table[in[1]];
        if (c0 == 0 || c1 == 0) return ERR_BASE64_BAD_INPUT;
        dst[0] = static_cast<uint8_t>(((c0 - 1) << 2) | ((c1 - 1) >> 4));

        const uint32_t c2 = table[in[2]];
        if (c2 == 0) {
            // Padding stops the decoding; only the last group may carry it.
            if (in[2] != '=' || !last) return ERR_BASE64_BAD_INPUT;
            *outLength = size - 2;
            return OK;
        }
        dst[1] = static_cast<uint8_t>((((c1 - 1) & 0x0F) << 4) | ((c2 - 1) >> 2));

        const uint32_t c3 = table[in[3]];
        if (c3 == 0) {
            if (in[3] != '=' || !last) return ERR_BASE64_BAD_INPUT;
            *outLength = size - 1;
            return OK;
        }
        dst[2] = static_cast<uint8_t>((((c2 - 1) & 0x03) << 6) | (c3 - 1));
    }
    return OK;
}
