// SHA-256 and SHA-224 (FIPS 180-4) over one shared context record.
#include <cstring>

#include "crypto/hash/digest_common.h"
#include "crypto/hash/hash.h"
#include "crypto/platform/platform.h"

namespace {

const uint32_t kSha256Init[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
const uint32_t kSha224Init[8] = {0xc1059ed8, 0x367cd507, 0x3070dd17, 0xf70e5939,
                                 0xffc00b31, 0x68581511, 0x64f98fa7, 0xbefa4fa4};

#if defined(__x86_64__) || defined(__i386__)
// Two-operand rotates destroy their source: nested, the three rotations need one
// copy of x instead of three, which matters as the rounds are short of rotate units.
#define S0(x) rotr32(rotr32(rotr32((x), 9) ^ (x), 11) ^ (x), 2)
#define S1(x) rotr32(rotr32(rotr32((x), 14) ^ (x), 5) ^ (x), 6)
#define s0(x) (rotr32(rotr32((x), 11) ^ (x), 7) ^ ((x) >> 3))
#define s1(x) (rotr32(rotr32((x), 2) ^ (x), 17) ^ ((x) >> 10))
#else
#define S0(x) (rotr32((x), 2) ^ rotr32((x), 13) ^ rotr32((x), 22))
#define S1(x) (rotr32((x), 6) ^ rotr32((x), 11) ^ rotr32((x), 25))
#define s0(x) (rotr32((x), 7) ^ rotr32((x), 18) ^ ((x) >> 3))
#define s1(x) (rotr32((x), 17) ^ rotr32((x), 19) ^ ((x) >> 10))
#endif
#define CH(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MAJ(x, y, z) ((y) ^ (((x) ^ (y)) & ((y) ^ (z))))

// One round; the caller rotates the roles of the eight working variables.
#define R(a, b, c, d, e, f, g, h, k, w)                                                            \
    do {                                                                                           \
        uint32_t t1 = (h) + S1(e) + CH(e, f, g) + (k) + (w);                                       \
        (d) += t1;                                                                                 \
        (h) = t1 + S0(a) + MAJ(a, b, c);                                                           \
    } while (0)

// Schedule word i (16..63) kept in a ring of 16.
#define W(i) (w[(i)&15] += s1(w[((i)-2) & 15]) + w[((i)-7) & 15] + s0(w[((i)-15) & 15]))

#define R8(i, k0, k1, k2, k3, k4, k5, k6, k7, WX)                                                  \
    R(a, b, c, d, e, f, g, h, k0, WX((i) + 0));                                                    \
    R(h, a, b, c, d, e, f, g, k1, WX((i) + 1));                                                    \
    R(g, h, a, b, c, d, e, f, k2, WX((i) + 2));                                                    \
    R(f, g, h, a, b, c, d, e, k3, WX((i) + 3));                                                    \
    R(e, f, g, h, a, b, c, d, k4, WX((i) + 4));                                                    \
    R(d, e, f, g, h, a, b, c, k5, WX((i) + 5));                                                    \
    R(c, d, e, f, g, h, a, b, k6, WX((i) + 6));                                                    \
    R(b, c, d, e, f, g, h, a, k7, WX((i) + 7))

#define W0(i) w[(i)]

// Compresses whole 64-byte blocks straight from the caller's buffer.
void sha256Blocks(uint32_t state[8], const uint8_t* p, size_t blocks) {
    uint32_t a0 = state[0], b0 = state[1], c0 = state[2], d0 = state[3];
    uint32_t e0 = state[4], f0 = state[5], g0 = state[6], h0 = state[7];
    while (blocks-- != 0) {
        uint32_t w[16];
        for (int i = 0; i < 16; ++i) w[i] = loadBe32(p + 4 * i);
        uint32_t a = a0, b = b0, c = c0, d = d0, e = e0, f = f0, g = g0, h = h0;
        R8(0, 0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
           0xab1c5ed5, W0);
        R8(8, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7,
           0xc19bf174, W0);
        R8(16, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc,
           0x76f988da, W);
        R8(24, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351,
           0x14292967, W);
        R8(32, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e,
           0x92722c85, W);
        R8(40, 0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585,
           0x106aa070, W);
        R8(48, 0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f,
           0x682e6ff3, W);
        R8(56, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
           0xc67178f2, W);
        a0 += a, b0 += b, c0 += c, d0 += d, e0 += e, f0 += f, g0 += g, h0 += h;
        p += 64;
    }
    state[0] = a0, state[1] = b0, state[2] = c0, state[3] = d0;
    state[4] = e0, state[5] = f0, state[6] = g0, state[7] = h0;
}

MSTATUS initWith(Sha256Context* ctx, const uint32_t init[8]) {
    if (ctx == nullptr) return ERR_NULL_POINTER;
    std::memcpy(ctx->state, init, sizeof ctx->state);
    ctx->lengthHigh = ctx->lengthLow = 0;
    ctx->waiting = 0;
    return OK;
}

MSTATUS finalWith(Sha256Context* ctx, uint8_t* digest, uint32_t words) {
    if (ctx == nullptr || digest == nullptr) return ERR_NULL_POINTER;
    finishBlocks64(ctx->state, ctx->block, &ctx->waiting, &ctx->lengthHigh, &ctx->lengthLow,
                   sha256Blocks);
    for (uint32_t i = 0; i < words; ++i) storeBe32(digest + 4 * i, ctx->state[i]);
    return OK;
}

MSTATUS completeWith(const uint8_t* data, uint32_t length, uint8_t* digest, bool is224) {
    Sha256Context ctx;
    MSTATUS status = is224 ? SHA224_init(&ctx) : SHA256_init(&ctx);
    if (status == OK) status = SHA256_update(&ctx, data, length);
    if (status == OK) status = is224 ? SHA224_final(&ctx, digest) : SHA256_final(&ctx, digest);
    PLATFORM_zeroize(&ctx, sizeof ctx);
    return status;
}

} // namespace

MSTATUS SHA256_init(Sha256Context* ctx) {
    return initWith(ctx, kSha256Init);
}
MSTATUS SHA224_init(Sha256Context* ctx) {
    return initWith(ctx, kSha224Init);
}

MSTATUS SHA256_update(Sha256Context* ctx, const uint8_t* data, uint32_t length) {
    if (ctx == nullptr || data == nullptr) return ERR_NULL_POINTER;
    uint32_t low = ctx->lengthLow + length;
    if (low < ctx->lengthLow) ++ctx->lengthHigh;
    ctx->lengthLow = low;

    ctx->waiting =
        absorbBlocks<64>(ctx->state, ctx->block, ctx->waiting, data, length, sha256Blocks);
    return OK;
}

MSTATUS SHA224_update(Sha256Context* ctx, const uint8_t* data, uint32_t length) {
    return SHA256_update(ctx, data, length);
}

MSTATUS SHA256_final(Sha256Context* ctx, uint8_t* digest) {
    return finalWith(ctx, digest, SHA256_DIGEST_SIZE / 4);
}
MSTATUS SHA224_final(Sha256Context* ctx, uint8_t* digest) {
    return finalWith(ctx, digest, SHA224_DIGEST_SIZE / 4);
}

MSTATUS SHA256_complete(const uint8_t* data, uint32_t length, uint8_t* digest) {
    return completeWith(data, length, digest, false);
}
MSTATUS SHA224_complete(const uint8_t* data, uint32_t length, uint8_t* digest) {
    return completeWith(data, length, digest, true);
}

MSTATUS SHA256_allocCtx(Sha256Context** ctx) {
    return allocContext(ctx);
}
MSTATUS SHA224_allocCtx(Sha256Context** ctx) {
    return SHA256_allocCtx(ctx);
}

MSTATUS SHA256_freeCtx(Sha256Context** ctx) {
    return freeContext(ctx, true);
}
MSTATUS SHA224_freeCtx(Sha256Context** ctx) {
    return SHA256_freeCtx(ctx);
}
