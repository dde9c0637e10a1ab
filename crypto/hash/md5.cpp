// MD5 (RFC 1321).
#include <cstring>

#include "crypto/hash/digest_common.h"
#include "crypto/hash/hash.h"
#include "crypto/platform/platform.h"

namespace {

const uint8_t kPadding[64] = {0x80};

#define F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define G(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define H(x, y, z) ((x) ^ (y) ^ (z))
#define I(x, y, z) ((y) ^ ((x) | ~(z)))
#define STEP(f, a, b, c, d, x, t, s)                                                               \
    do {                                                                                           \
        (a) += f((b), (c), (d)) + (x) + (t);                                                       \
        (a) = rotl32((a), (s)) + (b);                                                              \
    } while (0)

void md5Blocks(uint32_t state[4], const uint8_t* p, size_t blocks) {
    while (blocks-- != 0) {
        uint32_t x[16];
        for (int i = 0; i < 16; ++i) x[i] = loadLe32(p + 4 * i);
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

        STEP(F, a, b, c, d, x[0], 0xd76aa478, 7);
        STEP(F, d, a, b, c, x[1], 0xe8c7b756, 12);
        STEP(F, c, d, a, b, x[2], 0x242070db, 17);
        STEP(F, b, c, d, a, x[3], 0xc1bdceee, 22);
        STEP(F, a, b, c, d, x[4], 0xf57c0faf, 7);
        STEP(F, d, a, b, c, x[5], 0x4787c62a, 12);
        STEP(F, c, d, a, b, x[6], 0xa8304613, 17);
        STEP(F, b, c, d, a, x[7], 0xfd469501, 22);
        STEP(F, a, b, c, d, x[8], 0x698098d8, 7);
        STEP(F, d, a, b, c, x[9], 0x8b44f7af, 12);
        STEP(F, c, d, a, b, x[10], 0xffff5bb1, 17);
        STEP(F, b, c, d, a, x[11], 0x895cd7be, 22);
        STEP(F, a, b, c, d, x[12], 0x6b901122, 7);
        STEP(F, d, a, b, c, x[13], 0xfd987193, 12);
        STEP(F, c, d, a, b, x[14], 0xa679438e, 17);
        STEP(F, b, c, d, a, x[15], 0x49b40821, 22);

        STEP(G, a, b, c, d, x[1], 0xf61e2562, 5);
        STEP(G, d, a, b, c, x[6], 0xc040b340, 9);
        STEP(G, c, d, a, b, x[11], 0x265e5a51, 14);
        STEP(G, b, c, d, a, x[0], 0xe9b6c7aa, 20);
        STEP(G, a, b, c, d, x[5], 0xd62f105d, 5);
        STEP(G, d, a, b, c, x[10], 0x02441453, 9);
        STEP(G, c, d, a, b, x[15], 0xd8a1e681, 14);
        STEP(G, b, c, d, a, x[4], 0xe7d3fbc8, 20);
        STEP(G, a, b, c, d, x[9], 0x21e1cde6, 5);
        STEP(G, d, a, b, c, x[14], 0xc33707d6, 9);
        STEP(G, c, d, a, b, x[3], 0xf4d50d87, 14);
        STEP(G, b, c, d, a, x[8], 0x455a14ed, 20);
        STEP(G, a, b, c, d, x[13], 0xa9e3e905, 5);
        STEP(G, d, a, b, c, x[2], 0xfcefa3f8, 9);
        STEP(G, c, d, a, b, x[7], 0x676f02d9, 14);
        STEP(G, b, c, d, a, x[12], 0x8d2a4c8a, 20);

        STEP(H, a, b, c, d, x[5], 0xfffa3942, 4);
        STEP(H, d, a, b, c, x[8], 0x8771f681, 11);
        STEP(H, c, d, a, b, x[11], 0x6d9d6122, 16);
        STEP(H, b, c, d, a, x[14], 0xfde5380c, 23);
        STEP(H, a, b, c, d, x[1], 0xa4beea44, 4);
        STEP(H, d, a, b, c, x[4], 0x4bdecfa9, 11);
        STEP(H, c, d, a, b, x[7], 0xf6bb4b60, 16);
        STEP(H, b, c, d, a, x[10], 0xbebfbc70, 23);
        STEP(H, a, b, c, d, x[13], 0x289b7ec6, 4);
        STEP(H, d, a, b, c, x[0], 0xeaa127fa, 11);
        STEP(H, c, d, a, b, x[3], 0xd4ef3085, 16);
        STEP(H, b, c, d, a, x[6], 0x04881d05, 23);
        STEP(H, a, b, c, d, x[9], 0xd9d4d039, 4);
        STEP(H, d, a, b, c, x[12], 0xe6db99e5, 11);
        STEP(H, c, d, a, b, x[15], 0x1fa27cf8, 16);
        STEP(H, b, c, d, a, x[2], 0xc4ac5665, 23);

        STEP(I, a, b, c, d, x[0], 0xf4292244, 6);
        STEP(I, d, a, b, c, x[7], 0x432aff97, 10);
        STEP(I, c, d, a, b, x[14], 0xab9423a7, 15);
        STEP(I, b, c, d, a, x[5], 0xfc93a039, 21);
        STEP(I, a, b, c, d, x[12], 0x655b59c3, 6);
        STEP(I, d, a, b, c, x[3], 0x8f0ccc92, 10);
        STEP(I, c, d, a, b, x[10], 0xffeff47d, 15);
        STEP(I, b, c, d, a, x[1], 0x85845dd1, 21);
        STEP(I, a, b, c, d, x[8], 0x6fa87e4f, 6);
        STEP(I, d, a, b, c, x[15], 0xfe2ce6e0, 10);
        STEP(I, c, d, a, b, x[6], 0xa3014314, 15);
        STEP(I, b, c, d, a, x[13], 0x4e0811a1, 21);
        STEP(I, a, b, c, d, x[4], 0xf7537e82, 6);
        STEP(I, d, a, b, c, x[11], 0xbd3af235, 10);
        STEP(I, c, d, a, b, x[2], 0x2ad7d2bb, 15);
        STEP(I, b, c, d, a, x[9], 0xeb86d391, 21);

        state[0] += a, state[1] += b, state[2] += c, state[3] += d;
        p += 64;
    }
}

} // namespace

