// AES in the 32-bit table form: four encryption and four decryption tables of
// whole-round lookups, replicated S-box tables for the last round, and the
// equivalent inverse cipher for decryption. The tables are computed by the
// compiler from the field arithmetic of GF(2^8).
#include "crypto/aes/aes.h"

#include <cstring>

#include "crypto/hash/bytes.h"
#include "crypto/platform/platform.h"

namespace {

constexpr uint8_t xtime(uint8_t x) {
    return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) != 0 ? 0x1B : 0x00));
}

constexpr uint8_t gmul(uint8_t a, uint8_t b) {
    uint8_t r = 0;
    while (b != 0) {
        if ((b & 1) != 0) r ^= a;
        a = xtime(a);
        b >>= 1;
    }
    return r;
}

constexpr uint8_t rotl8(uint8_t x, int n) {
    return static_cast<uint8_t>((x << n) | (x >> (8 - n)));
}

constexpr uint32_t word(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
    return (uint32_t(b0) << 24) | (uint32_t(b1) << 16) | (uint32_t(b2) << 8) | uint32_t(b3);
}

constexpr uint32_t ror8(uint32_t x) {
    return (x >> 8) | (x << 24);
}

struct Tables {
    uint32_t te[4][256]; // SubBytes and MixColumns
    uint32_t td[4][256]; // InvSubBytes and InvMixColumns
    uint32_t se[256];    // S-box, replicated into the four bytes
    uint32_t sd[256];    // inverse S-box, replicated
    uint8_t sbox[256];
};

constexpr Tables makeTables() {
    Tables t{};
    uint8_t sbox[256] = {};
    uint8_t inv[256] = {};
    // Walk the multiplicative group with generator 3 and its inverse; each
    // element's inverse is then at hand for the affine transformation.
    uint8_t p = 1, q = 1;
    do {
        p = static_cast<uint8_t>(p ^ xtime(p)); // p *= 3
        q = static_cast<uint8_t>(q ^ (q << 1)); // q /= 3
        q = static_cast<uint8_t>(q ^ (q << 2));
        q = static_cast<uint8_t>(q ^ (q << 4));
        if ((q & 0x80) != 0) q ^= 0x09;
        uint8_t s = static_cast<uint8_t>(q ^ rotl8(q, 1) ^ rotl8(q, 2) ^ rotl8(q, 3) ^ rotl8(q, 4));
        sbox[p] = static_cast<uint8_t>(s ^ 0x63);
    } while (p != 1);
    sbox[0] = 0x63;
    for (int i = 0; i < 256; ++i) inv[sbox[i]] = static_cast<uint8_t>(i);

    for (int i = 0; i < 256; ++i) {
        uint8_t s = sbox[i];
        uint32_t e = word(gmul(s, 2), s, s, gmul(s, 3));
        uint8_t v = inv[i];
        uint32_t d = word(gmul(v, 14), gmul(v, 9), gmul(v, 13), gmul(v, 11));
        for (int k = 0; k < 4; ++k) {
            t.te[k][i] = e;
            t.td[k][i] = d;
            e = ror8(e);
            d = ror8(d);
        }
        t.se[i] = word(s, s, s, s);
        t.sd[i] = word(v, v, v, v);
        t.sbox[i] = s;
    }
    return t;
}

constexpr Tables kT = makeTables();
static_assert(kT.sbox[0x00] == 0x63 && kT.sbox[0x53] == 0xed && kT.sbox[0xff] == 0x16, "AES S-box");
static_assert(kT.te[0][0x00] == 0xc66363a5u && kT.td[0][0x00] == 0x51f4a750u, "AES tables");

constexpr uint32_t kRcon[10] = {0x01000000, 0x02000000, 0x04000000, 0x08000000, 0x10000000,
                                0x20000000, 0x40000000, 0x80000000, 0x1B000000, 0x36000000};

inline uint32_t subWord(uint32_t w) {
    return (kT.se[w >> 24] & 0xff000000u) ^ (kT.se[(w >> 16) & 0xff] & 0x00ff0000u) ^
           (kT.se[(w >> 8) & 0xff] & 0x0000ff00u) ^ (kT.se[w & 0xff] & 0x000000ffu);
}

