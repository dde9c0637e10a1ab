// CTR_DRBG of NIST SP 800-90A with AES and no derivation function.
#include <cstring>

#include "crypto/random/random.h"

namespace {

CtrDrbgContext* asDrbg(RandomContext* ctx) {
    if (ctx == nullptr || ctx->kind != RANDOM_KIND_CTRDRBG) return nullptr;
    return reinterpret_cast<CtrDrbgContext*>(ctx);
}

MSTATUS aesBlock(CtrDrbgContext* ctx, const uint8_t* in, uint8_t* out) {
    int32_t processed = 0;
    return AES_encryptBlocks(&ctx->cipher, nullptr, in, 128, out, &processed);
}

void incrementV(CtrDrbgContext* ctx) {
    for (uint32_t i = ctx->blockLength; i-- != 0;) {
        if (++ctx->V[i] != 0) break;
    }
}

MSTATUS rekey(CtrDrbgContext* ctx) {
    return AES_initKey(&ctx->cipher, ctx->keyLength * 8, ctx->key, 1, AES_MODE_ECB);
}

// CTR_DRBG_Update: provided holds seed length bytes.
MSTATUS update(CtrDrbgContext* ctx, const uint8_t* provided) {
    const uint32_t seedLength = ctx->keyLength + ctx->blockLength;
    uint8_t temp[CTRDRBG_MAX_SEED_BYTES];
    MSTATUS status = OK;
    for (uint32_t off = 0; off < seedLength && status == OK; off += ctx->blockLength) {
        incrementV(ctx);
        status = ctx->block(ctx, ctx->V, ctx->outputBlock);
        uint32_t take = seedLength - off < ctx->blockLength ? seedLength - off : ctx->blockLength;
        std::memcpy(temp + off, ctx->outputBlock, take);
    }
    if (status == OK) {
        for (uint32_t i = 0; i < seedLength; ++i) temp[i] ^= provided[i];
        std::memcpy(ctx->key, temp, ctx->keyLength);
        std::memcpy(ctx->V, temp + ctx->keyLength, ctx->blockLength);
        status = rekey(ctx);
    }
    PLATFORM_zeroize(temp, sizeof temp);
    PLATFORM_zeroize(ctx->outputBlock, ctx->blockLength);
    return status;
}

// Additional input as the update takes it: cut to the seed length, zero padded.
void padInput(uint8_t* out, uint32_t seedLength, const uint8_t* in, uint32_t length) {
    std::memset(out, 0, seedLength);
    if (in != nullptr && length != 0)
        std::memcpy(out, in, length < seedLength ? length : seedLength);
}

MSTATUS freeDrbg(CtrDrbgContext* ctx) {
    if (ctx->outputBlock != nullptr) {
        PLATFORM_zeroize(ctx->outputBlock, ctx->blockLength);
        PLATFORM_free(ctx->outputBlock);
    }
    PLATFORM_zeroize(ctx, sizeof *ctx);
    PLATFORM_free(ctx);
    return OK;
}

} // namespace

MSTATUS CTRDRBG_instantiate(RandomContext** out, const uint8_t* entropy, uint32_t keyLength,
                            uint32_t blockLength, const uint8_t* personalisation,
                            uint32_t personalisationLength) {
    if (out == nullptr || entropy == nullptr) return ERR_NULL_POINTER;
    if (personalisation == nullptr && personalisationLength != 0) return ERR_NULL_POINTER;
    if (personalisationLength > keyLength + blockLength) return ERR_DRBG_PERSONALIZATION_TOO_LONG;
    if (blockLength == 16) {
        if (keyLength != 16 && keyLength != 24 && keyLength != 32) return ERR_DRBG_BAD_KEY_LENGTH;
    } else if (blockLength == 8) {
        if (keyLength != 21) return ERR_DRBG_BAD_KEY_LENGTH;
        // No triple-DES block function is built into this toolkit.
        return ERR_DRBG_BAD_BLOCK_LENGTH;
    } else {
        return ERR_DRBG_BAD_BLOCK_LENGTH;
    }

    CtrDrbgContext* ctx = static_cast<CtrDrbgContext*>(PLATFORM_malloc(sizeof(CtrDrbgContext)));
    if (ctx == nullptr) return ERR_MEM_ALLOC_FAIL;
    std::memset(ctx, 0, sizeof *ctx);
    ctx->header.kind = RANDOM_KIND_CTRDRBG;
    ctx->blockLength = blockLength;
    ctx->keyLength = keyLength;
    ctx->block = aesBlock;
    ctx->outputBlock = static_cast<uint8_t*>(PLATFORM_malloc(blockLength));
    if (ctx->outputBlock == nullptr) {
        freeDrbg(ctx);
        return ERR_MEM_ALLOC_FAIL;
    }
    std::memset(ctx->outputBlock, 0, blockLength);
    MSTATUS status = rekey(ctx);
    if (status == OK) {
        status = CTRDRBG_reseed(&ctx->header, entropy, keyLength + blockLength, personalisation,
                                personalisationLength);
    }
    if (status < 0) {
        freeDrbg(ctx);
        return status;
    }
    *out = &ctx->header;
    return OK;
}

