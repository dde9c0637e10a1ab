// Every digest against OpenSSL over random lengths and random update splits.
#include <gtest/gtest.h>

#include <algorithm>

#include "crypto/hash/hash.h"
#include "tests/common/openssl.h"

namespace {

using namespace testutil;

TEST(HashOracle, RandomLengthsAndSplits) {
    const std::pair<uint32_t, const EVP_MD* (*)()> algorithms[] = {
        {HASH_MD5, EVP_md5},       {HASH_SHA1, EVP_sha1},     {HASH_SHA224, EVP_sha224},
        {HASH_SHA256, EVP_sha256}, {HASH_SHA384, EVP_sha384}, {HASH_SHA512, EVP_sha512}};
    for (const auto& a : algorithms) {
        const HashSuite* suite = nullptr;
        ASSERT_EQ(OK, HASH_getSuite(a.first, &suite));
        for (size_t round = 0; round < 150; ++round) {
            const Bytes data = randomBytes(round < 130 ? round : random32() % 4001);
            const Bytes expected = evpDigest(a.second(), data);
            SCOPED_TRACE("id " + std::to_string(a.first) + " length " +
                         std::to_string(data.size()));
            uint8_t one[64], split[64];
            uint32_t length = 0;
            ASSERT_EQ(OK, HASH_computeDigest(data.empty() ? one : data.data(),
                                             uint32_t(data.size()), one, &length, a.first));
            ASSERT_BYTES(expected, Bytes(one, one + length));
            void* ctx = nullptr;
            ASSERT_EQ(OK, suite->allocCtx(&ctx));
            ASSERT_EQ(OK, suite->init(ctx));
            for (size_t off = 0, n = 0; off < data.size(); off += n) {
                n = std::min<size_t>(data.size() - off, random32() % 300);
                ASSERT_EQ(OK, suite->update(ctx, data.data() + off, uint32_t(n)));
            }
            ASSERT_EQ(OK, suite->final(ctx, split));
            suite->freeCtx(&ctx);
            ASSERT_BYTES(expected, Bytes(split, split + length)) << "split";
        }
    }
}

} // namespace
