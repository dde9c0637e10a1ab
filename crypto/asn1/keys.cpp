// KeyObject management and the readers of the RSA key structures (SubjectPublicKeyInfo,
// PKCS #1 RSAPublicKey and RSAPrivateKey).
#include <cstring>

#include "crypto/asn1/asn1.h"
#include "crypto/asn1/keys.h"
#include "crypto/asn1/keys_internal.h"
#include "crypto/platform/platform.h"

// ---------------------------------------------------------------------------------------------
// Shared checks

void KEYS_stripLeadingZeros(const uint8_t** bytes, uint32_t* length) {
    while (*length > 0 && **bytes == 0) {
        ++*bytes;
        --*length;
    }
}

MSTATUS KEYS_checkPrime(const uint8_t* bytes, uint32_t length) {
    KEYS_stripLeadingZeros(&bytes, &length);
    // A usable prime is odd, above 1 and no longer than the largest modulus.
    if (length == 0 || length > RSA_MAX_MODULUS_BYTES) return ERR_RSA_NOT_RSA_KEY;
    if ((bytes[length - 1] & 1u) == 0) return ERR_RSA_NOT_RSA_KEY;
    if (length == 1 && bytes[0] == 1) return ERR_RSA_NOT_RSA_KEY;
    return OK;
}

// ---------------------------------------------------------------------------------------------
// KeyObject

MSTATUS KEY_init(KeyObject* key) {
    if (key == nullptr) return ERR_NULL_POINTER;
    key->type = KEY_TYPE_EMPTY;
    key->key = nullptr;
    return OK;
}

MSTATUS KEY_release(KeyObject* key) {
    if (key == nullptr) return ERR_NULL_POINTER;
    switch (key->type) {
    case KEY_TYPE_EMPTY:
        break;
    case KEY_TYPE_RSA:
        if (key->key != nullptr) {
            RsaKey* rsa = static_cast<RsaKey*>(key->key);
            const MSTATUS status = RSA_disposeKey(&rsa, nullptr);
            if (status != OK) return status;
        }
        break;
    default:
        // This build creates no elliptic-curve or DSA records, so it cannot release one.
        return ERR_BAD_KEY_TYPE;
    }
    key->type = KEY_TYPE_EMPTY;
    key->key = nullptr;
    return OK;
}

MSTATUS KEY_makeRsa(KeyObject* key) {
    if (key == nullptr) return ERR_NULL_POINTER;
    MSTATUS status = KEY_release(key);
    if (status != OK) return status;
    RsaKey* rsa = nullptr;
    status = RSA_newKey(&rsa);
    if (status != OK) return status;
    key->type = KEY_TYPE_RSA;
    key->key = rsa;
    return OK;
}

namespace {

MSTATUS copyVlong(const vlong* source, vlong** destination) {
    if (source == nullptr) return OK;
    return VLONG_duplicate(source, destination, nullptr);
}

MSTATUS copyRsa(const RsaKey* source, RsaKey** out) {
    RsaKey* copy = nullptr;
    MSTATUS status = RSA_newKey(&copy);
    if (status != OK) return status;
    copy->privateKey = source->privateKey;
    const vlong* const from[] = {source->e,  source->n,  source->p,   source->q,
                                 source->dP, source->dQ, source->qInv};
    vlong** const to[] = {&copy->e,  &copy->n,  &copy->p,   &copy->q,
                          &copy->dP, &copy->dQ, &copy->qInv};
    for (size_t i = 0; i < sizeof(from) / sizeof(from[0]) && status == OK; ++i) {
        status = copyVlong(from[i], to[i]);
    }
    // Montgomery contexts are rebuilt from their moduli rather than copied field by field.
    if (status == OK && source->montP != nullptr && source->montP->m != nullptr) {
        status = MONT_setup(&copy->montP, source->montP->m, nullptr);
    }
    if (status == OK && source->montQ != nullptr && source->montQ->m != nullptr) {
        status = MONT_setup(&copy->montQ, source->montQ->m, nullptr);
    }
    if (status != OK) {
        RSA_disposeKey(&copy, nullptr);
        return status;
    }
    *out = copy;
    return OK;
}

} // namespace

MSTATUS KEY_copy(KeyObject* destination, const KeyObject* source) {
    if (destination == nullptr || source == nullptr) return ERR_NULL_POINTER;
    if (destination == source) return OK;
    if (source->type != KEY_TYPE_EMPTY && source->type != KEY_TYPE_RSA) return ERR_BAD_KEY_TYPE;
    MSTATUS status = KEY_release(destination);
    if (status != OK) return status;
    if (source->type == KEY_TYPE_EMPTY || source->key == nullptr) {
        destination->type = source->type;
        return OK;
    }
    RsaKey* copy = nullptr;
    status = copyRsa(static_cast<const RsaKey*>(source->key), &copy);
    if (status != OK) return status;
    destination->type = KEY_TYPE_RSA;
    destination->key = copy;
    return OK;
}

