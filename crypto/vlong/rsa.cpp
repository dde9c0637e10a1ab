// RSA key records, the public operation with PKCS #1 v1.5 block type 1
// decoding, and the signature-to-digest decoder.
#include <cstring>
#include <initializer_list>

#include "crypto/asn1/asn1.h"
#include "crypto/hash/hash.h"
#include "crypto/platform/platform.h"
#include "crypto/vlong/rsa.h"
#include "crypto/vlong/vlong_internal.h"

namespace {

void releaseField(vlong** field, vlong** queue) {
    if (*field) VLONG_release(field, queue);
}

void releaseMont(MontContext** ctx, vlong** queue) {
    if (*ctx) MONT_dispose(ctx, queue);
}

void releaseAllFields(RsaKey* key, vlong** queue) {
    vlong** fields[] = {&key->e,  &key->n,    &key->p,       &key->q,      &key->dP,
                        &key->dQ, &key->qInv, &key->work[0], &key->work[1]};
    for (vlong** f : fields) releaseField(f, queue);
    releaseMont(&key->montP, queue);
    releaseMont(&key->montQ, queue);
    key->workWord = 0;
}

MSTATUS readNumber(const uint8_t* bytes, uint32_t length, vlong** out, vlong** queue) {
    if (!bytes && length) return ERR_NULL_POINTER;
    if (length > 0x7FFFFFFFu) return ERR_BAD_LENGTH;
    return VLONG_fromByteString(bytes, int32_t(length), out, queue);
}

uint32_t modulusBytes(const vlong* n) {
    return (VLONG_bitLength(n) + 7) / 8;
}

} // namespace

MSTATUS RSA_newKey(RsaKey** out) {
    if (!out) return ERR_NULL_POINTER;
    RsaKey* key = static_cast<RsaKey*>(PLATFORM_malloc(sizeof(RsaKey)));
    if (!key) return ERR_MEM_ALLOC_FAIL;
    memset(key, 0, sizeof(RsaKey));
    MSTATUS status = PLATFORM_mutexCreate(&key->lock);
    if (status != OK) {
        PLATFORM_free(key);
        return status;
    }
    *out = key;
    return OK;
}

MSTATUS RSA_loadPublicKey(RsaKey* key, uint32_t exponent, const uint8_t* modulus,
                          uint32_t modulusLength, vlong** queue) {
    if (!key) return ERR_RSA_NO_KEY;
    if (exponent < 2) return ERR_BAD_EXPONENT;
    VlongHold e(queue), n(queue);
    MSTATUS status = VLONG_fromUnsigned(exponent, &e.v, queue);
    if (status == OK) status = readNumber(modulus, modulusLength, &n.v, queue);
    if (status != OK) return status;
    releaseAllFields(key, queue);
    key->e = e.v;
    key->n = n.v;
    e.v = n.v = nullptr;
    key->privateKey = 0;
    return OK;
}

MSTATUS RSA_completePrivateKey(RsaKey* key, vlong** queue) {
    if (!key) return ERR_NULL_POINTER;
    if (!key->privateKey) return OK;
    if (!key->e || !key->p || !key->q) return ERR_NULL_POINTER;
    if (VLONG_compare(key->p, key->q) < 0) {
        vlong* t = key->p;
        key->p = key->q;
        key->q = t;
        releaseField(&key->dP, queue);
        releaseField(&key->dQ, queue);
        releaseField(&key->qInv, queue);
        releaseMont(&key->montP, queue);
        releaseMont(&key->montQ, queue);
    }
    MSTATUS status = OK;
    VlongHold less(queue);
    if (!key->dP) {
        status = VLONG_duplicate(key->p, &less.v, queue);
        if (status == OK) status = VLONG_decrement(less.v, queue);
        if (status == OK) status = VLONG_modInverse(key->e, less.v, &key->dP, queue);
        if (status != OK) return status;
        VLONG_release(&less.v, queue);
    }
    if (!key->dQ) {
        status = VLONG_duplicate(key->q, &less.v, queue);
        if (status == OK) status = VLONG_decrement(less.v, queue);
        if (status == OK) status = VLONG_modInverse(key->e, less.v, &key->dQ, queue);
        if (status != OK) return status;
        VLONG_release(&less.v, queue);
    }
    if (!key->qInv) {
        status = VLONG_modInverse(key->q, key->p, &key->qInv, queue);
        if (status != OK) return status;
    }
    if (!key->montP) {
        status = MONT_setup(&key->montP, key->p, queue);
        if (status != OK) return status;
    }
    if (!key->montQ) status = MONT_setup(&key->montQ, key->q, queue);
    return status;
}

MSTATUS RSA_loadPrivateKey(RsaKey* key, uint32_t exponent, const uint8_t* modulus,
                           uint32_t modulusLength, const uint8_t* p, uint32_t pLength,
                           const uint8_t* q, uint32_t qLength, vlong** queue) {
    VlongHold vp(queue), vq(queue);
    MSTATUS status = readNumber(p, pLength, &vp.v, queue);
    if (status == OK) status = readNumber(q, qLength, &vq.v, queue);
    if (status != OK) return status;
    status = RSA_loadPublicKey(key, exponent, modulus, modulusLength, queue);
    if (status != OK) return status;
    key->p = vp.v;
    key->q = vq.v;
    vp.v = vq.v = nullptr;
    key->privateKey = 1;
    return RSA_completePrivateKey(key, queue);
}

