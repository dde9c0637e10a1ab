// The digests, AES, CTR_DRBG and base64 against OpenSSL: random lengths, keys, vectors, update
// splits and texts. DoAES chaining over several calls, key import (the test keys as OpenSSL
// writes them) and signatures are fixed vectors of the crypto tests.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/params.h>

#include <algorithm>
#include <cstring>

#include "crypto/aes/aes.h"
#include "crypto/asn1/keys.h"
#include "crypto/hash/hash.h"
#include "crypto/platform/platform.h"
#include "crypto/random/random.h"
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

// OpenSSL's generator fed from a test source whose entropy we set.
struct OracleDrbg {
    EVP_RAND_CTX* parent = nullptr;
    EVP_RAND_CTX* drbg = nullptr;
    void setEntropy(const Bytes& entropy) {
        unsigned int strength = 256;
        OSSL_PARAM params[3] = {
            OSSL_PARAM_construct_uint(OSSL_RAND_PARAM_STRENGTH, &strength),
            OSSL_PARAM_construct_octet_string(OSSL_RAND_PARAM_TEST_ENTROPY,
                                              const_cast<uint8_t*>(entropy.data()), entropy.size()),
            OSSL_PARAM_construct_end()};
        ASSERT_EQ(1, EVP_RAND_CTX_set_params(parent, params));
    }
    EVP_RAND_CTX* make(const char* name, EVP_RAND_CTX* above) {
        EVP_RAND* r = EVP_RAND_fetch(nullptr, name, nullptr);
        EVP_RAND_CTX* c = r ? EVP_RAND_CTX_new(r, above) : nullptr;
        EVP_RAND_free(r);
        EXPECT_NE(nullptr, c) << name;
        return c;
    }
    OracleDrbg(const Bytes& entropy, const Bytes& pers) {
        parent = make("TEST-RAND", nullptr);
        setEntropy(entropy);
        EXPECT_EQ(1, EVP_RAND_instantiate(parent, 256, 0, nullptr, 0, nullptr));
        drbg = make("CTR-DRBG", parent);
        int useDf = 0;
        OSSL_PARAM params[3] = {OSSL_PARAM_construct_utf8_string(
                                    OSSL_DRBG_PARAM_CIPHER, const_cast<char*>("AES-256-CTR"), 0),
                                OSSL_PARAM_construct_int(OSSL_DRBG_PARAM_USE_DF, &useDf),
                                OSSL_PARAM_construct_end()};
        EXPECT_EQ(1, EVP_RAND_CTX_set_params(drbg, params));
        // An empty (not absent) personalisation string: OpenSSL substitutes its own string for
        // an absent one.
        static const unsigned char none[1] = {0};
        EXPECT_EQ(1, EVP_RAND_instantiate(drbg, 256, 0, pers.empty() ? none : pers.data(),
                                          pers.size(), nullptr));
    }
    ~OracleDrbg() {
        EVP_RAND_CTX_free(drbg);
        EVP_RAND_CTX_free(parent);
    }
};

TEST(DrbgOracle, GenerateReseedAndAdditionalInput) {
    for (int round = 0; round < 40; ++round) {
        const Bytes entropy = randomBytes(48),
                    pers = round % 3 == 1 ? randomBytes(1 + random32() % 48) : Bytes();
        OracleDrbg oracle(entropy, pers);
        ASSERT_FALSE(HasFailure());
        RandomContext* ours = nullptr;
        ASSERT_EQ(OK, CTRDRBG_instantiate(&ours, entropy.data(), 32, 16, orNull(pers),
                                          uint32_t(pers.size())));
        for (int step = 0; step < 6; ++step) {
            SCOPED_TRACE("round " + std::to_string(round) + " step " + std::to_string(step));
            if (step == 3) { // both reseeded from the same fresh entropy, with additional input
                const Bytes fresh = randomBytes(48), add = randomBytes(random32() % 49);
                oracle.setEntropy(fresh);
                ASSERT_EQ(1, EVP_RAND_reseed(oracle.drbg, 0, nullptr, 0, orNull(add), add.size()));
                ASSERT_EQ(
                    OK, CTRDRBG_reseed(ours, fresh.data(), 48, orNull(add), uint32_t(add.size())));
            }
            const size_t n = 1 + random32() % (step == 5 ? 65535 : 200);
            const Bytes add = step % 2 ? randomBytes(1 + random32() % 48) : Bytes();
            Bytes expected(n), got(n);
            ASSERT_EQ(1, EVP_RAND_generate(oracle.drbg, expected.data(), n, 256, 0, orNull(add),
                                           add.size()));
            ASSERT_EQ(OK, CTRDRBG_generate(ours, orNull(add), uint32_t(add.size()), got.data(),
                                           uint32_t(n * 8)));
            ASSERT_BYTES(expected, got);
        }
        CTRDRBG_release(&ours);
    }
}

class KeysOracle : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(BASE64_initTable(), OK); }
};

// Ours and OpenSSL's decoding of one text: both fail, or both give the same bytes. OpenSSL's
// output keeps the zero bytes of the padding. Returns whether we accepted the text.
bool decodeAlike(const std::string& text) {
    uint8_t* buf = nullptr;
    uint32_t len = 0;
    const MSTATUS status = BASE64_decode(reinterpret_cast<const uint8_t*>(text.data()),
                                         uint32_t(text.size()), &buf, &len);
    const Bytes ours = status == OK ? Bytes(buf, buf + len) : Bytes();
    if (buf != nullptr) PLATFORM_free(buf);
    if (status != OK) return false;
    Bytes theirs(text.size() / 4 * 3 + 3);
    const int n = EVP_DecodeBlock(
        theirs.data(), reinterpret_cast<const unsigned char*>(text.data()), int(text.size()));
    EXPECT_GE(n, 0) << text;
    const size_t pad = (text.back() == '=') + (text[text.size() - 2] == '=');
    theirs.resize(n < 0 ? 0 : size_t(n) - pad);
    EXPECT_BYTES(theirs, ours) << text;
    return true;
}

TEST_F(KeysOracle, Base64OfRandomDataAndText) {
    for (int round = 0; round < 2000; ++round) {
        const Bytes data = randomBytes(random32() % 300 + 1);
        std::string text(4 * ((data.size() + 2) / 3) + 1, '\0');
        text.resize(size_t(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]), data.data(),
                                           int(data.size()))));
        ASSERT_TRUE(decodeAlike(text)) << text;
    }
    // Random strings over the alphabet and '=': whatever we accept, OpenSSL decodes alike.
    const std::string chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/===";
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text(4 * (random32() % 4 + 1), 'A');
        for (char& c : text) c = chars[random32() % chars.size()];
        if (random32() % 4 == 0) text[text.size() - 1] = '=';
        if (random32() % 8 == 0) text[text.size() - 2] = '=';
        // A group stopped at its third character is not examined further by us.
        if (text[text.size() - 2] == '=' && text.back() != '=') continue;
        accepted += decodeAlike(text);
    }
    EXPECT_GT(accepted, 1000);
}

} // namespace
