// Key blobs: the toolkit's own serialised form of a key.
//
// New form, all numbers big-endian:
//   0: u32 0 | 4: u32 version 1 | 8: u32 key type | 12: body
// RSA body:
//   u8 format 1 | u8 private flag | fields, each u32 length L and L bytes (unsigned number)
//   public:  e, n
//   private: e, n, p, q, dP, dQ, qInv, montP, montQ
// The two Montgomery fields carry m' = -m^-1 mod R of the contexts for p and q (an empty field
// when the writer's key had no context). The reader never trusts them: it rebuilds both
// contexts from p and q with MONT_setup and refuses a blob whose non-empty field differs from
// the rebuilt m', so that a blob written from a key reads back into the same key and writes
// back into the same bytes.
//
// Older form (first four bytes not all zero): an RSA private key as four numbers p, q, n, e,
// each a u32 length and that many bytes of a two's-complement number, filling the blob.
#include <cstring>
#include <memory>

#include "crypto/asn1/keys.h"
#include "crypto/asn1/keys_internal.h"
#include "crypto/platform/platform.h"

namespace {

enum : uint32_t {
    BLOB_HEADER_SIZE = 12,
    BLOB_VERSION = 1,
    RSA_BODY_FORMAT = 1,
    RSA_PUBLIC_FIELDS = 2,
    RSA_PRIVATE_FIELDS = 9,
};

uint32_t readU32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

void writeU32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

struct Field {
    const uint8_t* bytes;
    uint32_t length;
};

// Splits [p, p + length) into count length-prefixed fields.
MSTATUS splitFields(const uint8_t* p, uint32_t length, Field* fields, uint32_t count,
                    MSTATUS overrun, uint32_t* consumed) {
    uint32_t offset = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (length - offset < 4) return overrun;
        const uint32_t fieldLength = readU32(p + offset);
        offset += 4;
        if (fieldLength > length - offset) return overrun;
        fields[i].bytes = p + offset;
        fields[i].length = fieldLength;
        offset += fieldLength;
    }
    *consumed = offset;
    return OK;
}

MSTATUS vlongFromField(const Field& f, vlong** out) {
    if (f.length > 0x7FFFFFFFu) return ERR_BAD_KEY_BLOB;
    return VLONG_fromByteString(f.bytes, static_cast<int32_t>(f.length), out, nullptr);
}

struct RsaKeyDeleter {
    void operator()(RsaKey* k) const {
        if (k != nullptr) RSA_disposeKey(&k, nullptr);
    }
};
using RsaKeyPtr = std::unique_ptr<RsaKey, RsaKeyDeleter>;

// Compares a stored Montgomery value with the rebuilt context's m'.
MSTATUS checkMontField(const Field& f, const MontContext* ctx) {
    if (f.length == 0) return OK;
    vlong* stored = nullptr;
    MSTATUS status = vlongFromField(f, &stored);
    if (status != OK) return status;
    const bool same = ctx != nullptr && ctx->mPrime != nullptr &&
                      VLONG_compareMagnitude(stored, ctx->mPrime) == 0;
    VLONG_release(&stored, nullptr);
    return same ? OK : ERR_BAD_KEY_BLOB;
}