MSTATUS MD5_init(Md5Context* ctx) {
    if (ctx == nullptr) return ERR_NULL_POINTER;
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
    ctx->bitsHigh = ctx->bitsLow = 0;
    ctx->waiting = 0;
    return OK;
}

MSTATUS MD5_update(Md5Context* ctx, const uint8_t* data, uint32_t length) {
    if (ctx == nullptr || data == nullptr) return ERR_NULL_POINTER;
    uint32_t low = ctx->bitsLow + (length << 3);
    if (low < ctx->bitsLow) ++ctx->bitsHigh;
    ctx->bitsLow = low;
    ctx->bitsHigh += length >> 29;

    ctx->waiting = absorbBlocks<64>(ctx->state, ctx->block, ctx->waiting, data, length, md5Blocks);
    return OK;
}

MSTATUS MD5_final(Md5Context* ctx, uint8_t* digest) {
    if (ctx == nullptr || digest == nullptr) return ERR_NULL_POINTER;
    uint8_t bits[8];
    storeLe32(bits, ctx->bitsLow);
    storeLe32(bits + 4, ctx->bitsHigh);
    uint32_t n = static_cast<uint32_t>(ctx->waiting) & 63u;
    MD5_update(ctx, kPadding, n < 56 ? 56 - n : 120 - n);
    MD5_update(ctx, bits, 8);
    for (int i = 0; i < 4; ++i) storeLe32(digest + 4 * i, ctx->state[i]);
    return OK;
}

MSTATUS MD5_complete(const uint8_t* data, uint32_t length, uint8_t* digest) {
    Md5Context ctx;
    MSTATUS status = MD5_init(&ctx);
    if (status == OK) status = MD5_update(&ctx, data, length);
    if (status == OK) status = MD5_final(&ctx, digest);
    PLATFORM_zeroize(&ctx, sizeof ctx);
    return status;
}

MSTATUS MD5_allocCtx(Md5Context** ctx) {
    return allocContext(ctx);
}

// An MD5 context holds nothing secret in this system and is released as it is.
MSTATUS MD5_freeCtx(Md5Context** ctx) {
    return freeContext(ctx, false);
}
