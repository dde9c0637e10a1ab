// AES: FIPS-197 and SP 800-38A vectors, key schedules, the DoAES rules and statuses.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/aes/aes.h"
#include "crypto/platform/platform.h"
#include "tests/common/bytes.h"

namespace {

using testutil::hexOf;
using testutil::unhex;

const std::string kPlain = "00112233445566778899aabbccddeeff";

TEST(AesVectors, Fips197AppendixC) {
    struct Case {
        const char* key;
        const char* cipher;
    } cases[] = {
        {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
         "8ea2b7ca516745bfeafc49904b496089"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> key = unhex(c.key), plain = unhex(kPlain), out(16), back(16);
        const uint32_t bits = static_cast<uint32_t>(key.size() * 8);
        AESCtx enc, dec;
        ASSERT_EQ(OK, AES_initKey(&enc, bits, key.data(), 1, AES_MODE_ECB));
        ASSERT_EQ(OK, AES_initKey(&dec, bits, key.data(), 0, AES_MODE_ECB));
        EXPECT_EQ(bits / 32 + 6, enc.rounds);
        int32_t done = -1;
        ASSERT_EQ(OK, AES_encryptBlocks(&enc, nullptr, plain.data(), 128, out.data(), &done));
        EXPECT_EQ(128, done);
        EXPECT_EQ(c.cipher, hexOf(out.data(), 16));
        ASSERT_EQ(OK, AES_decryptBlocks(&dec, nullptr, out.data(), 128, back.data(), &done));
        EXPECT_EQ(kPlain, hexOf(back.data(), 16));
        // Both contexts carry the same encryption schedule.
        EXPECT_EQ(0, std::memcmp(enc.encRoundKeys, dec.encRoundKeys, sizeof enc.encRoundKeys));
    }
}

TEST(AesVectors, KeyScheduleWords) {
    // FIPS-197 appendix A.1: the last expanded words of 2b7e1516...
    std::vector<uint8_t> key = unhex("2b7e151628aed2a6abf7158809cf4f3c");
    AESCtx ctx;
    ASSERT_EQ(OK, AES_initKey(&ctx, 128, key.data(), 0, AES_MODE_CBC));
    EXPECT_EQ(0x2b7e1516u, ctx.encRoundKeys[0]);
    EXPECT_EQ(0xa0fafe17u, ctx.encRoundKeys[4]);
    EXPECT_EQ(0xb6630ca6u, ctx.encRoundKeys[43]);
    // The decryption schedule starts with the last round key and ends with the first.
    for (int j = 0; j < 4; ++j) {
        EXPECT_EQ(ctx.encRoundKeys[40 + j], ctx.roundKeys[j]);
        EXPECT_EQ(ctx.encRoundKeys[j], ctx.roundKeys[40 + j]);
    }
}

TEST(AesVectors, Sp80038aCbcAndChaining) {
    std::vector<uint8_t> key = unhex("2b7e151628aed2a6abf7158809cf4f3c");
    std::vector<uint8_t> plain =
        unhex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
              "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
    const std::string cipher = "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
                               "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7";
    AESCtx* enc = CreateAESCtx(key.data(), 16, 1);
    AESCtx* dec = CreateAESCtx(key.data(), 16, 0);
    ASSERT_NE(nullptr, enc);
    ASSERT_NE(nullptr, dec);
    EXPECT_EQ(AES_MODE_CBC, enc->mode);

    std::vector<uint8_t> data = plain, iv = unhex("000102030405060708090a0b0c0d0e0f");
    ASSERT_EQ(OK, DoAES(enc, data.data(), 64, 1, iv.data()));
    EXPECT_EQ(cipher, hexOf(data.data(), 64));
    EXPECT_EQ(cipher.substr(96), hexOf(iv.data(), 16));

    // Two calls continue the chain through the vector.
    std::vector<uint8_t> split = plain;
    iv = unhex("000102030405060708090a0b0c0d0e0f");
    ASSERT_EQ(OK, DoAES(enc, split.data(), 16, 1, iv.data()));
    ASSERT_EQ(OK, DoAES(enc, split.data() + 16, 48, 1, iv.data()));
    EXPECT_EQ(cipher, hexOf(split.data(), 64));

    // In-place decryption restores the text and leaves the last ciphertext block as vector.
    iv = unhex("000102030405060708090a0b0c0d0e0f");
    ASSERT_EQ(OK, DoAES(dec, data.data(), 64, 0, iv.data()));
    EXPECT_EQ(hexOf(plain.data(), 64), hexOf(data.data(), 64));
    EXPECT_EQ(cipher.substr(96), hexOf(iv.data(), 16));

    // Unaligned buffers give the same result.
    std::vector<uint8_t> odd(64 + 3), oddIv(16 + 1);
    std::memcpy(odd.data() + 3, plain.data(), 64);
    std::memcpy(oddIv.data() + 1, unhex("000102030405060708090a0b0c0d0e0f").data(), 16);
    ASSERT_EQ(OK, DoAES(enc, odd.data() + 3, 64, 1, oddIv.data() + 1));
    EXPECT_EQ(cipher, hexOf(odd.data() + 3, 64));

    ASSERT_EQ(OK, ReleaseAESCtx(&enc));
    EXPECT_EQ(nullptr, enc);
    ASSERT_EQ(OK, ReleaseAESCtx(&dec));
    EXPECT_EQ(OK, ReleaseAESCtx(&dec));
    EXPECT_EQ(OK, ReleaseAESCtx(nullptr));
}

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
    EXPECT_EQ("DoAES: cipher failed, error = -7903\r\nSwitching output stream\r\n",
              testutil::readText(path));
    std::remove(path);

    EXPECT_EQ(0, std::memcmp(data, data0, 32));
    EXPECT_EQ(0, std::memcmp(iv, iv0, 16));
    EXPECT_EQ(ERR_NULL_POINTER, DoAES(nullptr, data, 16, 1, iv));
    ReleaseAESCtx(&enc);
}

} // namespace