MSTATUS readRsaBody(const uint8_t* body, uint32_t length, KeyObject* key) {
    if (length < 2) return ERR_BAD_KEY_BLOB;
    if (body[0] != RSA_BODY_FORMAT) return ERR_BAD_KEY_BLOB_VERSION;
    const bool isPrivate = body[1] != 0;
    const uint32_t count = isPrivate ? RSA_PRIVATE_FIELDS : RSA_PUBLIC_FIELDS;
    Field fields[RSA_PRIVATE_FIELDS] = {};
    uint32_t consumed = 0;
    MSTATUS status = splitFields(body + 2, length - 2, fields, count, ERR_BAD_KEY_BLOB, &consumed);
    if (status != OK) return status;

    // The numbers must make a usable key: no modulus of zero, no exponent below 2, and for a
    // private key primes that Montgomery arithmetic can work with.
    const Field& nField = fields[1];
    {
        const uint8_t* b = nField.bytes;
        uint32_t l = nField.length;
        KEYS_stripLeadingZeros(&b, &l);
        if (l == 0) return ERR_BAD_KEY_BLOB;
    }
    if (isPrivate) {
        if (KEYS_checkPrime(fields[2].bytes, fields[2].length) != OK ||
            KEYS_checkPrime(fields[3].bytes, fields[3].length) != OK) {
            return ERR_BAD_KEY_BLOB;
        }
    }

    RsaKey* raw = nullptr;
    status = RSA_newKey(&raw);
    if (status != OK) return status;
    RsaKeyPtr rsa(raw);
    vlong** const targets[] = {&rsa->e, &rsa->n, &rsa->p, &rsa->q, &rsa->dP, &rsa->dQ, &rsa->qInv};
    const uint32_t numbers = isPrivate ? 7 : 2;
    for (uint32_t i = 0; i < numbers; ++i) {
        status = vlongFromField(fields[i], targets[i]);
        if (status != OK) return status;
    }
    if (VLONG_compareUnsigned(rsa->e, 2) < 0) return ERR_BAD_EXPONENT;
    rsa->privateKey = isPrivate ? 1 : 0;
    if (isPrivate) {
        status = MONT_setup(&rsa->montP, rsa->p, nullptr);
        if (status == OK) status = MONT_setup(&rsa->montQ, rsa->q, nullptr);
        if (status == OK) status = checkMontField(fields[7], rsa->montP);
        if (status == OK) status = checkMontField(fields[8], rsa->montQ);
        if (status != OK) return status;
    }
    key->type = KEY_TYPE_RSA;
    key->key = rsa.release();
    return OK;
}

// A two's-complement number of the older form as unsigned bytes; negative numbers are refused.
MSTATUS unsignedOf(const Field& f, const uint8_t** bytes, uint32_t* length) {
    if (f.length > 0 && (f.bytes[0] & 0x80u) != 0) return ERR_BAD_KEY_BLOB;
    *bytes = f.bytes;
    *length = f.length;
    KEYS_stripLeadingZeros(bytes, length);
    return OK;
}

MSTATUS readOldForm(const uint8_t* blob, uint32_t length, KeyObject* key) {
    Field fields[4] = {};
    uint32_t consumed = 0;
    MSTATUS status = splitFields(blob, length, fields, 4, ERR_BAD_LENGTH, &consumed);
    if (status != OK) return status;
    if (consumed != length) return ERR_BAD_KEY_BLOB;
    const uint8_t* p;
    const uint8_t* q;
    const uint8_t* n;
    const uint8_t* e;
    uint32_t pl, ql, nl, el;
    if (unsignedOf(fields[0], &p, &pl) != OK || unsignedOf(fields[1], &q, &ql) != OK ||
        unsignedOf(fields[2], &n, &nl) != OK || unsignedOf(fields[3], &e, &el) != OK) {
        return ERR_BAD_KEY_BLOB;
    }
    if (el > 4 || nl == 0) return ERR_BAD_KEY_BLOB;
    uint32_t exponent = 0;
    for (uint32_t i = 0; i < el; ++i) exponent = (exponent << 8) | e[i];
    status = KEY_setRsa(key, exponent, n, nl, p, pl, q, ql);
    if (status != OK) KEY_release(key);
    return status;
}

// Size of the RSA body and the numbers that go into it.
struct RsaFields {
    const vlong* numbers[RSA_PRIVATE_FIELDS];
    int32_t lengths[RSA_PRIVATE_FIELDS];
    uint32_t count;
};

MSTATUS collectRsaFields(const RsaKey* rsa, RsaFields* f, uint32_t* bodySize) {
    const bool isPrivate = rsa->privateKey != 0;
    const vlong* all[RSA_PRIVATE_FIELDS] = {rsa->e,
                                            rsa->n,
                                            rsa->p,
                                            rsa->q,
                                            rsa->dP,
                                            rsa->dQ,
                                            rsa->qInv,
                                            rsa->montP != nullptr ? rsa->montP->mPrime : nullptr,
                                            rsa->montQ != nullptr ? rsa->montQ->mPrime : nullptr};
    f->count = isPrivate ? RSA_PRIVATE_FIELDS : RSA_PUBLIC_FIELDS;
    uint64_t size = 2;
    for (uint32_t i = 0; i < f->count; ++i) {
        f->numbers[i] = all[i];
        f->lengths[i] = 0;
        if (all[i] != nullptr) {
            const MSTATUS status = VLONG_byteStringFromVlong(all[i], nullptr, &f->lengths[i]);
            if (status != OK) return status;
            if (f->lengths[i] < 0) return ERR_BAD_LENGTH;
        }
        size += 4 + static_cast<uint64_t>(f->lengths[i]);
    }
    if (size > 0x7FFFFFFFu - BLOB_HEADER_SIZE) return ERR_BAD_LENGTH;
    *bodySize = static_cast<uint32_t>(size);
    return OK;
}

} // namespace

