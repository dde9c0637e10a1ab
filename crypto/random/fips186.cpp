// The FIPS 186-2 (appendix 3.1) generator with the SHA-1 G function.
#include <cstring>

#include "crypto/hash/hash.h"
#include "crypto/random/random.h"

namespace {

Fips186Context* asFips(RandomContext* ctx) {
    if (ctx == nullptr || ctx->kind != RANDOM_KIND_FIPS186) return nullptr;
    return reinterpret_cast<Fips186Context*>(ctx);
}

// dst (length bytes, big-endian) += src (srcLength bytes, right-aligned) + carry, mod 2^(8 length).
void addBe(uint8_t* dst, uint32_t length, const uint8_t* src, uint32_t srcLength, uint32_t carry) {
    for (uint32_t i = 0; i < length; ++i) {
        uint32_t sum = dst[length - 1 - i] + carry;
        if (i < srcLength) sum += src[srcLength - 1 - i];
        dst[length - 1 - i] = static_cast<uint8_t>(sum);
        carry = sum >> 8;
    }
}

MSTATUS refill(Fips186Context* ctx, bool forK) {
    uint8_t w[20];
    for (int j = 0; j < 2; ++j) {
        // XVAL = (XKEY + XSEED) mod 2^(8b), in the G function's input block.
        std::memset(ctx->gInput, 0, sizeof ctx->gInput);
        std::memcpy(ctx->gInput, ctx->xkey, ctx->b);
        if (ctx->seed != nullptr) {
            uint32_t n = ctx->seedLength < ctx->b ? ctx->seedLength : ctx->b;
            addBe(ctx->gInput, ctx->b, ctx->seed + (ctx->seedLength - n), n, 0);
            ctx->seed = nullptr;
            ctx->seedLength = 0;
        }
        MSTATUS status =
            forK ? SHA1_gFunctionRotated(ctx->gInput, w) : SHA1_gFunction(ctx->gInput, w);
        if (status < 0) return status;
        addBe(ctx->xkey, ctx->b, w, sizeof w, 1); // XKEY = 1 + XKEY + w
        std::memcpy(ctx->output + 20 * j, w, sizeof w);
    }
    PLATFORM_zeroize(w, sizeof w);
    PLATFORM_zeroize(ctx->gInput, sizeof ctx->gInput);
    ctx->outputLeft = sizeof ctx->output;
    return OK;
}

MSTATUS generateWith(Fips186Context* ctx, uint8_t* buffer, uint32_t length, bool forK) {
    while (length != 0) {
        if (ctx->outputLeft == 0) {
            MSTATUS status = refill(ctx, forK);
            if (status < 0) return status;
        }
        uint32_t start = sizeof ctx->output - ctx->outputLeft;
        uint32_t take = length < ctx->outputLeft ? length : ctx->outputLeft;
        std::memcpy(buffer, ctx->output + start, take);
        std::memset(ctx->output + start, 0, take);
        ctx->outputLeft -= take;
        buffer += take;
        length -= take;
    }
    return OK;
}

} // namespace

// Kind 0 entry points used by the RANDOM_ layer.
MSTATUS FIPS186_create(RandomContext** out) {
    Fips186Context* ctx = static_cast<Fips186Context*>(PLATFORM_malloc(sizeof(Fips186Context)));
    if (ctx == nullptr) return ERR_MEM_ALLOC_FAIL;
    std::memset(ctx, 0, sizeof *ctx);
    ctx->header.kind = RANDOM_KIND_FIPS186;
    ctx->b = 64;
    // XKEY starts from the date, then each byte is disturbed by the clock and
    // the whole key regenerated from itself.
    PLATFORM_getDate(ctx->xkey);
    for (uint32_t i = 0; i < ctx->b; ++i) {
        uint32_t t = PLATFORM_milliseconds();
        if ((ctx->xkey[i] & 3u) == 3u && (t & 3u) == 3u) {
            ctx->xkey[t % 64] = static_cast<uint8_t>(ctx->xkey[t % 64] + t);
        }
        ctx->xkey[i] ^= static_cast<uint8_t>(t);
        generateWith(ctx, ctx->xkey, 64, false);
    }
    generateWith(ctx, ctx->xkey, 64, false);
    *out = &ctx->header;
    return OK;
}

MSTATUS FIPS186_release(RandomContext** out) {
    Fips186Context* ctx = asFips(*out);
    if (ctx == nullptr) return ERR_NULL_POINTER;
    PLATFORM_zeroize(ctx, sizeof *ctx);
    PLATFORM_free(ctx);
    *out = nullptr;
    return OK;
}

MSTATUS FIPS186_generate(RandomContext* context, uint8_t* buffer, uint32_t length) {
    Fips186Context* ctx = asFips(context);
    if (ctx == nullptr || buffer == nullptr) return ERR_NULL_POINTER;
    return generateWith(ctx, buffer, length, false);
}

MSTATUS FIPS186_generateK(RandomContext* context, uint8_t* buffer, uint32_t length) {
    Fips186Context* ctx = asFips(context);
    if (ctx == nullptr || buffer == nullptr) return ERR_NULL_POINTER;
    return generateWith(ctx, buffer, length, true);
}

MSTATUS FIPS186_addEntropyBit(RandomContext* context, uint32_t bit) {
    Fips186Context* ctx = asFips(context);
    if (ctx == nullptr) return ERR_NULL_POINTER;
    ctx->bitPosition = (ctx->bitPosition + 1) % (8 * ctx->b);
    if ((bit & 1u) != 0) {
        ctx->xkey[ctx->bitPosition / 8] ^= static_cast<uint8_t>(1u << (ctx->bitPosition % 8));
    }
    return OK;
}

MSTATUS FIPS186_setSeed(RandomContext* context, const uint8_t* seed, uint32_t length) {
    Fips186Context* ctx = asFips(context);
    if (ctx == nullptr || (seed == nullptr && length != 0)) return ERR_NULL_POINTER;
    ctx->seed = length != 0 ? seed : nullptr;
    ctx->seedLength = length;
    return OK;
}
