// Digests: the vectors of tests/data/crypto/hash.txt, the suite table, the G function and the
// status codes (updates split at random points are compared with OpenSSL in the oracle tests).
// AES: the vectors of tests/data/crypto/aes.txt, the DoAES rules and statuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/aes/aes.h"
#include "crypto/hash/hash.h"
#include "crypto/platform/platform.h"
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
    EXPECT_EQ(ERR_NULL_POINTER, SHA256_init(nullptr));
    EXPECT_EQ(ERR_NULL_POINTER, SHA1_init(nullptr));
    EXPECT_EQ(ERR_NULL_POINTER, MD5_init(nullptr));
    EXPECT_EQ(ERR_NULL_POINTER, SHA512_init(nullptr));
    EXPECT_EQ(ERR_NULL_POINTER, SHA512_update(nullptr, out, 1));
    EXPECT_EQ(ERR_NULL_POINTER, MD5_update(nullptr, out, 1));
    EXPECT_EQ(ERR_NULL_POINTER, SHA1_final(nullptr, out));
    EXPECT_EQ(ERR_NULL_POINTER, SHA256_complete(nullptr, 0, out));
    EXPECT_EQ(ERR_NULL_POINTER, SHA256_complete(out, 0, nullptr));
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

class AesVector : public testing::TestWithParam<Row> {};

// ECB rows through the block functions, both directions; CBC rows through DoAES, whole, in two
// calls chained through the vector, in place and from unaligned buffers.
TEST_P(AesVector, Row) {
    const Row& r = GetParam();
    SCOPED_TRACE(r.where);
    const Bytes key = r.hex(2);
    const uint32_t bits = static_cast<uint32_t>(key.size() * 8);
    if (r[0] == "ecb") {
        const Bytes plain = r.hex(3), cipher = r.hex(4);
        Bytes out(16), back(16);
        AESCtx enc, dec;
        ASSERT_EQ(OK, AES_initKey(&enc, bits, key.data(), 1, AES_MODE_ECB));
        ASSERT_EQ(OK, AES_initKey(&dec, bits, key.data(), 0, AES_MODE_ECB));
        EXPECT_EQ(bits / 32 + 6, enc.rounds);
        int32_t done = -1;
        ASSERT_EQ(OK, AES_encryptBlocks(&enc, nullptr, plain.data(), 128, out.data(), &done));
        EXPECT_EQ(128, done);
        EXPECT_BYTES(cipher, out);
        ASSERT_EQ(OK, AES_decryptBlocks(&dec, nullptr, out.data(), 128, back.data(), &done));
        EXPECT_BYTES(plain, back);
        // Both contexts carry the same encryption schedule.
        EXPECT_EQ(0, std::memcmp(enc.encRoundKeys, dec.encRoundKeys, sizeof enc.encRoundKeys));
        return;
    }
    const Bytes iv = r.hex(3), plain = r.hex(4), cipher = r.hex(5);
    const Bytes lastBlock(cipher.end() - 16, cipher.end());
    AESCtx* enc = CreateAESCtx(key.data(), uint32_t(key.size()), 1);
    AESCtx* dec = CreateAESCtx(key.data(), uint32_t(key.size()), 0);
    ASSERT_NE(nullptr, enc);
    ASSERT_NE(nullptr, dec);
    EXPECT_EQ(AES_MODE_CBC, enc->mode);
    Bytes data = plain, v = iv;
    ASSERT_EQ(OK, DoAES(enc, data.data(), int32_t(data.size()), 1, v.data()));
    EXPECT_BYTES(cipher, data);
    EXPECT_BYTES(lastBlock, v);
    Bytes split = plain;
    v = iv;
    ASSERT_EQ(OK, DoAES(enc, split.data(), 16, 1, v.data()));
    ASSERT_EQ(OK, DoAES(enc, split.data() + 16, int32_t(split.size() - 16), 1, v.data()));
    EXPECT_BYTES(cipher, split);
    v = iv;
    ASSERT_EQ(OK, DoAES(dec, data.data(), int32_t(data.size()), 0, v.data()));
    EXPECT_BYTES(plain, data);
    EXPECT_BYTES(lastBlock, v);
    Bytes odd = cat({{1, 2, 3}, plain}), oddIv = cat({{4}, iv});
    ASSERT_EQ(OK, DoAES(enc, odd.data() + 3, int32_t(plain.size()), 1, oddIv.data() + 1));
    EXPECT_BYTES(cipher, Bytes(odd.begin() + 3, odd.end()));
    ASSERT_EQ(OK, ReleaseAESCtx(&enc));
    EXPECT_EQ(nullptr, enc);
    ASSERT_EQ(OK, ReleaseAESCtx(&dec));
    EXPECT_EQ(OK, ReleaseAESCtx(&dec));
    EXPECT_EQ(OK, ReleaseAESCtx(nullptr));
}
INSTANTIATE_TEST_SUITE_P(Table, AesVector, testing::ValuesIn(rows("crypto/aes.txt")), rowName);

