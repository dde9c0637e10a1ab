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