MSTATUS RSA_disposeKey(RsaKey** pkey, vlong** queue) {
    if (!pkey || !*pkey) return ERR_NULL_POINTER;
    RsaKey* key = *pkey;
    releaseAllFields(key, queue);
    PLATFORM_mutexFree(&key->lock);
    memset(key, 0, sizeof(RsaKey));
    PLATFORM_free(key);
    *pkey = nullptr;
    return OK;
}

MSTATUS RSA_getModulusLength(const RsaKey* key, int32_t* out) {
    if (!key || !out || !key->n) return ERR_NULL_POINTER;
    *out = int32_t(modulusBytes(key->n));
    return OK;
}

MSTATUS RSA_publicDecrypt(const RsaKey* key, const uint8_t* input, uint8_t* output,
                          uint32_t* outputLength, vlong** queue) {
    if (!key) return ERR_RSA_NO_KEY;
    if (!input || !output || !outputLength) return ERR_NULL_POINTER;
    if (!key->n || !key->n->used) return ERR_RSA_NO_KEY;
    uint32_t k = modulusBytes(key->n);
    if (k > RSA_MAX_MODULUS_BYTES) return ERR_RSA_MODULUS_TOO_LONG;
    if (!key->e || !key->e->used || key->e->used > 1) return ERR_RSA_BAD_EXPONENT;

    VlongHold s(queue), m(queue);
    MSTATUS status = VLONG_fromByteString(input, int32_t(k), &s.v, queue);
    if (status != OK) return status;
    // the signature representative must lie below the modulus
    if (VLONG_compareMagnitude(s.v, key->n) >= 0) return ERR_RSA_BAD_PADDING;
    status = VLONG_powerMod(s.v, key->e, key->n, &m.v, queue);
    if (status != OK) return status;
    int32_t size = int32_t(k);
    status = VLONG_byteStringFromVlong(m.v, output, &size);
    if (status != OK) return status;

    // EB = 00 || 01 || PS (at least eight 0xFF) || 00 || D
    const uint8_t* eb = output;
    uint32_t i = 2;
    bool good = k >= 11 && eb[0] == 0x00 && eb[1] == 0x01;
    if (good) {
        while (i < k && eb[i] == 0xFF) i++;
        good = i < k && eb[i] == 0x00 && i >= 10;
    }
    if (!good) {
        memset(output, 0, k);
        return ERR_RSA_BAD_PADDING;
    }
    uint32_t count = k - i - 1;
    memmove(output, output + i + 1, count);
    memset(output + count, 0, k - count);
    *outputLength = count;
    return OK;
}

namespace {

struct DigestCandidate {
    uint8_t oid[10]; // count byte, then the content bytes
    bool extraArc;
};

const DigestCandidate kCandidates[] = {
    {{7, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02}, true},       // 1.2.840.113549.2.x
    {{8, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02}, true}, // 2.16.840.1.101.3.4.2.x
    {{5, 0x2B, 0x0E, 0x03, 0x02, 0x1A}, false},                  // 1.3.14.3.2.26
    {{5, 0x2B, 0x0E, 0x03, 0x02, 0x1D}, false},                  // 1.3.14.3.2.29
};

// Identifier and digest size for a candidate and its last arc; -1 and 0 when unknown.
void identify(uint32_t candidate, uint8_t arc, int32_t* id, uint32_t* size) {
    *id = -1;
    *size = 0;
    if (candidate == 0) {
        if (arc == 2) *id = HASH_MD2, *size = 16;
        if (arc == 4) *id = HASH_MD4, *size = 16;
        if (arc == 5) *id = HASH_MD5, *size = MD5_DIGEST_SIZE;
    } else if (candidate == 1) {
        if (arc == 1) *id = HASH_SHA256, *size = SHA256_DIGEST_SIZE;
        if (arc == 2) *id = HASH_SHA384, *size = SHA384_DIGEST_SIZE;
        if (arc == 3) *id = HASH_SHA512, *size = SHA512_DIGEST_SIZE;
        if (arc == 4) *id = HASH_SHA224, *size = SHA224_DIGEST_SIZE;
    } else {
        *id = HASH_SHA1;
        *size = SHA1_DIGEST_SIZE;
    }
}

// Writes the DER DigestInfo of an algorithm (with NULL parameters or without) for a digest
// of digestSize bytes, leaving the digest bytes out; returns the header length.
uint32_t digestInfoHeader(uint8_t* out, const uint8_t* oid, uint32_t oidLength, bool withNull,
                          uint32_t digestSize) {
    uint32_t algorithmLength = 2 + oidLength + (withNull ? 2 : 0);
    uint32_t n = 0;
    out[n++] = 0x30;
    out[n++] = uint8_t(2 + algorithmLength + 2 + digestSize);
    out[n++] = 0x30;
    out[n++] = uint8_t(algorithmLength);
    out[n++] = 0x06;
    out[n++] = uint8_t(oidLength);
    memcpy(out + n, oid, oidLength);
    n += oidLength;
    if (withNull) {
        out[n++] = 0x05;
        out[n++] = 0x00;
    }
    out[n++] = 0x04;
    out[n++] = uint8_t(digestSize);
    return n;
}

// The decoded message must be exactly the DER DigestInfo of the algorithm whose identifier
// is oid, carrying a digest of digestSize bytes. Both DER forms of the parameters are taken:
// NULL (the usual one) and absent.
bool isExactDigestInfo(const uint8_t* message, uint32_t length, const uint8_t* oid,
                       uint32_t oidLength, uint32_t digestSize) {
    for (bool withNull : {true, false}) {
        uint8_t header[32];
        uint32_t n = digestInfoHeader(header, oid, oidLength, withNull, digestSize);
        if (length == n + digestSize && memcmp(message, header, n) == 0) return true;
    }
    return false;
}

struct TreeGuard {
    Asn1Item* root = nullptr;
    ~TreeGuard() {
        if (root) ASN1_freeTree(&root);
    }
};

struct BufferGuard {
    uint8_t* p = nullptr;
    uint32_t size = 0;
    ~BufferGuard() {
        if (p) {
            memset(p, 0, size);
            PLATFORM_free(p);
        }
    }
};

struct QueueGuard {
    vlong* queue = nullptr;
    ~QueueGuard() { VLONG_drainQueue(&queue); }
};

} // namespace

