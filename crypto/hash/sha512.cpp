// SHA-512 and SHA-384 (FIPS 180-4) over one shared context record.
#include <cstring>

#include "crypto/hash/digest_common.h"
#include "crypto/hash/hash.h"
#include "crypto/platform/platform.h"

namespace {

const uint64_t kSha512Init[8] = {
    0x6a09e667f3bcc908ull, 0xbb67ae8584caa73bull, 0x3c6ef372fe94f82bull, 0xa54ff53a5f1d36f1ull,
    0x510e527fade682d1ull, 0x9b05688c2b3e6c1full, 0x1f83d9abfb41bd6bull, 0x5be0cd19137e2179ull};
const uint64_t kSha384Init[8] = {
    0xcbbb9d5dc1059ed8ull, 0x629a292a367cd507ull, 0x9159015a3070dd17ull, 0x152fecd8f70e5939ull,
    0x67332667ffc00b31ull, 0x8eb44a8768581511ull, 0xdb0c2e0d64f98fa7ull, 0x47b5481dbefa4fa4ull};

const uint64_t kK[80] = {
    0x428a2f98d728ae22ull, 0x7137449123ef65cdull, 0xb5c0fbcfec4d3b2full, 0xe9b5dba58189dbbcull,
    0x3956c25bf348b538ull, 0x59f111f1b605d019ull, 0x923f82a4af194f9bull, 0xab1c5ed5da6d8118ull,
    0xd807aa98a3030242ull, 0x12835b0145706fbeull, 0x243185be4ee4b28cull, 0x550c7dc3d5ffb4e2ull,
    0x72be5d74f27b896full, 0x80deb1fe3b1696b1ull, 0x9bdc06a725c71235ull, 0xc19bf174cf692694ull,
    0xe49b69c19ef14ad2ull, 0xefbe4786384f25e3ull, 0x0fc19dc68b8cd5b5ull, 0x240ca1cc77ac9c65ull,
    0x2de92c6f592b0275ull, 0x4a7484aa6ea6e483ull, 0x5cb0a9dcbd41fbd4ull, 0x76f988da831153b5ull,
    0x983e5152ee66dfabull, 0xa831c66d2db43210ull, 0xb00327c898fb213full, 0xbf597fc7beef0ee4ull,
    0xc6e00bf33da88fc2ull, 0xd5a79147930aa725ull, 0x06ca6351e003826full, 0x142929670a0e6e70ull,
    0x27b70a8546d22ffcull, 0x2e1b21385c26c926ull, 0x4d2c6dfc5ac42aedull, 0x53380d139d95b3dfull,
    0x650a73548baf63deull, 0x766a0abb3c77b2a8ull, 0x81c2c92e47edaee6ull, 0x92722c851482353bull,
    0xa2bfe8a14cf10364ull, 0xa81a664bbc423001ull, 0xc24b8b70d0f89791ull, 0xc76c51a30654be30ull,
    0xd192e819d6ef5218ull, 0xd69906245565a910ull, 0xf40e35855771202aull, 0x106aa07032bbd1b8ull,
    0x19a4c116b8d2d0c8ull, 0x1e376c085141ab53ull, 0x2748774cdf8eeb99ull, 0x34b0bcb5e19b48a8ull,
    0x391c0cb3c5c95a63ull, 0x4ed8aa4ae3418acbull, 0x5b9cca4f7763e373ull, 0x682e6ff3d6b2b8a3ull,
    0x748f82ee5defb2fcull, 0x78a5636f43172f60ull, 0x84c87814a1f0ab72ull, 0x8cc702081a6439ecull,
    0x90befffa23631e28ull, 0xa4506cebde82bde9ull, 0xbef9a3f7b2c67915ull, 0xc67178f2e372532bull,
    0xca273eceea26619cull, 0xd186b8c721c0c207ull, 0xeada7dd6cde0eb1eull, 0xf57d4f7fee6ed178ull,
    0x06f067aa72176fbaull, 0x0a637dc5a2c898a6ull, 0x113f9804bef90daeull, 0x1b710b35131c471bull,
    0x28db77f523047d84ull, 0x32caab7b40c72493ull, 0x3c9ebe0a15c9bebcull, 0x431d67c49c100d4cull,
    0x4cc5d4becb3e42b6ull, 0x597f299cfc657e2aull, 0x5fcb6fab3ad6faecull, 0x6c44198c4a475817ull};

void sha512Blocks(uint64_t state[8], const uint8_t* p, size_t blocks) {
    while (blocks-- != 0) {
        uint64_t w[80];
        for (int i = 0; i < 16; ++i) w[i] = loadBe64(p + 8 * i);
        for (int i = 16; i < 80; ++i) {
            uint64_t x = w[i - 15], y = w[i - 2];
            uint64_t s0 = rotr64(x, 1) ^ rotr64(x, 8) ^ (x >> 7);
            uint64_t s1 = rotr64(y, 19) ^ rotr64(y, 61) ^ (y >> 6);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 80; ++i) {
            uint64_t S1 = rotr64(e, 14) ^ rotr64(e, 18) ^ rotr64(e, 41);
            uint64_t t1 = h + S1 + (g ^ (e & (f ^ g))) + kK[i] + w[i];
            uint64_t S0 = rotr64(a, 28) ^ rotr64(a, 34) ^ rotr64(a, 39);
            uint64_t t2 = S0 + ((a & b) | (c & (a | b)));
            h = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
        }
        state[0] += a, state[1] += b, state[2] += c, state[3] += d;
        state[4] += e, state[5] += f, state[6] += g, state[7] += h;
        p += 128;
    }
}

MSTATUS initWith(Sha512Context* ctx, const uint64_t init[8]) {
    if (ctx == nullptr) return ERR_NULL_POINTER;
    std::memcpy(ctx->state, init, sizeof ctx->state);
    std::memset(ctx->length, 0, sizeof ctx->length);
    ctx->waiting = 0;
    return OK;
}

MSTATUS finalWith(Sha512Context* ctx, uint8_t* digest, uint32_t words) {
    if (ctx == nullptr || digest == nullptr) return ERR_NULL_POINTER;
    uint32_t n = static_cast<uint32_t>(ctx->waiting) & 127u;
    ctx->block[n++] = 0x80;
    if (n > 112) {
        std::memset(ctx->block + n, 0, 128 - n);
        sha512Blocks(ctx->state, ctx->block, 1);
        n = 0;
    }
    std::memset(ctx->block + n, 0, 112 - n);
    // The 128-bit byte count becomes a bit count.
    for (int i = 0; i < 3; ++i) ctx->length[i] = (ctx->length[i] << 3) | (ctx->length[i + 1] >> 29);
    ctx->length[3] <<= 3;
    for (int i = 0; i < 4; ++i) storeBe32(ctx->block + 112 + 4 * i, ctx->length[i]);
    sha512Blocks(ctx->state, ctx->block, 1);
    ctx->waiting = 0;
    for (uint32_t i = 0; i < words; ++i) storeBe64(digest + 8 * i, ctx->state[i]);
    return OK;
}

MSTATUS completeWith(const uint8_t* data, uint32_t length, uint8_t* digest, bool is384) {
    Sha512Context ctx;
    MSTATUS status = is384 ? SHA384_init(&ctx) : SHA512_init(&ctx);
    if (status == OK) status = SHA512_update(&ctx, data, length);
    if (status == OK) status = is384 ? SHA384_final(&ctx, digest) : SHA512_final(&ctx, digest);
    PLATFORM_zeroize(&ctx, sizeof ctx);
    return status;
}

} // namespace