// FIPS-197 key expansion; returns the number of rounds.
uint32_t expandEncryptKey(uint32_t* rk, const uint8_t* key, uint32_t keyBits) {
    const uint32_t nk = keyBits / 32;
    const uint32_t rounds = nk + 6;
    const uint32_t total = 4 * (rounds + 1);
    for (uint32_t i = 0; i < nk; ++i) rk[i] = loadBe32(key + 4 * i);
    for (uint32_t i = nk; i < total; ++i) {
        uint32_t temp = rk[i - 1];
        if (i % nk == 0) {
            temp = subWord((temp << 8) | (temp >> 24)) ^ kRcon[i / nk - 1];
        } else if (nk > 6 && i % nk == 4) {
            temp = subWord(temp);
        }
        rk[i] = rk[i - nk] ^ temp;
    }
    return rounds;
}

// Equivalent inverse cipher schedule: round keys in reverse order, with
// InvMixColumns applied to all but the first and the last.
void makeDecryptKey(uint32_t* dk, const uint32_t* ek, uint32_t rounds) {
    for (uint32_t r = 0; r <= rounds; ++r) {
        for (uint32_t j = 0; j < 4; ++j) {
            uint32_t w = ek[4 * (rounds - r) + j];
            if (r != 0 && r != rounds) {
                w = kT.td[0][kT.sbox[w >> 24]] ^ kT.td[1][kT.sbox[(w >> 16) & 0xff]] ^
                    kT.td[2][kT.sbox[(w >> 8) & 0xff]] ^ kT.td[3][kT.sbox[w & 0xff]];
            }
            dk[4 * r + j] = w;
        }
    }
}

#define TE(s0, s1, s2, s3, k)                                                                      \
    (kT.te[0][(s0) >> 24] ^ kT.te[1][((s1) >> 16) & 0xff] ^ kT.te[2][((s2) >> 8) & 0xff] ^         \
     kT.te[3][(s3)&0xff] ^ (k))
#define TD(s0, s1, s2, s3, k)                                                                      \
    (kT.td[0][(s0) >> 24] ^ kT.td[1][((s1) >> 16) & 0xff] ^ kT.td[2][((s2) >> 8) & 0xff] ^         \
     kT.td[3][(s3)&0xff] ^ (k))
#define LAST(S, s0, s1, s2, s3, k)                                                                 \
    ((S[(s0) >> 24] & 0xff000000u) ^ (S[((s1) >> 16) & 0xff] & 0x00ff0000u) ^                      \
     (S[((s2) >> 8) & 0xff] & 0x0000ff00u) ^ (S[(s3)&0xff] & 0x000000ffu) ^ (k))

inline void encryptWords(const uint32_t* rk, uint32_t rounds, uint32_t s[4]) {
    uint32_t s0 = s[0] ^ rk[0], s1 = s[1] ^ rk[1], s2 = s[2] ^ rk[2], s3 = s[3] ^ rk[3];
    uint32_t t0, t1, t2, t3;
    // Two rounds per pass; rounds is even.
    for (uint32_t r = rounds / 2;;) {
        t0 = TE(s0, s1, s2, s3, rk[4]);
        t1 = TE(s1, s2, s3, s0, rk[5]);
        t2 = TE(s2, s3, s0, s1, rk[6]);
        t3 = TE(s3, s0, s1, s2, rk[7]);
        rk += 8;
        if (--r == 0) break;
        s0 = TE(t0, t1, t2, t3, rk[0]);
        s1 = TE(t1, t2, t3, t0, rk[1]);
        s2 = TE(t2, t3, t0, t1, rk[2]);
        s3 = TE(t3, t0, t1, t2, rk[3]);
    }
    s[0] = LAST(kT.se, t0, t1, t2, t3, rk[0]);
    s[1] = LAST(kT.se, t1, t2, t3, t0, rk[1]);
    s[2] = LAST(kT.se, t2, t3, t0, t1, rk[2]);
    s[3] = LAST(kT.se, t3, t0, t1, t2, rk[3]);
}