MSTATUS RSA_extractDigest(const RsaKey* key, const uint8_t* signature, uint32_t signatureLength,
                          uint8_t* digest, uint32_t* digestLength, int32_t* hashAlgorithm) {
    if (!key || !signature || !digest || !digestLength || !hashAlgorithm) return ERR_NULL_POINTER;
    int32_t k = 0;
    MSTATUS status = RSA_getModulusLength(key, &k);
    if (status != OK) return status;
    if (signatureLength != uint32_t(k)) return ERR_CERT_BAD_DIGEST_LENGTH;
    if (k == 0) return ERR_RSA_NO_KEY;

    QueueGuard queue;
    BufferGuard buffer;
    TreeGuard tree;
    buffer.p = static_cast<uint8_t*>(PLATFORM_malloc(uint32_t(k)));
    if (!buffer.p) return ERR_MEM_ALLOC_FAIL;
    buffer.size = uint32_t(k);
    uint32_t length = 0;
    status = RSA_publicDecrypt(key, signature, buffer.p, &length, &queue.queue);
    if (status != OK) return status;
    if (length > buffer.size) return ERR_CERT_INVALID_STRUCT;

    Asn1Cursor cursor;
    ASN1_memCursorInit(&cursor, buffer.p, length);
    status = ASN1_parse(&cursor, &tree.root);
    if (status != OK || !tree.root) return ERR_CERT_INVALID_STRUCT;
    const Asn1Item* digestInfo = tree.root->firstChild;
    if (!digestInfo || uint64_t(digestInfo->headerSize) + digestInfo->length != length ||
        !digestInfo->firstChild)
        return ERR_CERT_INVALID_STRUCT;

    // which digest algorithm
    const Asn1Item* algorithm = digestInfo->firstChild;
    int32_t id = -1;
    uint32_t expected = 0;
    uint8_t oid[10];
    uint32_t oidLength = 0;
    status = ERR_CERT_INVALID_OID;
    for (uint32_t c = 0; c < sizeof(kCandidates) / sizeof(kCandidates[0]); c++) {
        const DigestCandidate& candidate = kCandidates[c];
        uint8_t arc = 0;
        status = ASN1_compareOid(algorithm, &cursor, candidate.oid,
                                 candidate.extraArc ? &arc : nullptr, nullptr);
        if (status == ERR_CERT_INVALID_OID) continue;
        if (status != OK) return ERR_CERT_INVALID_STRUCT;
        identify(c, arc, &id, &expected);
        oidLength = candidate.oid[0];
        memcpy(oid, candidate.oid + 1, oidLength);
        if (candidate.extraArc) oid[oidLength++] = arc;
        break;
    }
    if (status != OK) return status;

    // the digest itself
    Asn1Item* digestItem = nullptr;
    if (ASN1_getChild(digestInfo, 2, &digestItem) != OK || !digestItem)
        return ERR_CERT_INVALID_STRUCT;
    if (digestItem->length != expected ||
        uint64_t(digestItem->contentOffset) + digestItem->length != length)
        return ERR_CERT_BAD_DIGEST_LENGTH;
    if (id < 0 || !isExactDigestInfo(buffer.p, length, oid, oidLength, expected))
        return ERR_CERT_INVALID_STRUCT;

    memset(digest, 0, HASH_MAX_DIGEST_SIZE);
    memcpy(digest, buffer.p + length - expected, expected);
    *digestLength = expected;
    *hashAlgorithm = id;
    return OK;
}
