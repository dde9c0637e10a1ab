// Message digests: MD5, SHA-1, SHA-224/256/384/512, the hash-suite table
// and the SHA-1 based G function of the FIPS 186-2 generator.
#pragma once
#include <cstdint>

#include "crypto/platform/errors.h"

// Hash algorithm identifiers (last arc of the PKCS #1 signature algorithm OIDs)
enum : uint32_t {
    HASH_MD2 = 2,
    HASH_MD4 = 3,
    HASH_MD5 = 4,
    HASH_SHA1 = 5,
    HASH_SHA256 = 11,
    HASH_SHA384 = 12,
    HASH_SHA512 = 13,
    HASH_SHA224 = 14,
};

enum : uint32_t {
    MD5_DIGEST_SIZE = 16,
    SHA1_DIGEST_SIZE = 20,
    SHA224_DIGEST_SIZE = 28,
    SHA256_DIGEST_SIZE = 32,
    SHA384_DIGEST_SIZE = 48,
    SHA512_DIGEST_SIZE = 64,
    HASH_MAX_DIGEST_SIZE = 64,
};

struct Sha256Context {
    uint32_t state[8];
    uint32_t lengthHigh, lengthLow; // bytes (bits after final)
    int32_t waiting;
    uint8_t block[64];
};
struct Sha1Context {
    uint32_t state[5];
    uint32_t lengthHigh, lengthLow;
    int32_t waiting;
    uint8_t block[64];
};
struct Md5Context {
    uint32_t state[4];
    uint32_t bitsHigh, bitsLow;
    int32_t waiting;
    uint8_t block[64];
};
struct Sha512Context {
    uint64_t state[8];
    uint32_t length[4]; // bytes, most significant word first
    int32_t waiting;
    uint8_t block[128];
};

struct HashSuite {
    uint32_t digestSize;
    uint32_t blockSize;
    MSTATUS (*allocCtx)(void** ctx);
    MSTATUS (*freeCtx)(void** ctx);
    MSTATUS (*init)(void* ctx);
    MSTATUS (*update)(void* ctx, const uint8_t* data, uint32_t length);
    MSTATUS (*final)(void* ctx, uint8_t* digest);
};

MSTATUS HASH_computeDigest(const uint8_t* data, uint32_t length, uint8_t* digest,
                           uint32_t* digestLength, uint32_t algorithm);
MSTATUS HASH_getSuite(uint32_t algorithm, const HashSuite** suite);

#define DECLARE_HASH_API(XXX, Ctx)                                                                 \
    MSTATUS XXX##_init(Ctx* ctx);                                                                  \
    MSTATUS XXX##_update(Ctx* ctx, const uint8_t* data, uint32_t length);                          \
    MSTATUS XXX##_final(Ctx* ctx, uint8_t* digest);                                                \
    MSTATUS XXX##_complete(const uint8_t* data, uint32_t length, uint8_t* digest);                 \
    MSTATUS XXX##_allocCtx(Ctx** ctx);                                                             \
    MSTATUS XXX##_freeCtx(Ctx** ctx);

DECLARE_HASH_API(MD5, Md5Context)
DECLARE_HASH_API(SHA1, Sha1Context)
DECLARE_HASH_API(SHA224, Sha256Context)
DECLARE_HASH_API(SHA256, Sha256Context)
DECLARE_HASH_API(SHA384, Sha512Context)
DECLARE_HASH_API(SHA512, Sha512Context)
#undef DECLARE_HASH_API

// FIPS 186-2 appendix 3 G function: one SHA-1 compression of a 64-byte block.
MSTATUS SHA1_gFunction(const uint8_t block[64], uint8_t out[20]);
MSTATUS SHA1_gFunctionRotated(const uint8_t block[64], uint8_t out[20]);

// The six suites, in the order MD5, SHA-1, SHA-256, SHA-384, SHA-512, SHA-224.
extern const HashSuite HASH_suiteTable[6];