inline void decryptWords(const uint32_t* rk, uint32_t rounds, uint32_t s[4]) {
    uint32_t s0 = s[0] ^ rk[0], s1 = s[1] ^ rk[1], s2 = s[2] ^ rk[2], s3 = s[3] ^ rk[3];
    uint32_t t0, t1, t2, t3;
    for (uint32_t r = rounds / 2;;) {
        t0 = TD(s0, s3, s2, s1, rk[4]);
        t1 = TD(s1, s0, s3, s2, rk[5]);
        t2 = TD(s2, s1, s0, s3, rk[6]);
        t3 = TD(s3, s2, s1, s0, rk[7]);
        rk += 8;
        if (--r == 0) break;
        s0 = TD(t0, t3, t2, t1, rk[0]);
        s1 = TD(t1, t0, t3, t2, rk[1]);
        s2 = TD(t2, t1, t0, t3, rk[2]);
        s3 = TD(t3, t2, t1, t0, rk[3]);
    }
    s[0] = LAST(kT.sd, t0, t3, t2, t1, rk[0]);
    s[1] = LAST(kT.sd, t1, t0, t3, t2, rk[1]);
    s[2] = LAST(kT.sd, t2, t1, t0, t3, rk[2]);
    s[3] = LAST(kT.sd, t3, t2, t1, t0, rk[3]);
}

inline void loadBlock(uint32_t w[4], const uint8_t* p) {
    w[0] = loadBe32(p), w[1] = loadBe32(p + 4), w[2] = loadBe32(p + 8), w[3] = loadBe32(p + 12);
}

inline void storeBlock(uint8_t* p, const uint32_t w[4]) {
    storeBe32(p, w[0]), storeBe32(p + 4, w[1]), storeBe32(p + 8, w[2]), storeBe32(p + 12, w[3]);
}

// Largest byte count handed to the block layer at once (its lengths are in bits).
constexpr uint32_t kMaxChunkBytes = 1u << 27;

} // namespace

MSTATUS AES_initKey(AESCtx* ctx, uint32_t keyBits, const uint8_t* key, uint32_t encrypt,
                    uint32_t mode) {
    if (ctx == nullptr || key == nullptr) return ERR_NULL_POINTER;
    if (keyBits != 128 && keyBits != 192 && keyBits != 256) return ERR_AES_BAD_KEY_LENGTH;
    ctx->encrypt = encrypt != 0 ? 1u : 0u;
    ctx->mode = mode;
    ctx->keyBits = keyBits;
    std::memset(ctx->roundKeys, 0, sizeof ctx->roundKeys);
    std::memset(ctx->encRoundKeys, 0, sizeof ctx->encRoundKeys);
    ctx->rounds = expandEncryptKey(ctx->encRoundKeys, key, keyBits);
    if (ctx->encrypt != 0) {
        std::memcpy(ctx->roundKeys, ctx->encRoundKeys, sizeof ctx->roundKeys);
    } else {
        makeDecryptKey(ctx->roundKeys, ctx->encRoundKeys, ctx->rounds);
    }
    return OK;
}

MSTATUS AES_encryptBlocks(AESCtx* ctx, uint8_t* iv, const uint8_t* input, int32_t bits,
                          uint8_t* output, int32_t* processed) {
    if (ctx == nullptr || input == nullptr) return ERR_NULL_POINTER;
    if (ctx->encrypt == 0) return ERR_AES_BAD_DIRECTION;
    if (bits < 1) {
        if (processed != nullptr) *processed = 0;
        return OK;
    }
    if (output == nullptr) return ERR_NULL_POINTER;
    const int32_t blocks = bits / 128;
    const uint32_t* rk = ctx->roundKeys;
    const uint32_t rounds = ctx->rounds;
    uint32_t s[4];
    if (ctx->mode == AES_MODE_ECB) {
        for (int32_t i = 0; i < blocks; ++i, input += 16, output += 16) {
            loadBlock(s, input);
            encryptWords(rk, rounds, s);
            storeBlock(output, s);
        }
    } else if (ctx->mode == AES_MODE_CBC) {
        if (iv == nullptr) return ERR_NULL_POINTER;
        uint32_t v[4];
        loadBlock(v, iv);
        for (int32_t i = 0; i < blocks; ++i, input += 16, output += 16) {
            loadBlock(s, input);
            s[0] ^= v[0], s[1] ^= v[1], s[2] ^= v[2], s[3] ^= v[3];
            encryptWords(rk, rounds, s);
            storeBlock(output, s);
            v[0] = s[0], v[1] = s[1], v[2] = s[2], v[3] = s[3];
        }
        storeBlock(iv, v);
    } else {
        return ERR_AES_BAD_MODE;
    }
    if (processed != nullptr) *processed = blocks * 128;
    return OK;
}

