// Byte order helpers for the digest and cipher code: loads and stores through
// memcpy, with a byte swap only where the host order differs.
#pragma once
#include <cstdint>
#include <cstring>

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
#define TOOLKIT_BIG_ENDIAN_HOST 1
#elif defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define TOOLKIT_BIG_ENDIAN_HOST 0
#else
#error "unknown host byte order"
#endif

static inline uint32_t loadBe32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
#if !TOOLKIT_BIG_ENDIAN_HOST
    v = __builtin_bswap32(v);
#endif
    return v;
}

static inline void storeBe32(uint8_t* p, uint32_t v) {
#if !TOOLKIT_BIG_ENDIAN_HOST
    v = __builtin_bswap32(v);
#endif
    std::memcpy(p, &v, 4);
}

static inline uint64_t loadBe64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
#if !TOOLKIT_BIG_ENDIAN_HOST
    v = __builtin_bswap64(v);
#endif
    return v;
}

static inline void storeBe64(uint8_t* p, uint64_t v) {
#if !TOOLKIT_BIG_ENDIAN_HOST
    v = __builtin_bswap64(v);
#endif
    std::memcpy(p, &v, 8);
}

static inline uint32_t loadLe32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
#if TOOLKIT_BIG_ENDIAN_HOST
    v = __builtin_bswap32(v);
#endif
    return v;
}

static inline void storeLe32(uint8_t* p, uint32_t v) {
#if TOOLKIT_BIG_ENDIAN_HOST
    v = __builtin_bswap32(v);
#endif
    std::memcpy(p, &v, 4);
}

static inline uint32_t rotr32(uint32_t x, unsigned n) {
    return (x >> n) | (x << (32 - n));
}
static inline uint32_t rotl32(uint32_t x, unsigned n) {
    return (x << n) | (x >> (32 - n));
}
static inline uint64_t rotr64(uint64_t x, unsigned n) {
    return (x >> n) | (x << (64 - n));
}

// The shared body of every digest's update: tops up the bytes waiting in the
// block buffer, compresses whole blocks straight from the input, and keeps the
// tail. B is the block size; compress(state, data, blocks). Returns the new
// waiting count.
template <uint32_t B, typename State, typename Compress>
static inline int32_t absorbBlocks(State* state, uint8_t* block, int32_t waiting,
                                   const uint8_t* data, uint32_t length, Compress compress) {
    uint32_t n = static_cast<uint32_t>(waiting) & (B - 1);
    if (n != 0) {
        uint32_t take = B - n < length ? B - n : length;
        std::memcpy(block + n, data, take);
        n += take, data += take, length -= take;
        if (n == B) {
            compress(state, block, 1);
            n = 0;
        }
    }
    if (length >= B) {
        compress(state, data, length / B);
        data += length & ~(B - 1);
        length &= B - 1;
    }
    if (length != 0) {
        std::memcpy(block + n, data, length);
        n += length;
    }
    return static_cast<int32_t>(n);
}

// The last block of SHA-1 and SHA-256: 0x80, zeros, and the message length in
// bits, 64 bits big-endian, in the final 8 bytes (one more block when fewer
// than 9 bytes are free). The length words are left holding the bit count.
template <typename State, typename Compress>
static inline void finishBlocks64(State* state, uint8_t* block, int32_t* waiting,
                                  uint32_t* lengthHigh, uint32_t* lengthLow, Compress compress) {
    uint32_t n = static_cast<uint32_t>(*waiting) & 63u;
    block[n++] = 0x80;
    if (n > 56) {
        std::memset(block + n, 0, 64 - n);
        compress(state, block, 1);
        n = 0;
    }
    std::memset(block + n, 0, 56 - n);
    *lengthHigh = (*lengthHigh << 3) | (*lengthLow >> 29);
    *lengthLow <<= 3;
    storeBe32(block + 56, *lengthHigh);
    storeBe32(block + 60, *lengthLow);
    compress(state, block, 1);
    *waiting = 0;
}
