// Digest layer: the vectors of tests/data/crypto/hash.txt, split updates, the suite table,
// the G function and the status codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "crypto/hash/hash.h"
#include "tests/common/rows.h"

namespace {

using namespace testutil;

const uint32_t kIds[6] = {HASH_MD5, HASH_SHA1, HASH_SHA256, HASH_SHA384, HASH_SHA512, HASH_SHA224};
const char* const kNames[6] = {"md5", "sha1", "sha256", "sha384", "sha512", "sha224"};

class HashVector : public testing::TestWithParam<Row> {};

TEST_P(HashVector, Row) {
    const Row& r = GetParam();
    SCOPED_TRACE(r.where);
    const size_t k = std::find(kNames, kNames + 6, r[2]) - kNames;
    ASSERT_LT(k, 6u) << r[2];
    const std::string m = r.text(3);
    uint8_t out[64];
    uint32_t length = 0;
    ASSERT_EQ(OK, HASH_computeDigest(reinterpret_cast<const uint8_t*>(m.data()), uint32_t(m.size()),
                                     out, &length, kIds[k]));
    const Bytes want = r.hex(4);
    EXPECT_EQ(HASH_suiteTable[k].digestSize, length);
    EXPECT_BYTES(want, Bytes(out, out + std::min<size_t>(length, want.size())));
}
INSTANTIATE_TEST_SUITE_P(Table, HashVector, testing::ValuesIn(rows("crypto/hash.txt", "digest")),
                         rowName);

// Updates split at random points are compared with OpenSSL in the oracle tests.
TEST(HashSuites, TableOrderAndSizes) {
    const uint32_t sizes[6] = {16, 20, 32, 48, 64, 28}, blocks[6] = {64, 64, 64, 128, 128, 64};
    for (int k = 0; k < 6; ++k) {
        const HashSuite* suite = nullptr;
        ASSERT_EQ(OK, HASH_getSuite(kIds[k], &suite));
        EXPECT_EQ(&HASH_suiteTable[k], suite);
        EXPECT_EQ(sizes[k], suite->digestSize);
        EXPECT_EQ(blocks[k], suite->blockSize);
        void* ctx = nullptr;
        ASSERT_EQ(OK, suite->allocCtx(&ctx));
        ASSERT_EQ(OK, suite->freeCtx(&ctx));
        EXPECT_EQ(nullptr, ctx);
        EXPECT_EQ(ERR_NULL_POINTER, suite->freeCtx(&ctx));
        EXPECT_EQ(ERR_NULL_POINTER, suite->freeCtx(nullptr));
    }
}

TEST(HashDigest, StatusesZeroFillAndContexts) {
    uint8_t out[64];
    std::memset(out, 0xAA, sizeof out);
    uint32_t len = 99;
    const uint8_t data = 0;
    ASSERT_EQ(OK, HASH_computeDigest(&data, 0, out, &len, HASH_SHA256));
    EXPECT_EQ(32u, len);
    EXPECT_BYTES(Bytes(32, 0), Bytes(out + 32, out + 64));
    EXPECT_EQ(ERR_NULL_POINTER, HASH_computeDigest(nullptr, 0, out, &len, HASH_SHA256));
    EXPECT_EQ(ERR_NULL_POINTER, HASH_computeDigest(&data, 1, nullptr, &len, HASH_SHA256));
    EXPECT_EQ(ERR_NULL_POINTER, HASH_computeDigest(&data, 1, out, nullptr, HASH_SHA256));
    len = 77;
    EXPECT_EQ(ERR_HASH_UNSUPPORTED, HASH_computeDigest(&data, 1, out, &len, 7));
    EXPECT_EQ(77u, len);
    EXPECT_EQ(ERR_HASH_UNSUPPORTED, HASH_computeDigest(&data, 1, out, &len, HASH_MD2));
    const HashSuite* suite = &HASH_suiteTable[0];
    EXPECT_EQ(ERR_INVALID_ARG, HASH_getSuite(7, &suite));
    EXPECT_EQ(&HASH_suiteTable[0], suite);
    EXPECT_EQ(ERR_INVALID_ARG, HASH_getSuite(HASH_MD4, &suite));

    const uint8_t abc[] = {'a', 'b', 'c'};
    Sha256Context ctx;
    ASSERT_EQ(OK, SHA224_init(&ctx));
    ASSERT_EQ(OK, SHA256_update(&ctx, abc, 3));
    Sha256Context before = ctx;
    EXPECT_EQ(ERR_NULL_POINTER, SHA256_update(&ctx, nullptr, 0));
    EXPECT_EQ(ERR_NULL_POINTER, SHA224_final(&ctx, nullptr));
    EXPECT_EQ(0, std::memcmp(&before, &ctx, sizeof ctx));
    ASSERT_EQ(OK, SHA224_final(&ctx, out));
    EXPECT_EQ("23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7", hexOf(out, 28));
    EXPECT_EQ(0u, ctx.lengthHigh);
    EXPECT_EQ(24u, ctx.lengthLow); // the bit count stays behind
    EXPECT_EQ(ERR_NULL_POINTER, SHA256_init(nullptr));
    EXPECT_EQ(ERR_NULL_POINTER, SHA1_init(nullptr));
    EXPECT_EQ(ERR_NULL_POINTER, MD5_init(nullptr));
    EXPECT_EQ(ERR_NULL_POINTER, SHA512_init(nullptr));
    EXPECT_EQ(ERR_NULL_POINTER, SHA512_update(nullptr, out, 1));
    EXPECT_EQ(ERR_NULL_POINTER, MD5_update(nullptr, out, 1));
    EXPECT_EQ(ERR_NULL_POINTER, SHA1_final(nullptr, out));
    EXPECT_EQ(ERR_NULL_POINTER, SHA256_complete(nullptr, 0, out));
    EXPECT_EQ(ERR_NULL_POINTER, SHA256_complete(out, 0, nullptr));
    Md5Context md5;
    ASSERT_EQ(OK, MD5_init(&md5));
    ASSERT_EQ(OK, MD5_update(&md5, abc, 3));
    EXPECT_EQ(24u, md5.bitsLow);
    EXPECT_EQ(3, md5.waiting);
}

// The G function is one SHA-1 compression without padding: over the padded
// block of "abc" it gives the SHA-1 digest of "abc".
TEST(HashGFunction, PlainAndRotated) {
    uint8_t block[64] = {'a', 'b', 'c', 0x80};
    block[63] = 24;
    uint8_t out[20];
    ASSERT_EQ(OK, SHA1_gFunction(block, out));
    EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", hexOf(out, 20));
    ASSERT_EQ(OK, SHA1_gFunctionRotated(block, out));
    EXPECT_EQ("bddb508227afe0e9f14ce98deca8ec6becef2cb1", hexOf(out, 20));
}

} // namespace
