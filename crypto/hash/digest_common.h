// What every digest shares: buffering of the input into blocks, the final
// padding of the 64-byte-block digests, and context allocation.
#pragma once
#include <cstdint>
#include <cstring>

#include "crypto/hash/bytes.h"
#include "crypto/platform/platform.h"

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

template <typename Ctx> static inline MSTATUS allocContext(Ctx** ctx) {
    if (ctx == nullptr) return ERR_NULL_POINTER;
    Ctx* p = static_cast<Ctx*>(PLATFORM_malloc(sizeof(Ctx)));
    if (p == nullptr) return ERR_MEM_ALLOC_FAIL;
    std::memset(p, 0, sizeof *p);
    *ctx = p;
    return OK;
}

// wipe: overwrite the context before it is freed (every digest but MD5).
template <typename Ctx> static inline MSTATUS freeContext(Ctx** ctx, bool wipe) {
    if (ctx == nullptr || *ctx == nullptr) return ERR_NULL_POINTER;
    if (wipe) PLATFORM_zeroize(*ctx, sizeof(Ctx));
    PLATFORM_free(*ctx);
    *ctx = nullptr;
    return OK;
}
