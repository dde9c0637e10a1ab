// Public key import: PEM or DER text to a KeyObject, through a key blob.
#include <cstring>

#include "crypto/asn1/keys.h"
#include "crypto/platform/platform.h"

namespace {

enum : uint32_t { TRACE_LEVEL = 4 };

bool traceOn() {
    return (g_debugLevelMask & TRACE_LEVEL) == TRACE_LEVEL;
}

void dumpNumber(const char* label, const vlong* v) {
    int32_t length = 0;
    uint8_t* bytes = nullptr;
    MSTATUS status =
        v == nullptr ? ERR_NULL_POINTER : VLONG_byteStringFromVlong(v, nullptr, &length);
    if (status == OK && length > 0) {
        bytes = static_cast<uint8_t*>(PLATFORM_malloc(static_cast<size_t>(length)));
        status =
            bytes == nullptr ? ERR_MEM_ALLOC_FAIL : VLONG_byteStringFromVlong(v, bytes, &length);
    }
    if (status != OK) {
        DEBUG_print(TRACE_LEVEL, "Call VLONG_byteStringFromVlong failed\n");
    } else {
        DEBUG_print(TRACE_LEVEL, label);
        DEBUG_printHexDump(TRACE_LEVEL, bytes, static_cast<uint32_t>(length));
    }
    if (bytes != nullptr) PLATFORM_free(bytes);
}

void dumpKey(const KeyObject* key) {
    if (!traceOn()) return;
    const RsaKey* rsa = key->type == KEY_TYPE_RSA ? static_cast<const RsaKey*>(key->key) : nullptr;
    DEBUG_print(TRACE_LEVEL, "key type = ");
    DEBUG_printInt(TRACE_LEVEL, static_cast<int32_t>(key->type));
    DEBUG_print(TRACE_LEVEL, ", private key = ");
    DEBUG_printInt(TRACE_LEVEL, rsa != nullptr ? static_cast<int32_t>(rsa->privateKey) : 0);
    DEBUG_printLine(TRACE_LEVEL, nullptr);
    if (rsa == nullptr) return;
    dumpNumber("Modulus: ", rsa->n);
    dumpNumber("Exponent: ", rsa->e);
}

} // namespace

MSTATUS CA_MGMT_convertPublicKey(const uint8_t* text, uint32_t length, KeyObject* key) {
    DEBUG_print(TRACE_LEVEL, "CA_MGMT_convertPublicKey: ");
    MSTATUS status = ERR_NULL_POINTER;
    uint8_t* blob = nullptr;
    uint32_t blobLength = 0;
    if (text != nullptr) {
        status = KEYBLOB_fromPem(text, length, &blob, &blobLength);
        if (status < 0) status = KEYBLOB_fromDer(text, length, &blob, &blobLength);
    }
    if (status >= 0) {
        KeyObject temp;
        KEY_init(&temp);
        status = KEYBLOB_toKey(blob, blobLength, &temp);
        if (status >= 0) {
            dumpKey(&temp);
            if (key != nullptr) {
                KEY_init(key);
                status = KEY_copy(key, &temp);
            }
        }
        KEY_release(&temp);
        memset(blob, 0, blobLength);
        PLATFORM_free(blob);
    }
    if (status < 0) DEBUG_printStatusLine(TRACE_LEVEL, "status = ", status);
    return status;
}