MSTATUS KEYBLOB_toKey(const uint8_t* blob, uint32_t length, KeyObject* key) {
    if (blob == nullptr || key == nullptr) return ERR_NULL_POINTER;
    MSTATUS status = KEY_release(key);
    if (status != OK) return status;
    if (length < 4) return ERR_BAD_KEY_BLOB;
    if (readU32(blob) != 0) return readOldForm(blob, length, key);

    if (length < BLOB_HEADER_SIZE) return ERR_BAD_KEY_BLOB;
    if (readU32(blob + 4) != BLOB_VERSION) return ERR_BAD_KEY_BLOB_VERSION;
    const uint32_t type = readU32(blob + 8);
    if (type != KEY_TYPE_RSA) {
        // Elliptic-curve and DSA blobs are not supported by this build.
        return ERR_BAD_KEY_BLOB;
    }
    return readRsaBody(blob + BLOB_HEADER_SIZE, length - BLOB_HEADER_SIZE, key);
}

MSTATUS KEYBLOB_fromKey(const KeyObject* key, uint8_t** blob, uint32_t* blobLength) {
    if (key == nullptr || blob == nullptr || blobLength == nullptr) return ERR_NULL_POINTER;
    if (key->type != KEY_TYPE_RSA) return ERR_BAD_KEY_BLOB_TYPE;
    const RsaKey* rsa = static_cast<const RsaKey*>(key->key);
    if (rsa == nullptr || rsa->e == nullptr || rsa->n == nullptr) return ERR_NULL_POINTER;

    RsaFields f;
    uint32_t bodySize = 0;
    MSTATUS status = collectRsaFields(rsa, &f, &bodySize);
    if (status != OK) return status;
    const uint32_t total = BLOB_HEADER_SIZE + bodySize;
    uint8_t* out = static_cast<uint8_t*>(PLATFORM_malloc(total));
    if (out == nullptr) return ERR_MEM_ALLOC_FAIL;

    writeU32(out, 0);
    writeU32(out + 4, BLOB_VERSION);
    writeU32(out + 8, KEY_TYPE_RSA);
    uint8_t* p = out + BLOB_HEADER_SIZE;
    *p++ = RSA_BODY_FORMAT;
    *p++ = rsa->privateKey != 0 ? 1 : 0;
    for (uint32_t i = 0; i < f.count; ++i) {
        writeU32(p, static_cast<uint32_t>(f.lengths[i]));
        p += 4;
        if (f.lengths[i] > 0) {
            int32_t l = f.lengths[i];
            status = VLONG_byteStringFromVlong(f.numbers[i], p, &l);
            if (status != OK) {
                memset(out, 0, total);
                PLATFORM_free(out);
                return status;
            }
            p += f.lengths[i];
        }
    }
    *blob = out;
    *blobLength = total;
    return OK;
}

MSTATUS KEYBLOB_fromDer(const uint8_t* der, uint32_t length, uint8_t** blob, uint32_t* blobLength) {
    KeyObject temp;
    KEY_init(&temp);
    if (der == nullptr || blob == nullptr || blobLength == nullptr) return ERR_NULL_POINTER;
    MSTATUS status = KEYS_readRsaForms(der, length, &temp);
    if (status != OK) {
        status = KEYS_readEccForms(der, length, &temp, status);
        if (status != OK) {
            KEY_release(&temp);
            return status;
        }
    }
    status = KEYBLOB_fromKey(&temp, blob, blobLength);
    KEY_release(&temp);
    return status;
}

MSTATUS KEYBLOB_fromPem(const uint8_t* text, uint32_t length, uint8_t** blob,
                        uint32_t* blobLength) {
    if (text == nullptr || blob == nullptr || blobLength == nullptr) return ERR_NULL_POINTER;
    uint8_t* der = nullptr;
    uint32_t derLength = 0;
    MSTATUS status = PEM_decode(text, length, &der, &derLength);
    if (status != OK) return status;
    status = KEYBLOB_fromDer(der, derLength, blob, blobLength);
    memset(der, 0, derLength);
    PLATFORM_free(der);
    return status;
}
