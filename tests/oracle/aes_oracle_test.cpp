// AES ECB and CBC against OpenSSL: random keys, vectors and lengths, both directions.
// DoAES chaining over several calls is checked on fixed vectors in the crypto tests.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <random>
#include <vector>

#include "crypto/aes/aes.h"

namespace {

const EVP_CIPHER* cipherFor(uint32_t keyBytes, bool cbc) {
    switch (keyBytes) {
    case 16:
        return cbc ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
    case 24:
        return cbc ? EVP_aes_192_cbc() : EVP_aes_192_ecb();
    default:
        return cbc ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
    }
}

std::vector<uint8_t> oracle(bool encrypt, uint32_t keyBytes, bool cbc, const uint8_t* key,
                            const uint8_t* iv, const std::vector<uint8_t>& in) {
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    std::vector<uint8_t> out(in.size() + 16);
    int len = 0, fin = 0;
    EXPECT_EQ(1, EVP_CipherInit_ex(c, cipherFor(keyBytes, cbc), nullptr, key, cbc ? iv : nullptr,
                                   encrypt ? 1 : 0));
    EVP_CIPHER_CTX_set_padding(c, 0);
    EXPECT_EQ(1, EVP_CipherUpdate(c, out.data(), &len, in.data(), static_cast<int>(in.size())));
    EXPECT_EQ(1, EVP_CipherFinal_ex(c, out.data() + len, &fin));
    EVP_CIPHER_CTX_free(c);
    out.resize(len + fin);
    return out;
}

TEST(AesOracle, RandomKeysVectorsAndLengths) {
    std::mt19937 rng(1197);
    const uint32_t keySizes[3] = {16, 24, 32};
    for (int round = 0; round < 300; ++round) {
        const uint32_t keyBytes = keySizes[round % 3];
        const bool cbc = (round / 3) % 2 == 0;
        uint8_t key[32], iv[16];
        for (auto& b : key) b = static_cast<uint8_t>(rng());
        for (auto& b : iv) b = static_cast<uint8_t>(rng());
        std::vector<uint8_t> plain(16 * (1 + rng() % 70));
        for (auto& b : plain) b = static_cast<uint8_t>(rng());

        std::vector<uint8_t> expected = oracle(true, keyBytes, cbc, key, iv, plain);
        AESCtx enc, dec;
        ASSERT_EQ(OK, AES_initKey(&enc, keyBytes * 8, key, 1, cbc ? AES_MODE_CBC : AES_MODE_ECB));
        ASSERT_EQ(OK, AES_initKey(&dec, keyBytes * 8, key, 0, cbc ? AES_MODE_CBC : AES_MODE_ECB));
        std::vector<uint8_t> out(plain.size());
        uint8_t v[16];
        std::memcpy(v, iv, 16);
        int32_t done = -1;
        ASSERT_EQ(OK, AES_encryptBlocks(&enc, v, plain.data(),
                                        static_cast<int32_t>(plain.size() * 8), out.data(), &done));
        ASSERT_EQ(static_cast<int32_t>(plain.size() * 8), done);
        ASSERT_EQ(expected, out) << "round " << round;
        if (cbc && !plain.empty()) {
            EXPECT_EQ(0, std::memcmp(v, out.data() + out.size() - 16, 16));
        }

        // Decrypt OpenSSL's ciphertext in place.
        std::memcpy(v, iv, 16);
        std::vector<uint8_t> back = expected;
        ASSERT_EQ(OK, AES_decryptBlocks(&dec, v, back.data(), static_cast<int32_t>(back.size() * 8),
                                        back.data(), &done));
        ASSERT_EQ(plain, back) << "round " << round;

        // Our decryption of random data agrees with OpenSSL's as well.
        if (round % 5 == 0) {
            std::vector<uint8_t> expectPlain = oracle(false, keyBytes, cbc, key, iv, plain);
            std::memcpy(v, iv, 16);
            ASSERT_EQ(OK,
                      AES_decryptBlocks(&dec, v, plain.data(),
                                        static_cast<int32_t>(plain.size() * 8), out.data(), &done));
            ASSERT_EQ(expectPlain, out);
        }
    }
}

} // namespace
