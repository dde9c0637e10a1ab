// Digest dispatch: the hash-suite table and the one-shot digest by identifier.
#include <cstring>

#include "crypto/hash/hash.h"

namespace {

// Adapters from the suite's untyped context pointers to each algorithm's record.
template <typename Ctx, MSTATUS (*Fn)(Ctx**)> MSTATUS ctxOp(void** ctx) {
    return Fn(reinterpret_cast<Ctx**>(ctx));
}
template <typename Ctx, MSTATUS (*Fn)(Ctx*)> MSTATUS initOp(void* ctx) {
    return Fn(static_cast<Ctx*>(ctx));
}
template <typename Ctx, MSTATUS (*Fn)(Ctx*, const uint8_t*, uint32_t)>
MSTATUS updateOp(void* ctx, const uint8_t* data, uint32_t length) {
    return Fn(static_cast<Ctx*>(ctx), data, length);
}
template <typename Ctx, MSTATUS (*Fn)(Ctx*, uint8_t*)> MSTATUS finalOp(void* ctx, uint8_t* out) {
    return Fn(static_cast<Ctx*>(ctx), out);
}

} // namespace

const HashSuite HASH_suiteTable[6] = {
    {MD5_DIGEST_SIZE, 64, ctxOp<Md5Context, MD5_allocCtx>, ctxOp<Md5Context, MD5_freeCtx>,
     initOp<Md5Context, MD5_init>, updateOp<Md5Context, MD5_update>,
     finalOp<Md5Context, MD5_final>},
    {SHA1_DIGEST_SIZE, 64, ctxOp<Sha1Context, SHA1_allocCtx>, ctxOp<Sha1Context, SHA1_freeCtx>,
     initOp<Sha1Context, SHA1_init>, updateOp<Sha1Context, SHA1_update>,
     finalOp<Sha1Context, SHA1_final>},
    {SHA256_DIGEST_SIZE, 64, ctxOp<Sha256Context, SHA256_allocCtx>,
     ctxOp<Sha256Context, SHA256_freeCtx>, initOp<Sha256Context, SHA256_init>,
     updateOp<Sha256Context, SHA256_update>, finalOp<Sha256Context, SHA256_final>},
    {SHA384_DIGEST_SIZE, 128, ctxOp<Sha512Context, SHA512_allocCtx>,
     ctxOp<Sha512Context, SHA512_freeCtx>, initOp<Sha512Context, SHA384_init>,
     updateOp<Sha512Context, SHA512_update>, finalOp<Sha512Context, SHA384_final>},
    {SHA512_DIGEST_SIZE, 128, ctxOp<Sha512Context, SHA512_allocCtx>,
     ctxOp<Sha512Context, SHA512_freeCtx>, initOp<Sha512Context, SHA512_init>,
     updateOp<Sha512Context, SHA512_update>, finalOp<Sha512Context, SHA512_final>},
    {SHA224_DIGEST_SIZE, 64, ctxOp<Sha256Context, SHA256_allocCtx>,
     ctxOp<Sha256Context, SHA256_freeCtx>, initOp<Sha256Context, SHA224_init>,
     updateOp<Sha256Context, SHA256_update>, finalOp<Sha256Context, SHA224_final>},
};

MSTATUS HASH_computeDigest(const uint8_t* data, uint32_t length, uint8_t* digest,
                           uint32_t* digestLength, uint32_t algorithm) {
    if (data == nullptr || digest == nullptr || digestLength == nullptr) return ERR_NULL_POINTER;
    std::memset(digest, 0, HASH_MAX_DIGEST_SIZE);
    switch (algorithm) {
    case HASH_MD5:
        *digestLength = MD5_DIGEST_SIZE;
        return MD5_complete(data, length, digest);
    case HASH_SHA1:
        *digestLength = SHA1_DIGEST_SIZE;
        return SHA1_complete(data, length, digest);
    case HASH_SHA256:
        *digestLength = SHA256_DIGEST_SIZE;
        return SHA256_complete(data, length, digest);
    case HASH_SHA384:
        *digestLength = SHA384_DIGEST_SIZE;
        return SHA384_complete(data, length, digest);
    case HASH_SHA512:
        *digestLength = SHA512_DIGEST_SIZE;
        return SHA512_complete(data, length, digest);
    case HASH_SHA224:
        *digestLength = SHA224_DIGEST_SIZE;
        return SHA224_complete(data, length, digest);
    default:
        return ERR_HASH_UNSUPPORTED;
    }
}

MSTATUS HASH_getSuite(uint32_t algorithm, const HashSuite** suite) {
    if (suite == nullptr) return ERR_NULL_POINTER;
    int index;
    switch (algorithm) {
    case HASH_MD5:
        index = 0;
        break;
    case HASH_SHA1:
        index = 1;
        break;
    case HASH_SHA256:
        index = 2;
        break;
    case HASH_SHA384:
        index = 3;
        break;
    case HASH_SHA512:
        index = 4;
        break;
    case HASH_SHA224:
        index = 5;
        break;
    default:
        return ERR_INVALID_ARG;
    }
    *suite = &HASH_suiteTable[index];
    return OK;
}
