// AES ECB and CBC against OpenSSL: random keys, vectors and lengths, both directions.
// DoAES chaining over several calls is checked on fixed vectors in the crypto tests.
#include <gtest/gtest.h>

#include <cstring>

#include "crypto/aes/aes.h"
#include "tests/common/openssl.h"

namespace {

using namespace testutil;

Bytes oracle(bool encrypt, size_t keyBytes, bool cbc, const Bytes& key, const Bytes& iv,
             const Bytes& in) {
    const EVP_CIPHER* const ciphers[2][3] = {
        {EVP_aes_128_ecb(), EVP_aes_192_ecb(), EVP_aes_256_ecb()},
        {EVP_aes_128_cbc(), EVP_aes_192_cbc(), EVP_aes_256_cbc()}};
    EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
    Bytes out(in.size() + 16);
    int len = 0, fin = 0;
    EXPECT_EQ(1, EVP_CipherInit_ex(c, ciphers[cbc][keyBytes / 8 - 2], nullptr, key.data(),
                                   cbc ? iv.data() : nullptr, encrypt));
    EVP_CIPHER_CTX_set_padding(c, 0);
    EXPECT_EQ(1, EVP_CipherUpdate(c, out.data(), &len, in.data(), int(in.size())));
    EXPECT_EQ(1, EVP_CipherFinal_ex(c, out.data() + len, &fin));
    EVP_CIPHER_CTX_free(c);
    out.resize(size_t(len + fin));
    return out;
}

TEST(AesOracle, RandomKeysVectorsAndLengths) {
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const size_t keyBytes = 16 + 8 * (round % 3);
        const bool cbc = (round / 3) % 2 == 0;
        const Bytes key = randomBytes(32), iv = randomBytes(16),
                    plain = randomBytes(16 * (1 + random32() % 70));
        const int32_t bits = int32_t(plain.size() * 8);
        const uint32_t mode = cbc ? AES_MODE_CBC : AES_MODE_ECB;
        AESCtx enc, dec;
        ASSERT_EQ(OK, AES_initKey(&enc, uint32_t(keyBytes * 8), key.data(), 1, mode));
        ASSERT_EQ(OK, AES_initKey(&dec, uint32_t(keyBytes * 8), key.data(), 0, mode));
        const Bytes expected = oracle(true, keyBytes, cbc, key, iv, plain);
        Bytes out(plain.size()), v = iv, back = expected;
        int32_t done = -1;
        ASSERT_EQ(OK, AES_encryptBlocks(&enc, v.data(), plain.data(), bits, out.data(), &done));
        ASSERT_EQ(bits, done);
        ASSERT_BYTES(expected, out);
        // The vector is left at the last ciphertext block.
        ASSERT_BYTES(cbc ? Bytes(out.end() - 16, out.end()) : iv, v);
        v = iv; // OpenSSL's ciphertext decrypted in place
        ASSERT_EQ(OK, AES_decryptBlocks(&dec, v.data(), back.data(), bits, back.data(), &done));
        ASSERT_BYTES(plain, back);
        if (round % 5 == 0) { // decryption of random data
            v = iv;
            ASSERT_EQ(OK, AES_decryptBlocks(&dec, v.data(), plain.data(), bits, out.data(), &done));
            ASSERT_BYTES(oracle(false, keyBytes, cbc, key, iv, plain), out);
        }
    }
}

} // namespace
