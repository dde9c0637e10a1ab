// RSA key record, the public operation with PKCS #1 v1.5 block type 1
// decoding, and the signature-to-digest decoder.
#pragma once
#include <cstdint>

#include "crypto/platform/platform.h"
#include "crypto/vlong/vlong.h"

enum : uint32_t { RSA_MAX_MODULUS_BYTES = 512 };

struct RsaKey {
    uint32_t privateKey;
    vlong* e;
    vlong* n;
    vlong* p;
    vlong* q;
    vlong* dP;
    vlong* dQ;
    vlong* qInv;
    MontContext* montP;
    MontContext* montQ;
    PlatformMutex lock;
    vlong* work[2];
    uint32_t workWord;
};

MSTATUS RSA_newKey(RsaKey** out);
MSTATUS RSA_loadPublicKey(RsaKey* key, uint32_t exponent, const uint8_t* modulus,
                          uint32_t modulusLength, vlong** queue);
MSTATUS RSA_loadPrivateKey(RsaKey* key, uint32_t exponent, const uint8_t* modulus,
                           uint32_t modulusLength, const uint8_t* p, uint32_t pLength,
                           const uint8_t* q, uint32_t qLength, vlong** queue);
MSTATUS RSA_completePrivateKey(RsaKey* key, vlong** queue);
MSTATUS RSA_disposeKey(RsaKey** key, vlong** queue);
MSTATUS RSA_getModulusLength(const RsaKey* key, int32_t* out);
MSTATUS RSA_publicDecrypt(const RsaKey* key, const uint8_t* input, uint8_t* output,
                          uint32_t* outputLength, vlong** queue);
// digest must hold 64 bytes; hashAlgorithm receives an identifier of crypto/hash/hash.h
MSTATUS RSA_extractDigest(const RsaKey* key, const uint8_t* signature, uint32_t signatureLength,
                          uint8_t* digest, uint32_t* digestLength, int32_t* hashAlgorithm);
