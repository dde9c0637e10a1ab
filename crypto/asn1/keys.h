// Key encodings: PEM armour, base64, RSA key structures, key blobs and KeyObject.
#pragma once
#include <cstdint>

#include "crypto/platform/errors.h"
#include "crypto/vlong/rsa.h"

enum : uint32_t {
    KEY_TYPE_EMPTY = 0,
    KEY_TYPE_RSA = 1,
    KEY_TYPE_ECC = 2,
    KEY_TYPE_DSA = 3,
};

struct KeyObject {
    uint32_t type;
    void* key; // RsaKey* for KEY_TYPE_RSA
};

// text: PEM or DER. On success key (when not null) is set up afresh (its previous contents are
// not looked at) and holds the key; release it with KEY_release. Nothing is printed except the
// level-4 debug trace.
MSTATUS CA_MGMT_convertPublicKey(const uint8_t* text, uint32_t length, KeyObject* key);

MSTATUS PEM_decode(const uint8_t* text, uint32_t length, uint8_t** der, uint32_t* derLength);
MSTATUS BASE64_decode(const uint8_t* text, uint32_t length, uint8_t** out, uint32_t* outLength);
MSTATUS BASE64_initTable();
MSTATUS BASE64_freeTable();

MSTATUS KEYBLOB_fromPem(const uint8_t* text, uint32_t length, uint8_t** blob, uint32_t* blobLength);
MSTATUS KEYBLOB_fromDer(const uint8_t* der, uint32_t length, uint8_t** blob, uint32_t* blobLength);
MSTATUS KEYBLOB_toKey(const uint8_t* blob, uint32_t length, KeyObject* key);
MSTATUS KEYBLOB_fromKey(const KeyObject* key, uint8_t** blob, uint32_t* blobLength);

MSTATUS KEY_init(KeyObject* key);
MSTATUS KEY_release(KeyObject* key);
MSTATUS KEY_copy(KeyObject* destination, const KeyObject* source);
MSTATUS KEY_makeRsa(KeyObject* key);
MSTATUS KEY_setRsa(KeyObject* key, uint32_t e, const uint8_t* n, uint32_t nLength, const uint8_t* p,
                   uint32_t pLength, const uint8_t* q, uint32_t qLength);
