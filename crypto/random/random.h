// Toolkit start-up, the process-wide random generator, the entropy depot,
// the CTR_DRBG (SP 800-90A) and the FIPS 186-2 generator.
#pragma once
#include <cstdint>

#include "crypto/aes/aes.h"
#include "crypto/platform/errors.h"
#include "crypto/platform/platform.h"

enum : uint32_t {
    RANDOM_KIND_FIPS186 = 0,
    RANDOM_KIND_ECC = 1, // not created by this system
    RANDOM_KIND_CTRDRBG = 2,
};

enum : uint32_t {
    RANDOM_MODE_CTRDRBG = 0,
    RANDOM_MODE_FIPS186 = 1,
    RANDOM_MODE_DEFAULT = 3, // CTR_DRBG, as start-up creates it
};

enum : uint32_t {
    ENTROPY_POOL_BITS = 384,
    ENTROPY_OUTPUT_BYTES = 48,
    CTRDRBG_MAX_SEED_BYTES = 48,
    CTRDRBG_FLAG_DERIVATION_FUNCTION = 1,
};

// Every random context starts with its kind.
struct RandomContext {
    uint32_t kind;
};

struct CtrDrbgContext;
typedef MSTATUS (*CtrDrbgBlockFunction)(CtrDrbgContext* ctx, const uint8_t* in, uint8_t* out);

struct CtrDrbgContext {
    RandomContext header; // kind RANDOM_KIND_CTRDRBG
    uint32_t entropyBits; // bits added since the last reseed
    uint32_t reseedHigh;  // requests since the last (re)seed, 64 bits
    uint32_t reseedLow;
    uint32_t blockLength;       // 16 (AES) or 8 (triple DES)
    uint32_t keyLength;         // 16, 24, 32 (AES) or 21 (triple DES)
    CtrDrbgBlockFunction block; // encrypts one block under the current key
    AESCtx cipher;              // ECB encryption schedule of the current key
    uint32_t flags;             // CTRDRBG_FLAG_DERIVATION_FUNCTION
    uint8_t* outputBlock;       // scratch for one output block
    uint8_t V[16];
    uint8_t key[32];
};

struct Fips186Context {
    RandomContext header; // kind RANDOM_KIND_FIPS186
    uint32_t bitPosition; // where the next entropy bit lands in XKEY
    const uint8_t* seed;  // optional external seed (XSEED), used once
    uint32_t seedLength;
    uint8_t output[40];
    uint32_t outputLeft; // unread bytes at the end of output
    uint32_t b;          // XKEY length in bytes, 20 to 64
    uint8_t gInput[64];
    uint8_t xkey[64];
};

// Start-up (only the first call works) and shutdown.
MSTATUS TOOLKIT_initialize();
MSTATUS TOOLKIT_shutdown();

// Toolkit globals set up by TOOLKIT_initialize.
extern uint32_t g_toolkitStartCount;
extern PlatformTimeStamp g_toolkitStartTime;
extern RandomContext* g_pRandomContext;
extern uint32_t g_toolkitStrictMode;
// The device start-up seeds from; tests point it elsewhere.
extern const char* g_toolkitEntropyDevice;

MSTATUS RANDOM_createContext(RandomContext** out, uint32_t mode);
MSTATUS RANDOM_releaseContext(RandomContext** ctx);
MSTATUS RANDOM_generate(RandomContext* ctx, uint8_t* buffer, uint32_t length);
MSTATUS RANDOM_addEntropyBit(RandomContext* ctx, uint32_t bit);
MSTATUS RANDOM_addEntropyBitDefault(uint32_t bit);
MSTATUS RANDOM_addEntropyWord(uint32_t word);

// FIPS 186-2: seeds later generation with an external XSEED (consumed once),
// and the variant that generates k with the rotated G function.
MSTATUS FIPS186_setSeed(RandomContext* ctx, const uint8_t* seed, uint32_t length);
MSTATUS FIPS186_generateK(RandomContext* ctx, uint8_t* buffer, uint32_t length);

// The process-wide entropy depot.
MSTATUS ENTROPY_addBit(uint32_t bit);
MSTATUS ENTROPY_getBytes(uint8_t* buffer, uint32_t count);
MSTATUS ENTROPY_shutdown();
// Returns the depot to its first-use state (wiped); for tests and re-start.
MSTATUS ENTROPY_reinitialize();
struct EntropyDepotInfo {
    uint32_t initialised, primed, shutDown;
    uint32_t bitPosition;  // 0 to 383
    uint32_t unusedBytes;  // of the 48-byte output block
    uint32_t refreshCount; // refreshes of the mixing block so far
};
MSTATUS ENTROPY_getInfo(EntropyDepotInfo* info);

// CTR_DRBG. The entropy given to instantiate is key length + block length bytes.
MSTATUS CTRDRBG_instantiate(RandomContext** out, const uint8_t* entropy, uint32_t keyLength,
                            uint32_t blockLength, const uint8_t* personalisation,
                            uint32_t personalisationLength);
MSTATUS CTRDRBG_reseed(RandomContext* ctx, const uint8_t* entropy, uint32_t entropyLength,
                       const uint8_t* additional, uint32_t additionalLength);
MSTATUS CTRDRBG_generate(RandomContext* ctx, const uint8_t* additional, uint32_t additionalLength,
                         uint8_t* output, uint32_t bits);
MSTATUS CTRDRBG_release(RandomContext** ctx);