MSTATUS KEY_setRsa(KeyObject* key, uint32_t e, const uint8_t* n, uint32_t nLength, const uint8_t* p,
                   uint32_t pLength, const uint8_t* q, uint32_t qLength) {
    if (key == nullptr) return ERR_NULL_POINTER;
    if (n == nullptr && nLength != 0) return ERR_NULL_POINTER;
    const bool isPrivate = p != nullptr && q != nullptr;
    if (isPrivate) {
        // Completing a private key costs inversions modulo p and q: refuse numbers that
        // cannot be primes of a supported key before doing any arithmetic on them.
        const uint8_t* nBytes = n;
        uint32_t nBytesLength = nLength;
        KEYS_stripLeadingZeros(&nBytes, &nBytesLength);
        if (nBytesLength > RSA_MAX_MODULUS_BYTES) return ERR_CERT_MODULUS_TOO_LONG;
        MSTATUS status = KEYS_checkPrime(p, pLength);
        if (status == OK) status = KEYS_checkPrime(q, qLength);
        if (status != OK) return status;
        const uint8_t* pb = p;
        const uint8_t* qb = q;
        uint32_t pl = pLength, ql = qLength;
        KEYS_stripLeadingZeros(&pb, &pl);
        KEYS_stripLeadingZeros(&qb, &ql);
        if (pl == ql && memcmp(pb, qb, pl) == 0) return ERR_RSA_NOT_RSA_KEY;
    }
    if (key->type != KEY_TYPE_RSA || key->key == nullptr) {
        const MSTATUS status = KEY_makeRsa(key);
        if (status != OK) return status;
    }
    RsaKey* rsa = static_cast<RsaKey*>(key->key);
    if (isPrivate) {
        return RSA_loadPrivateKey(rsa, e, n, nLength, p, pLength, q, qLength, nullptr);
    }
    return RSA_loadPublicKey(rsa, e, n, nLength, nullptr);
}

// ---------------------------------------------------------------------------------------------
// RSA key structures

namespace {

// rsaEncryption's arc: 1.2.840.113549.1.1, followed by one more byte (1).
const uint8_t kPkcs1Arc[] = {8, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01};

bool isUniversal(const Asn1Item* item, uint32_t tag) {
    return item != nullptr && ASN1_checkTag(item, tag) == OK;
}

bool isPrimitiveInteger(const Asn1Item* item) {
    return isUniversal(item, ASN1_INTEGER) && (item->form & ASN1_CONSTRUCTED) == 0;
}

// The content bytes of an item, only when they lie inside the input.
const uint8_t* contentOf(Asn1Cursor* cursor, const Asn1Item* item) {
    return cursor->ops->borrow(cursor, item->contentOffset, item->length);
}

// A failure here never reaches a caller as such: KEYS_readRsaForms then reads the SEQUENCE as
// an RSAPublicKey, which refuses it with ERR_RSA_NOT_RSA_KEY (its first item is no INTEGER).
// The checks of the modulus length, the exponent length and the exponent (below 2) still decide
// what is refused; the codes they return (-7621, -7605, -6013) stay inside.
MSTATUS readSubjectPublicKeyInfo(Asn1Cursor* cursor, const Asn1Item* algorithm,
                                 const Asn1Item* keyBits, KeyObject* key) {
    uint8_t arc = 0;
    MSTATUS status = ASN1_compareOid(algorithm, cursor, kPkcs1Arc, &arc, nullptr);
    if (status != OK) return status;
    if (arc != 1) return ERR_CERT_INVALID_OID;

    if (!isUniversal(keyBits, ASN1_BIT_STRING) || !keyBits->encapsulates) {
        return ERR_CERT_INVALID_STRUCT;
    }
    const Asn1Item* sequence = keyBits->firstChild;
    if (!isUniversal(sequence, ASN1_SEQUENCE)) return ERR_CERT_INVALID_STRUCT;
    const Asn1Item* modulus = sequence->firstChild;
    if (!isPrimitiveInteger(modulus)) return ERR_CERT_INVALID_STRUCT;

    const uint8_t* n = contentOf(cursor, modulus);
    if (n == nullptr) return ERR_CERT_INVALID_STRUCT;
    uint32_t nLength = modulus->length;
    KEYS_stripLeadingZeros(&n, &nLength);
    if (nLength > RSA_MAX_MODULUS_BYTES) return ERR_CERT_MODULUS_TOO_LONG;

    const Asn1Item* exponent = modulus->next;
    if (!isPrimitiveInteger(exponent)) return ERR_CERT_INVALID_STRUCT;
    if (exponent->length > 4) return ERR_CERT_EXPONENT_TOO_LONG;

    return KEY_setRsa(key, exponent->value, n, nLength, nullptr, 0, nullptr, 0);
}

MSTATUS readRsaPrivateKey(Asn1Cursor* cursor, const Asn1Item* c1, KeyObject* key) {
    const Asn1Item* c2 = c1->next;
    if (!isPrimitiveInteger(c1) || !isPrimitiveInteger(c2)) return ERR_RSA_NOT_RSA_KEY;
    if (c1->length > 4 || c1->value > 1) return ERR_RSA_BAD_VERSION;
    const Asn1Item* c3 = c2->next;
    const Asn1Item* c4 = c3 != nullptr ? c3->next : nullptr;
    const Asn1Item* c5 = c4 != nullptr ? c4->next : nullptr;
    const Asn1Item* c6 = c5 != nullptr ? c5->next : nullptr;
    if (!isPrimitiveInteger(c3) || c3->length > 4 || c4 == nullptr || !isPrimitiveInteger(c5) ||
        !isPrimitiveInteger(c6)) {
        return ERR_RSA_NOT_RSA_KEY;
    }
    const uint8_t* n = contentOf(cursor, c2);
    const uint8_t* p = contentOf(cursor, c5);
    const uint8_t* q = contentOf(cursor, c6);
    if (n == nullptr || p == nullptr || q == nullptr) return ERR_RSA_NOT_RSA_KEY;
    return KEY_setRsa(key, c3->value, n, c2->length, p, c5->length, q, c6->length);
}

MSTATUS readRsaPublicKey(Asn1Cursor* cursor, const Asn1Item* c1, KeyObject* key) {
    const Asn1Item* c2 = c1->next;
    if (!isPrimitiveInteger(c1)) return ERR_RSA_NOT_RSA_KEY;
    if (!isPrimitiveInteger(c2) || c2->length > 4) return ERR_RSA_NOT_RSA_KEY;
    const uint8_t* n = contentOf(cursor, c1);
    if (n == nullptr) return ERR_RSA_NOT_RSA_KEY;
    return KEY_setRsa(key, c2->value, n, c1->length, nullptr, 0, nullptr, 0);
}

} // namespace