MSTATUS SHA512_init(Sha512Context* ctx) {
    return initWith(ctx, kSha512Init);
}
MSTATUS SHA384_init(Sha512Context* ctx) {
    return initWith(ctx, kSha384Init);
}

MSTATUS SHA512_update(Sha512Context* ctx, const uint8_t* data, uint32_t length) {
    if (ctx == nullptr || data == nullptr) return ERR_NULL_POINTER;
    uint32_t add = length;
    for (int i = 3; i >= 0 && add != 0; --i) {
        uint32_t sum = ctx->length[i] + add;
        add = sum < ctx->length[i] ? 1u : 0u;
        ctx->length[i] = sum;
    }

    ctx->waiting =
        absorbBlocks<128>(ctx->state, ctx->block, ctx->waiting, data, length, sha512Blocks);
    return OK;
}

MSTATUS SHA384_update(Sha512Context* ctx, const uint8_t* data, uint32_t length) {
    return SHA512_update(ctx, data, length);
}

MSTATUS SHA512_final(Sha512Context* ctx, uint8_t* digest) {
    return finalWith(ctx, digest, SHA512_DIGEST_SIZE / 8);
}
MSTATUS SHA384_final(Sha512Context* ctx, uint8_t* digest) {
    return finalWith(ctx, digest, SHA384_DIGEST_SIZE / 8);
}

MSTATUS SHA512_complete(const uint8_t* data, uint32_t length, uint8_t* digest) {
    return completeWith(data, length, digest, false);
}
MSTATUS SHA384_complete(const uint8_t* data, uint32_t length, uint8_t* digest) {
    return completeWith(data, length, digest, true);
}

MSTATUS SHA512_allocCtx(Sha512Context** ctx) {
    return allocContext(ctx);
}
MSTATUS SHA384_allocCtx(Sha512Context** ctx) {
    return SHA512_allocCtx(ctx);
}

MSTATUS SHA512_freeCtx(Sha512Context** ctx) {
    return freeContext(ctx, true);
}
MSTATUS SHA384_freeCtx(Sha512Context** ctx) {
    return SHA512_freeCtx(ctx);
}
