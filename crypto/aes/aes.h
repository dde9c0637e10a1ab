// AES-128/192/256 (FIPS-197) with ECB and CBC chaining, in the 32-bit table form.
#pragma once
#include <cstdint>

#include "crypto/platform/errors.h"

enum : uint32_t {
    AES_BLOCK_SIZE = 16,
    AES_MODE_ECB = 1,
    AES_MODE_CBC = 2,
    AES_MAX_ROUND_KEY_WORDS = 60,
    AES_DEBUG_LEVEL = 32,
};

struct AESCtx {
    uint32_t encrypt;                               // 1: encrypts, 0: decrypts
    uint32_t mode;                                  // AES_MODE_ECB or AES_MODE_CBC
    uint32_t keyBits;                               // 128, 192 or 256
    uint32_t rounds;                                // 10, 12 or 14
    uint32_t roundKeys[AES_MAX_ROUND_KEY_WORDS];    // schedule for the context's direction
    uint32_t encRoundKeys[AES_MAX_ROUND_KEY_WORDS]; // encryption schedule, always expanded
};

// A CBC context for one direction (non-zero encrypt: encryption); null on failure.
AESCtx* CreateAESCtx(const uint8_t* key, uint32_t keyLength, uint32_t encrypt);
// Encrypts or decrypts length bytes (a multiple of 16) in place, chaining through iv.
MSTATUS DoAES(AESCtx* ctx, uint8_t* data, uint32_t length, uint32_t encrypt, uint8_t* iv);
MSTATUS ReleaseAESCtx(AESCtx** ctx);

MSTATUS AES_initKey(AESCtx* ctx, uint32_t keyBits, const uint8_t* key, uint32_t encrypt,
                    uint32_t mode);
// Lengths in bits; a trailing partial block is ignored. *processed gets the bits done.
MSTATUS AES_encryptBlocks(AESCtx* ctx, uint8_t* iv, const uint8_t* input, int32_t bits,
                          uint8_t* output, int32_t* processed);
MSTATUS AES_decryptBlocks(AESCtx* ctx, uint8_t* iv, const uint8_t* input, int32_t bits,
                          uint8_t* output, int32_t* processed);
