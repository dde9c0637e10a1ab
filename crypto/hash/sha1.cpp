// SHA-1 (FIPS 180-4) and the SHA-1 based G function of the FIPS 186-2 generator.
#include <cstring>

#include "crypto/hash/digest_common.h"
#include "crypto/hash/hash.h"
#include "crypto/platform/platform.h"

namespace {

const uint32_t kSha1Init[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};

void sha1Blocks(uint32_t state[5], const uint8_t* p, size_t blocks) {
    while (blocks-- != 0) {
        uint32_t w[80];
        for (int i = 0; i < 16; ++i) w[i] = loadBe32(p + 4 * i);
        for (int i = 16; i < 80; ++i) w[i] = rotl32(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
        int i = 0;
        for (; i < 20; ++i) {
            uint32_t t = rotl32(a, 5) + (d ^ (b & (c ^ d))) + e + 0x5a827999 + w[i];
            e = d, d = c, c = rotl32(b, 30), b = a, a = t;
        }
        for (; i < 40; ++i) {
            uint32_t t = rotl32(a, 5) + (b ^ c ^ d) + e + 0x6ed9eba1 + w[i];
            e = d, d = c, c = rotl32(b, 30), b = a, a = t;
        }
        for (; i < 60; ++i) {
            uint32_t t = rotl32(a, 5) + ((b & c) | (d & (b | c))) + e + 0x8f1bbcdc + w[i];
            e = d, d = c, c = rotl32(b, 30), b = a, a = t;
        }
        for (; i < 80; ++i) {
            uint32_t t = rotl32(a, 5) + (b ^ c ^ d) + e + 0xca62c1d6 + w[i];
            e = d, d = c, c = rotl32(b, 30), b = a, a = t;
        }
        state[0] += a, state[1] += b, state[2] += c, state[3] += d, state[4] += e;
        p += 64;
    }
}

MSTATUS gFunctionFrom(const uint32_t start[5], const uint8_t* block, uint8_t* out) {
    if (block == nullptr || out == nullptr) return ERR_NULL_POINTER;
    uint32_t state[5];
    std::memcpy(state, start, sizeof state);
    sha1Blocks(state, block, 1);
    for (int i = 0; i < 5; ++i) storeBe32(out + 4 * i, state[i]);
    PLATFORM_zeroize(state, sizeof state);
    return OK;
}

} // namespace

MSTATUS SHA1_init(Sha1Context* ctx) {
    if (ctx == nullptr) return ERR_NULL_POINTER;
    std::memcpy(ctx->state, kSha1Init, sizeof ctx->state);
    ctx->lengthHigh = ctx->lengthLow = 0;
    ctx->waiting = 0;
    return OK;
}

MSTATUS SHA1_update(Sha1Context* ctx, const uint8_t* data, uint32_t length) {
    if (ctx == nullptr || data == nullptr) return ERR_NULL_POINTER;
    uint32_t low = ctx->lengthLow + length;
    if (low < ctx->lengthLow) ++ctx->lengthHigh;
    ctx->lengthLow = low;

    ctx->waiting = absorbBlocks<64>(ctx->state, ctx->block, ctx->waiting, data, length, sha1Blocks);
    return OK;
}

MSTATUS SHA1_final(Sha1Context* ctx, uint8_t* digest) {
    if (ctx == nullptr || digest == nullptr) return ERR_NULL_POINTER;
    finishBlocks64(ctx->state, ctx->block, &ctx->waiting, &ctx->lengthHigh, &ctx->lengthLow,
                   sha1Blocks);
    for (int i = 0; i < 5; ++i) storeBe32(digest + 4 * i, ctx->state[i]);
    return OK;
}

MSTATUS SHA1_complete(const uint8_t* data, uint32_t length, uint8_t* digest) {
    Sha1Context ctx;
    MSTATUS status = SHA1_init(&ctx);
    if (status == OK) status = SHA1_update(&ctx, data, length);
    if (status == OK) status = SHA1_final(&ctx, digest);
    PLATFORM_zeroize(&ctx, sizeof ctx);
    return status;
}

MSTATUS SHA1_allocCtx(Sha1Context** ctx) {
    return allocContext(ctx);
}

MSTATUS SHA1_freeCtx(Sha1Context** ctx) {
    return freeContext(ctx, true);
}

MSTATUS SHA1_gFunction(const uint8_t block[64], uint8_t out[20]) {
    return gFunctionFrom(kSha1Init, block, out);
}

MSTATUS SHA1_gFunctionRotated(const uint8_t block[64], uint8_t out[20]) {
    const uint32_t rotated[5] = {kSha1Init[1], kSha1Init[2], kSha1Init[3], kSha1Init[4],
                                 kSha1Init[0]};
    return gFunctionFrom(rotated, block, out);
}