MSTATUS AES_decryptBlocks(AESCtx* ctx, uint8_t* iv, const uint8_t* input, int32_t bits,
                          uint8_t* output, int32_t* processed) {
    if (ctx == nullptr || input == nullptr) return ERR_NULL_POINTER;
    if (ctx->encrypt != 0) return ERR_AES_BAD_DIRECTION;
    if (bits < 1) {
        if (processed != nullptr) *processed = 0;
        return OK;
    }
    if (output == nullptr) return ERR_NULL_POINTER;
    const int32_t blocks = bits / 128;
    const uint32_t* rk = ctx->roundKeys;
    const uint32_t rounds = ctx->rounds;
    uint32_t s[4];
    if (ctx->mode == AES_MODE_ECB) {
        for (int32_t i = 0; i < blocks; ++i, input += 16, output += 16) {
            loadBlock(s, input);
            decryptWords(rk, rounds, s);
            storeBlock(output, s);
        }
    } else if (ctx->mode == AES_MODE_CBC) {
        if (iv == nullptr) return ERR_NULL_POINTER;
        uint32_t v[4], c[4];
        loadBlock(v, iv);
        // Input and output may be the same buffer: the ciphertext block is kept
        // as the next vector before the plaintext is stored over it.
        for (int32_t i = 0; i < blocks; ++i, input += 16, output += 16) {
            loadBlock(c, input);
            s[0] = c[0], s[1] = c[1], s[2] = c[2], s[3] = c[3];
            decryptWords(rk, rounds, s);
            s[0] ^= v[0], s[1] ^= v[1], s[2] ^= v[2], s[3] ^= v[3];
            v[0] = c[0], v[1] = c[1], v[2] = c[2], v[3] = c[3];
            storeBlock(output, s);
        }
        storeBlock(iv, v);
    } else {
        if (processed != nullptr) *processed = blocks * 128;
        return ERR_AES_BAD_DIRECTION;
    }
    if (processed != nullptr) *processed = blocks * 128;
    return OK;
}

AESCtx* CreateAESCtx(const uint8_t* key, uint32_t keyLength, uint32_t encrypt) {
    // Guard the bit count against wrap-around: only 16, 24 and 32 bytes are keys.
    if (keyLength > 32) return nullptr;
    AESCtx* ctx = static_cast<AESCtx*>(PLATFORM_malloc(sizeof(AESCtx)));
    if (ctx == nullptr) return nullptr;
    std::memset(ctx, 0, sizeof *ctx);
    if (AES_initKey(ctx, keyLength * 8, key, encrypt, AES_MODE_CBC) != OK) {
        PLATFORM_zeroize(ctx, sizeof *ctx);
        PLATFORM_free(ctx);
        return nullptr;
    }
    return ctx;
}

MSTATUS DoAES(AESCtx* ctx, uint8_t* data, uint32_t length, uint32_t encrypt, uint8_t* iv) {
    if (length % AES_BLOCK_SIZE != 0) return ERR_AES_BAD_LENGTH;
    MSTATUS status = OK;
    // The block layer counts in 32-bit signed bits, so long buffers go in pieces;
    // the vector carries the chain from one piece to the next.
    uint32_t done = 0;
    do {
        uint32_t chunk = length - done < kMaxChunkBytes ? length - done : kMaxChunkBytes;
        int32_t processed = 0;
        int32_t bits = static_cast<int32_t>(chunk * 8);
        status = encrypt != 0
                     ? AES_encryptBlocks(ctx, iv, data + done, bits, data + done, &processed)
                     : AES_decryptBlocks(ctx, iv, data + done, bits, data + done, &processed);
        done += chunk;
    } while (status == OK && done < length);
    if (status < 0)
        DEBUG_printStatusLine(AES_DEBUG_LEVEL, "DoAES: cipher failed, error = ", status);
    return status;
}

MSTATUS ReleaseAESCtx(AESCtx** ctx) {
    if (ctx == nullptr || *ctx == nullptr) return OK;
    PLATFORM_zeroize(*ctx, sizeof(AESCtx));
    PLATFORM_free(*ctx);
    *ctx = nullptr;
    return OK;
}