MSTATUS CTRDRBG_reseed(RandomContext* context, const uint8_t* entropy, uint32_t entropyLength,
                       const uint8_t* additional, uint32_t additionalLength) {
    CtrDrbgContext* ctx = asDrbg(context);
    if (ctx == nullptr || entropy == nullptr) return ERR_NULL_POINTER;
    const uint32_t seedLength = ctx->keyLength + ctx->blockLength;
    // Contexts of this toolkit never use the derivation function.
    if ((ctx->flags & CTRDRBG_FLAG_DERIVATION_FUNCTION) != 0) return ERR_INVALID_ARG;
    if (entropyLength != seedLength) return ERR_DRBG_BAD_ENTROPY_LENGTH;
    uint8_t material[CTRDRBG_MAX_SEED_BYTES];
    padInput(material, seedLength, additional, additionalLength);
    for (uint32_t i = 0; i < seedLength; ++i) material[i] ^= entropy[i];
    MSTATUS status = update(ctx, material);
    PLATFORM_zeroize(material, sizeof material);
    if (status < 0) return status;
    ctx->reseedHigh = 0;
    ctx->reseedLow = 1;
    return OK;
}

MSTATUS CTRDRBG_generate(RandomContext* context, const uint8_t* additional,
                         uint32_t additionalLength, uint8_t* output, uint32_t bits) {
    CtrDrbgContext* ctx = asDrbg(context);
    if (ctx == nullptr || output == nullptr) return ERR_NULL_POINTER;
    const bool aes = ctx->blockLength == 16;
    // Reseed interval: 2^48 requests for AES, 2^32 for triple DES.
    if (aes ? ctx->reseedHigh >= 0x10000u : ctx->reseedHigh != 0) return ERR_DRBG_RESEED_NEEDED;
    if (bits >= (aes ? (1u << 19) : 8192u)) return ERR_DRBG_REQUEST_TOO_LARGE;

    const uint32_t seedLength = ctx->keyLength + ctx->blockLength;
    uint8_t material[CTRDRBG_MAX_SEED_BYTES];
    padInput(material, seedLength, additional, additionalLength);
    MSTATUS status = OK;
    if (additional != nullptr && additionalLength != 0) status = update(ctx, material);

    uint32_t remaining = (bits + 7) / 8;
    while (status == OK && remaining != 0) {
        incrementV(ctx);
        status = ctx->block(ctx, ctx->V, ctx->outputBlock);
        uint32_t take = remaining < ctx->blockLength ? remaining : ctx->blockLength;
        std::memcpy(output, ctx->outputBlock, take);
        output += take;
        remaining -= take;
    }
    if (status == OK) status = update(ctx, material);
    PLATFORM_zeroize(material, sizeof material);
    if (status < 0) return status;
    if (++ctx->reseedLow == 0) ++ctx->reseedHigh;
    return OK;
}

MSTATUS CTRDRBG_release(RandomContext** context) {
    if (context == nullptr) return ERR_NULL_POINTER;
    CtrDrbgContext* ctx = asDrbg(*context);
    if (ctx == nullptr) return ERR_NULL_POINTER;
    freeDrbg(ctx);
    *context = nullptr;
    return OK;
}
