// Toolkit start-up and the RANDOM_ layer over the two generators.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "crypto/asn1/keys.h"
#include "crypto/random/random.h"

// Kind 0, from fips186.cpp.
MSTATUS FIPS186_create(RandomContext** out);
MSTATUS FIPS186_release(RandomContext** out);
MSTATUS FIPS186_generate(RandomContext* ctx, uint8_t* buffer, uint32_t length);
MSTATUS FIPS186_addEntropyBit(RandomContext* ctx, uint32_t bit);

uint32_t g_toolkitStartCount = 0;
PlatformTimeStamp g_toolkitStartTime = {0};
RandomContext* g_pRandomContext = nullptr;
uint32_t g_toolkitStrictMode = 0;
const char* g_toolkitEntropyDevice = "/dev/urandom";

MSTATUS RANDOM_createContext(RandomContext** out, uint32_t mode) {
    if (out == nullptr) return ERR_NULL_POINTER;
    if (mode == RANDOM_MODE_CTRDRBG || mode == RANDOM_MODE_DEFAULT) {
        uint8_t entropy[CTRDRBG_MAX_SEED_BYTES];
        MSTATUS status = ENTROPY_getBytes(entropy, sizeof entropy);
        if (status == OK) status = CTRDRBG_instantiate(out, entropy, 32, 16, nullptr, 0);
        PLATFORM_zeroize(entropy, sizeof entropy);
        return status;
    }
    if (mode == RANDOM_MODE_FIPS186) return FIPS186_create(out);
    return ERR_INVALID_ARG;
}

MSTATUS RANDOM_releaseContext(RandomContext** ctx) {
    if (ctx == nullptr || *ctx == nullptr) return ERR_NULL_POINTER;
    switch ((*ctx)->kind) {
    case RANDOM_KIND_FIPS186:
        return FIPS186_release(ctx);
    case RANDOM_KIND_CTRDRBG:
        return CTRDRBG_release(ctx);
    default:
        return ERR_NULL_POINTER;
    }
}

MSTATUS RANDOM_generate(RandomContext* ctx, uint8_t* buffer, uint32_t length) {
    if (ctx == nullptr || buffer == nullptr) return ERR_NULL_POINTER;
    switch (ctx->kind) {
    case RANDOM_KIND_FIPS186:
        return FIPS186_generate(ctx, buffer, length);
    case RANDOM_KIND_CTRDRBG:
        // length * 8 must not wrap: anything this long is over the request limit anyway.
        if (length >= (1u << 29)) return ERR_DRBG_REQUEST_TOO_LARGE;
        return CTRDRBG_generate(ctx, nullptr, 0, buffer, length * 8);
    default:
        return ERR_NULL_POINTER;
    }
}

MSTATUS RANDOM_addEntropyBit(RandomContext* ctx, uint32_t bit) {
    if (ctx == nullptr) return ERR_NULL_POINTER;
    if (ctx->kind == RANDOM_KIND_FIPS186) return FIPS186_addEntropyBit(ctx, bit);
    if (ctx->kind != RANDOM_KIND_CTRDRBG) return ERR_NULL_POINTER;

    CtrDrbgContext* drbg = reinterpret_cast<CtrDrbgContext*>(ctx);
    MSTATUS status = ENTROPY_addBit(bit & 1u);
    if (status < 0) return status;
    if (++drbg->entropyBits < ENTROPY_POOL_BITS) return OK;
    // Every 384 bits: reseed from the depot.
    uint8_t entropy[CTRDRBG_MAX_SEED_BYTES];
    const uint32_t seedLength = drbg->keyLength + drbg->blockLength;
    status = ENTROPY_getBytes(entropy, seedLength);
    if (status == OK) status = CTRDRBG_reseed(ctx, entropy, seedLength, nullptr, 0);
    PLATFORM_zeroize(entropy, sizeof entropy);
    if (status < 0) return status;
    drbg->entropyBits = 0;
    return OK;
}

MSTATUS RANDOM_addEntropyBitDefault(uint32_t bit) {
    return RANDOM_addEntropyBit(g_pRandomContext, bit);
}

MSTATUS RANDOM_addEntropyWord(uint32_t word) {
    for (int i = 0; i < 32; ++i) {
        MSTATUS status = RANDOM_addEntropyBitDefault((word >> i) & 1u);
        if (status < 0) return status;
    }
    return OK;
}

namespace {

// 256 bits from the system's random device go into the depot through the
// default context, least significant bit of each word first.
MSTATUS seedFromSystem() {
    int fd = open(g_toolkitEntropyDevice, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ERR_FILE_OPEN_FAILED;
    MSTATUS status = OK;
    for (int i = 0; i < 8 && status == OK; ++i) {
        uint8_t bytes[4];
        ssize_t got;
        do {
            got = read(fd, bytes, sizeof bytes);
        } while (got < 0 && errno == EINTR);
        if (got != static_cast<ssize_t>(sizeof bytes)) {
            status = ERR_FILE_READ_FAILED;
            break;
        }
        uint32_t word;
        std::memcpy(&word, bytes, sizeof word);
        for (int bit = 0; bit < 32 && status == OK; ++bit) {
            status = RANDOM_addEntropyBit(g_pRandomContext, (word >> bit) & 1u);
        }
        PLATFORM_zeroize(bytes, sizeof bytes);
        PLATFORM_zeroize(&word, sizeof word);
    }
    close(fd);
    return status;
}

} // namespace

MSTATUS TOOLKIT_initialize() {
    if (++g_toolkitStartCount != 1) {
        // Only the first call works; keep the count from wrapping back to 1.
        g_toolkitStartCount = 2;
        return OK;
    }
    MSTATUS status = PLATFORM_startupHook1();
    if (status < 0) return status;
    status = PLATFORM_startupHook2();
    if (status < 0) return status;
    PLATFORM_timeStamp(nullptr, &g_toolkitStartTime);
    status = PLATFORM_startupHook3();
    if (status < 0) return status;
    g_debugConsoleState[0] = 0;
    g_debugConsoleState[1] = -1;
    status = BASE64_initTable();
    if (status < 0) return status;
    status = RANDOM_createContext(&g_pRandomContext, RANDOM_MODE_DEFAULT);
    if (status < 0) return status;
    status = seedFromSystem();
    if (status < 0) return status;
    g_toolkitStrictMode = 0;
    status = PLATFORM_startupHook4(g_toolkitStrictMode);
    if (status < 0) return status;
    return PLATFORM_startupHook5(g_toolkitStrictMode);
}

MSTATUS TOOLKIT_shutdown() {
    if (g_pRandomContext != nullptr) RANDOM_releaseContext(&g_pRandomContext);
    BASE64_freeTable();
    MSTATUS status = PLATFORM_shutdownHooks();
    // A later start-up builds everything anew.
    g_toolkitStartCount = 0;
    return status;
}