TEST(AesRules, CreateAndInitStatuses) {
    uint8_t key[32] = {1, 2, 3};
    EXPECT_EQ(nullptr, CreateAESCtx(key, 20, 1));
    EXPECT_EQ(nullptr, CreateAESCtx(key, 0, 1));
    EXPECT_EQ(nullptr, CreateAESCtx(key, 0x20000010u, 1)); // bit count would wrap to 128
    EXPECT_EQ(nullptr, CreateAESCtx(nullptr, 16, 1));
    AESCtx* c24 = CreateAESCtx(key, 24, 0);
    ASSERT_NE(nullptr, c24);
    EXPECT_EQ(12u, c24->rounds);
    EXPECT_EQ(0u, c24->encrypt);
    ReleaseAESCtx(&c24);

    AESCtx ctx;
    EXPECT_EQ(ERR_NULL_POINTER, AES_initKey(nullptr, 128, key, 1, 1));
    EXPECT_EQ(ERR_NULL_POINTER, AES_initKey(&ctx, 128, nullptr, 1, 1));
    EXPECT_EQ(ERR_AES_BAD_KEY_LENGTH, AES_initKey(&ctx, 160, key, 1, 1));
}

TEST(AesRules, BlockFunctionStatuses) {
    uint8_t key[16] = {0}, in[48] = {0}, out[48], iv[16] = {0};
    AESCtx enc, dec;
    ASSERT_EQ(OK, AES_initKey(&enc, 128, key, 1, AES_MODE_ECB));
    ASSERT_EQ(OK, AES_initKey(&dec, 128, key, 0, AES_MODE_ECB));
    int32_t done = -1;
    EXPECT_EQ(ERR_NULL_POINTER, AES_encryptBlocks(nullptr, iv, in, 128, out, &done));
    EXPECT_EQ(ERR_NULL_POINTER, AES_encryptBlocks(&enc, iv, nullptr, 128, out, &done));
    EXPECT_EQ(ERR_AES_BAD_DIRECTION, AES_encryptBlocks(&dec, iv, in, 128, out, &done));
    EXPECT_EQ(ERR_AES_BAD_DIRECTION, AES_decryptBlocks(&enc, iv, in, 128, out, &done));
    ASSERT_EQ(OK, AES_encryptBlocks(&enc, iv, in, 0, out, &done));
    EXPECT_EQ(0, done);
    ASSERT_EQ(OK, AES_encryptBlocks(&enc, iv, in, -5, out, &done));
    EXPECT_EQ(0, done);
    // A trailing partial block is left alone.
    std::memset(out, 0x5A, sizeof out);
    ASSERT_EQ(OK, AES_encryptBlocks(&enc, iv, in, 200, out, &done));
    EXPECT_EQ(128, done);
    EXPECT_EQ("66e94bd4ef8a2c3b884cfa59ca342b2e", hexOf(out, 16));
    EXPECT_EQ(0x5A, out[16]);

    enc.mode = 3;
    dec.mode = 3;
    EXPECT_EQ(ERR_AES_BAD_MODE, AES_encryptBlocks(&enc, iv, in, 256, out, &done));
    done = 0;
    EXPECT_EQ(ERR_AES_BAD_DIRECTION, AES_decryptBlocks(&dec, iv, in, 300, out, &done));
    EXPECT_EQ(256, done);
    // CBC without a vector is refused instead of read through a null pointer.
    enc.mode = dec.mode = AES_MODE_CBC;
    EXPECT_EQ(ERR_NULL_POINTER, AES_encryptBlocks(&enc, nullptr, in, 128, out, &done));
    EXPECT_EQ(ERR_NULL_POINTER, AES_decryptBlocks(&dec, nullptr, in, 128, out, &done));
}

TEST(AesRules, DoAesLengthsDirectionAndDebugLine) {
    uint8_t key[16] = {9};
    AESCtx* enc = CreateAESCtx(key, 16, 1);
    ASSERT_NE(nullptr, enc);
    uint8_t data[32], iv[16], data0[32], iv0[16];
    for (int i = 0; i < 32; ++i) data[i] = static_cast<uint8_t>(i);
    for (int i = 0; i < 16; ++i) iv[i] = static_cast<uint8_t>(0xF0 + i);
    std::memcpy(data0, data, 32);
    std::memcpy(iv0, iv, 16);

    EXPECT_EQ(OK, DoAES(enc, data, 0, 1, iv));
    EXPECT_EQ(ERR_AES_BAD_LENGTH, DoAES(enc, data, 17, 1, iv));

    const std::string file = testing::TempDir() + "aes_test_debug.txt";
    const char* path = file.c_str();
    ASSERT_EQ(OK, DEBUG_CONSOLE_setOutput(path));
    EXPECT_EQ(ERR_AES_BAD_DIRECTION, DoAES(enc, data, 32, 0, iv)); // silent: level 32 is masked
    const uint32_t mask = g_debugLevelMask;
    g_debugLevelMask |= AES_DEBUG_LEVEL;
    EXPECT_EQ(ERR_AES_BAD_DIRECTION, DoAES(enc, data, 32, 0, iv));
    g_debugLevelMask = mask;
    ASSERT_EQ(OK, DEBUG_CONSOLE_setOutput(nullptr));
    EXPECT_EQ("DoAES: cipher failed, error = -7903\r\nSwitching output stream\r\n", readText(path));
    std::remove(path);

    EXPECT_EQ(0, std::memcmp(data, data0, 32));
    EXPECT_EQ(0, std::memcmp(iv, iv0, 16));
    EXPECT_EQ(ERR_NULL_POINTER, DoAES(nullptr, data, 16, 1, iv));
    ReleaseAESCtx(&enc);
}

} // namespace
