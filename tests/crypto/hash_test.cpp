// Digest layer: published test vectors, block-boundary messages, split
// updates, the suite table and the status codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/hash/hash.h"
#include "tests/common/bytes.h"

namespace {

using testutil::hexOf;

const uint8_t* bytes(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

std::string digestOf(uint32_t algorithm, const std::string& message) {
    uint8_t out[64];
    uint32_t length = 0;
    const uint8_t dummy = 0;
    EXPECT_EQ(OK,
              HASH_computeDigest(message.empty() ? &dummy : bytes(message),
                                 static_cast<uint32_t>(message.size()), out, &length, algorithm));
    return hexOf(out, length);
}

const std::string kAbc = "abc";
const std::string k448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const std::string k896 = "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmn"
                         "hijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";

// The published one-block and two-block examples.
TEST(HashVectors, Fips180Examples) {
    EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", digestOf(HASH_SHA1, kAbc));
    EXPECT_EQ("84983e441c3bd26ebaae4aa1f95129e5e54670f1", digestOf(HASH_SHA1, k448));
    EXPECT_EQ("23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7",
              digestOf(HASH_SHA224, kAbc));
    EXPECT_EQ("75388b16512776cc5dba5da1fd890150b0c6455cb4f58b1952522525",
              digestOf(HASH_SHA224, k448));
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
              digestOf(HASH_SHA256, kAbc));
    EXPECT_EQ("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
              digestOf(HASH_SHA256, k448));
    EXPECT_EQ("cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed"
              "8086072ba1e7cc2358baeca134c825a7",
              digestOf(HASH_SHA384, kAbc));
    EXPECT_EQ("09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712"
              "fcc7c71a557e2db966c3e9fa91746039",
              digestOf(HASH_SHA384, k896));
    EXPECT_EQ("ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
              "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f",
              digestOf(HASH_SHA512, kAbc));
    EXPECT_EQ("8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
              "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909",
              digestOf(HASH_SHA512, k896));
    EXPECT_EQ("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
              digestOf(HASH_SHA256, std::string(1000000, 'a')));
    // MD5: the RFC 1321 test suite.
    EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", digestOf(HASH_MD5, ""));
    EXPECT_EQ("0cc175b9c0f1b6a831c399e269772661", digestOf(HASH_MD5, "a"));
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", digestOf(HASH_MD5, "abc"));
    EXPECT_EQ("f96b697d7cb7938d525a2f31aaf161d0", digestOf(HASH_MD5, "message digest"));
    EXPECT_EQ("c3fcd3d76192e4007dfb496cca67e13b", digestOf(HASH_MD5, "abcdefghijklmnopqrstuvwxyz"));
    EXPECT_EQ("d174ab98d277d9f5a5611c2c9f419d9f",
              digestOf(HASH_MD5, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"));
    EXPECT_EQ("57edf4a22be3c955ac49da2e2107b67a",
              digestOf(HASH_MD5, "1234567890123456789012345678901234567890"
                                 "1234567890123456789012345678901234567890"));
}

// 55 bytes fit one final block; 56 need two, and 64 a block of padding alone; the same
// at 111/112 for SHA-512 and 127/128 for SHA-384.
TEST(HashVectors, PaddingBoundaries) {
    struct Case {
        size_t n;
        const char* sha256;
        const char* sha1;
        const char* md5;
    } cases[] = {
        {55, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318",
         "c1c8bbdc22796e28c0e15163d20899b65621d65a", "ef1772b6dff9a122358552954ad0df65"},
        {56, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a",
         "c2db330f6083854c99d4b5bfb6e8f29f201be699", "3b0c8ac703f828b04c6c197006d17218"},
        {64, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb",
         "0098ba824b5c16427bd7a1122a5a442a25ec644d", "014842d480b571495a4a0363793f7367"},
    };
    for (const Case& c : cases) {
        std::string m(c.n, 'a');
        EXPECT_EQ(c.sha256, digestOf(HASH_SHA256, m)) << c.n;
        EXPECT_EQ(c.sha1, digestOf(HASH_SHA1, m)) << c.n;
        EXPECT_EQ(c.md5, digestOf(HASH_MD5, m)) << c.n;
    }
    EXPECT_EQ("fa9121c7b32b9e01733d034cfc78cbf67f926c7ed83e82200ef8681819692176",
              digestOf(HASH_SHA512, std::string(111, 'a')).substr(0, 64));
    EXPECT_EQ("c01d080efd492776a1c43bd23dd99d0a2e626d481e16782e75d54c2503b5dc32",
              digestOf(HASH_SHA512, std::string(112, 'a')).substr(0, 64));
    EXPECT_EQ("9bd06b1763c2cf7aef40e795dc65bc96",
              digestOf(HASH_SHA384, std::string(127, 'a')).substr(0, 32));
    EXPECT_EQ("edb12730a366098b3b2beac75a3bef1b",
              digestOf(HASH_SHA384, std::string(128, 'a')).substr(0, 32));
}

TEST(HashSuites, TableOrderSizesAndSplitUpdates) {
    const uint32_t ids[6] = {HASH_MD5,    HASH_SHA1,   HASH_SHA256,
                             HASH_SHA384, HASH_SHA512, HASH_SHA224};
    const uint32_t sizes[6] = {16, 20, 32, 48, 64, 28};
    const uint32_t blocks[6] = {64, 64, 64, 128, 128, 64};
    std::vector<uint8_t> message(1000);
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i * 131 + 7);

    for (int k = 0; k < 6; ++k) {
        const HashSuite* suite = nullptr;
        ASSERT_EQ(OK, HASH_getSuite(ids[k], &suite));
        EXPECT_EQ(&HASH_suiteTable[k], suite);
        EXPECT_EQ(sizes[k], suite->digestSize);
        EXPECT_EQ(blocks[k], suite->blockSize);

        uint8_t whole[64], pieces[64];
        uint32_t len = 0;
        ASSERT_EQ(OK, HASH_computeDigest(message.data(), 1000, whole, &len, ids[k]));
        EXPECT_EQ(sizes[k], len);

        // Pieces of 1, 63, 64 and 65 bytes, repeated over the message.
        void* ctx = nullptr;
        ASSERT_EQ(OK, suite->allocCtx(&ctx));
        ASSERT_EQ(OK, suite->init(ctx));
        const uint32_t steps[4] = {1, 63, 64, 65};
        uint32_t off = 0;
        for (int s = 0; off < message.size(); s = (s + 1) % 4) {
            uint32_t n = std::min<uint32_t>(steps[s], 1000 - off);
            ASSERT_EQ(OK, suite->update(ctx, message.data() + off, n));
            off += n;
        }
        ASSERT_EQ(OK, suite->update(ctx, message.data(), 0));
        ASSERT_EQ(OK, suite->final(ctx, pieces));
        EXPECT_EQ(hexOf(whole, sizes[k]), hexOf(pieces, sizes[k])) << "suite " << k;
        ASSERT_EQ(OK, suite->freeCtx(&ctx));
        EXPECT_EQ(nullptr, ctx);
        EXPECT_EQ(ERR_NULL_POINTER, suite->freeCtx(&ctx));
        EXPECT_EQ(ERR_NULL_POINTER, suite->freeCtx(nullptr));
    }
}

TEST(HashDigest, ComputeDigestStatusesAndZeroFill) {
    uint8_t out[64];
    std::memset(out, 0xAA, sizeof out);
    uint32_t len = 99;
    const uint8_t data = 0;
    ASSERT_EQ(OK, HASH_computeDigest(&data, 0, out, &len, HASH_SHA256));
    EXPECT_EQ(32u, len);
    EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", hexOf(out, 32));
    for (int i = 32; i < 64; ++i) EXPECT_EQ(0, out[i]) << i;

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
}

TEST(HashDigest, ContextRulesAndNullArguments) {
    Sha256Context ctx;
    ASSERT_EQ(OK, SHA224_init(&ctx));
    ASSERT_EQ(OK, SHA256_update(&ctx, bytes(kAbc), 3));
    Sha256Context before = ctx;
    EXPECT_EQ(ERR_NULL_POINTER, SHA256_update(&ctx, nullptr, 0));
    EXPECT_EQ(ERR_NULL_POINTER, SHA224_final(&ctx, nullptr));
    EXPECT_EQ(0, std::memcmp(&before, &ctx, sizeof ctx));
    uint8_t out[32];
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
    ASSERT_EQ(OK, MD5_update(&md5, bytes(kAbc), 3));
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