MSTATUS KEYS_readRsaForms(const uint8_t* der, uint32_t length, KeyObject* key) {
    if (der == nullptr || key == nullptr) return ERR_NULL_POINTER;
    Asn1Cursor cursor;
    ASN1_memCursorInit(&cursor, der, length);
    Asn1Item* root = nullptr;
    MSTATUS status = ASN1_parse(&cursor, &root);
    if (status != OK) return status;

    const Asn1Item* top = root->firstChild;
    const Asn1Item* c1 = nullptr;
    const Asn1Item* c2 = nullptr;
    if (!isUniversal(top, ASN1_SEQUENCE) || (top->form & ASN1_CONSTRUCTED) == 0) {
        status = ERR_RSA_NOT_RSA_KEY;
    } else {
        c1 = top->firstChild;
        c2 = c1 != nullptr ? c1->next : nullptr;
        if (c2 == nullptr) status = ERR_RSA_NOT_RSA_KEY;
    }
    if (status == OK) status = KEY_makeRsa(key);
    if (status == OK) {
        if (c2->next != nullptr) {
            status = readRsaPrivateKey(&cursor, c1, key);
        } else {
            status = readSubjectPublicKeyInfo(&cursor, c1, c2, key);
            if (status != OK) status = readRsaPublicKey(&cursor, c1, key);
        }
        if (status != OK) KEY_release(key);
    }
    ASN1_freeTree(&root);
    return status;
}

MSTATUS KEYS_readEccForms(const uint8_t* der, uint32_t length, KeyObject* key, MSTATUS rsaStatus) {
    if (der == nullptr || key == nullptr) return ERR_NULL_POINTER;
    // Elliptic-curve keys are not supported by this build. A SubjectPublicKeyInfo of another
    // algorithm is reported as such; anything else keeps the RSA reader's verdict.
    Asn1Cursor cursor;
    ASN1_memCursorInit(&cursor, der, length);
    Asn1Item* root = nullptr;
    MSTATUS status = ASN1_parse(&cursor, &root);
    if (status != OK) return status;
    status = rsaStatus;
    const Asn1Item* top = root->firstChild;
    if (isUniversal(top, ASN1_SEQUENCE) && top->firstChild != nullptr &&
        top->firstChild->next != nullptr && top->firstChild->next->next == nullptr) {
        uint8_t arc = 0;
        const MSTATUS oidStatus =
            ASN1_compareOid(top->firstChild, &cursor, kPkcs1Arc, &arc, nullptr);
        const bool rsaEncryption = oidStatus == OK && arc == 1;
        if ((oidStatus == OK || oidStatus == ERR_CERT_INVALID_OID) && !rsaEncryption &&
            isUniversal(top->firstChild->next, ASN1_BIT_STRING)) {
            status = ERR_CERT_INVALID_OID;
        }
    }
    ASN1_freeTree(&root);
    return status;
}
