// Every digest against OpenSSL over random lengths and random update splits.
#include <gtest/gtest.h>

#include <cstring>
#include <algorithm>
#include <random>
#include <vector>

#include "crypto/hash/hash.h"
#include "tests/common/openssl.h"

namespace {

struct Algorithm {
    uint32_t id;
    const EVP_MD* (*md)();
};

const Algorithm kAlgorithms[] = {
    {HASH_MD5, EVP_md5},       {HASH_SHA1, EVP_sha1},     {HASH_SHA224, EVP_sha224},
    {HASH_SHA256, EVP_sha256}, {HASH_SHA384, EVP_sha384}, {HASH_SHA512, EVP_sha512},
};

TEST(HashOracle, RandomLengthsAndSplits) {
    std::mt19937 rng(20261206);
    for (const Algorithm& a : kAlgorithms) {
        const HashSuite* suite = nullptr;
        ASSERT_EQ(OK, HASH_getSuite(a.id, &suite));
        for (int round = 0; round < 150; ++round) {
            size_t length = round < 130 ? round : rng() % 4001;
            std::vector<uint8_t> data(length + 1);
            for (auto& b : data) b = static_cast<uint8_t>(rng());
            data.resize(length);
            std::vector<uint8_t> expected = testutil::evpDigest(a.md(), data);

            uint8_t one[64];
            uint32_t digestLength = 0;
            ASSERT_EQ(OK,
                      HASH_computeDigest(length == 0 ? one : data.data(),
                                         static_cast<uint32_t>(length), one, &digestLength, a.id));
            ASSERT_EQ(expected.size(), digestLength);
            ASSERT_EQ(expected, std::vector<uint8_t>(one, one + digestLength))
                << "id " << a.id << " length " << length;

            void* ctx = nullptr;
            ASSERT_EQ(OK, suite->allocCtx(&ctx));
            ASSERT_EQ(OK, suite->init(ctx));
            size_t off = 0;
            while (off < length) {
                size_t n = std::min<size_t>(length - off, rng() % 300);
                ASSERT_EQ(OK, suite->update(ctx, data.data() + off, static_cast<uint32_t>(n)));
                off += n;
            }
            uint8_t split[64];
            ASSERT_EQ(OK, suite->final(ctx, split));
            suite->freeCtx(&ctx);
            ASSERT_EQ(expected, std::vector<uint8_t>(split, split + digestLength))
                << "split, id " << a.id << " length " << length;
        }
    }
}

} // namespace
