// End to end: keys made by OpenSSL, exported as PEM (SubjectPublicKeyInfo and RSAPublicKey) and
// DER, imported with CA_MGMT_convertPublicKey; PKCS #1 v1.5 signatures made by OpenSSL opened
// with RSA_extractDigest.
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/encoder.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "crypto/asn1/keys.h"
#include "crypto/hash/hash.h"
#include "crypto/platform/platform.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string encodeKey(EVP_PKEY* pkey, const char* format, const char* structure) {
    OSSL_ENCODER_CTX* ctx =
        OSSL_ENCODER_CTX_new_for_pkey(pkey, EVP_PKEY_PUBLIC_KEY, format, structure, nullptr);
    EXPECT_NE(ctx, nullptr);
    unsigned char* data = nullptr;
    size_t len = 0;
    EXPECT_EQ(1, OSSL_ENCODER_to_data(ctx, &data, &len));
    std::string out(reinterpret_cast<char*>(data), len);
    OPENSSL_free(data);
    OSSL_ENCODER_CTX_free(ctx);
    return out;
}

Bytes modulusOf(EVP_PKEY* pkey) {
    BIGNUM* n = nullptr;
    EXPECT_EQ(1, EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_N, &n));
    Bytes out(static_cast<size_t>(BN_num_bytes(n)));
    BN_bn2bin(n, out.data());
    BN_free(n);
    return out;
}

Bytes vlongBytes(const vlong* v) {
    int32_t n = 0;
    EXPECT_EQ(VLONG_byteStringFromVlong(v, nullptr, &n), OK);
    Bytes out(static_cast<size_t>(n));
    if (n > 0) {
        EXPECT_EQ(VLONG_byteStringFromVlong(v, out.data(), &n), OK);
    }
    return out;
}

Bytes sign(EVP_PKEY* pkey, const EVP_MD* md, const Bytes& message) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = nullptr;
    EXPECT_EQ(1, EVP_DigestSignInit(ctx, &pctx, md, nullptr, pkey));
    EXPECT_EQ(1, EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING));
    size_t len = 0;
    EXPECT_EQ(1, EVP_DigestSign(ctx, nullptr, &len, message.data(), message.size()));
    Bytes sig(len);
    EXPECT_EQ(1, EVP_DigestSign(ctx, sig.data(), &len, message.data(), message.size()));
    sig.resize(len);
    EVP_MD_CTX_free(ctx);
    return sig;
}

Bytes digestOf(const EVP_MD* md, const Bytes& message) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    EXPECT_EQ(1, EVP_Digest(message.data(), message.size(), out.data(), &len, md, nullptr));
    out.resize(len);
    return out;
}

struct KeySize {
    size_t bits;
    EVP_PKEY* pkey;
};

class RsaVerifyOracle : public ::testing::Test {
  protected:
    static std::vector<KeySize>* keys;
    static void SetUpTestSuite() {
        keys = new std::vector<KeySize>;
        for (size_t bits : {1024u, 2048u, 3072u, 4096u}) {
            keys->push_back({bits, EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", bits)});
        }
    }
    static void TearDownTestSuite() {
        for (const KeySize& k : *keys) EVP_PKEY_free(k.pkey);
        delete keys;
        keys = nullptr;
    }
    void SetUp() override { ASSERT_EQ(BASE64_initTable(), OK); }
};
std::vector<KeySize>* RsaVerifyOracle::keys = nullptr;

MSTATUS import(const std::string& text, KeyObject* key) {
    KEY_init(key);
    return CA_MGMT_convertPublicKey(reinterpret_cast<const uint8_t*>(text.data()),
                                    uint32_t(text.size()), key);
}

} // namespace

TEST_F(RsaVerifyOracle, PublicKeysImportInEveryEncoding) {
    for (const KeySize& k : *keys) {
        ASSERT_NE(k.pkey, nullptr);
        const Bytes n = modulusOf(k.pkey);
        ASSERT_EQ(n.size(), k.bits / 8);
        const std::string encodings[] = {
            encodeKey(k.pkey, "PEM", "SubjectPublicKeyInfo"),
            encodeKey(k.pkey, "PEM", "type-specific"),
            encodeKey(k.pkey, "DER", "SubjectPublicKeyInfo"),
            encodeKey(k.pkey, "DER", "type-specific"),
        };
        EXPECT_EQ(encodings[1].rfind("-----BEGIN RSA PUBLIC KEY-----", 0), 0u);
        for (const std::string& text : encodings) {
            KeyObject key;
            ASSERT_EQ(import(text, &key), OK) << k.bits << ' ' << text.substr(0, 30);
            ASSERT_EQ(key.type, KEY_TYPE_RSA);
            const RsaKey* rsa = static_cast<const RsaKey*>(key.key);
            EXPECT_EQ(vlongBytes(rsa->n), n);
            EXPECT_EQ(VLONG_compareUnsigned(rsa->e, 65537), 0);
            EXPECT_EQ(rsa->privateKey, 0u);
            KEY_release(&key);
        }
        // The SubjectPublicKeyInfo form goes through a blob of 12 + 2 + 4 + 3 + 4 + n bytes.
        const std::string pem = encodings[0];
        uint8_t* blob = nullptr;
        uint32_t blobLength = 0;
        ASSERT_EQ(KEYBLOB_fromPem(reinterpret_cast<const uint8_t*>(pem.data()),
                                  uint32_t(pem.size()), &blob, &blobLength),
                  OK);
        EXPECT_EQ(blobLength, 25u + n.size());
        PLATFORM_free(blob);
    }
}

TEST_F(RsaVerifyOracle, SignaturesOpenToOpenSslDigests) {
    struct Hash {
        const EVP_MD* md;
        int32_t id;
    };
    const Hash hashes[] = {{EVP_sha1(), HASH_SHA1},
                           {EVP_sha224(), HASH_SHA224},
                           {EVP_sha256(), HASH_SHA256},
                           {EVP_sha384(), HASH_SHA384},
                           {EVP_sha512(), HASH_SHA512}};
    std::mt19937 rng(2048);
    for (const KeySize& k : *keys) {
        KeyObject key;
        ASSERT_EQ(import(encodeKey(k.pkey, "PEM", "SubjectPublicKeyInfo"), &key), OK);
        const RsaKey* rsa = static_cast<const RsaKey*>(key.key);
        for (const Hash& h : hashes) {
            Bytes message(rng() % 2000);
            for (uint8_t& b : message) b = uint8_t(rng());
            const Bytes sig = sign(k.pkey, h.md, message);
            ASSERT_EQ(sig.size(), k.bits / 8);
            uint8_t digest[64];
            uint32_t digestLength = 0;
            int32_t algorithm = 0;
            ASSERT_EQ(RSA_extractDigest(rsa, sig.data(), uint32_t(sig.size()), digest,
                                        &digestLength, &algorithm),
                      OK)
                << k.bits << ' ' << h.id;
            EXPECT_EQ(algorithm, h.id);
            EXPECT_EQ(Bytes(digest, digest + digestLength), digestOf(h.md, message));

            // One flipped bit anywhere in the signature is refused.
            for (int flip = 0; flip < 6; ++flip) {
                const size_t bit = flip == 0   ? 0
                                   : flip == 1 ? sig.size() * 8 - 1
                                               : rng() % (sig.size() * 8);
                Bytes bad = sig;
                bad[bit / 8] ^= uint8_t(0x80u >> (bit % 8));
                EXPECT_NE(RSA_extractDigest(rsa, bad.data(), uint32_t(bad.size()), digest,
                                            &digestLength, &algorithm),
                          OK)
                    << k.bits << " bit " << bit;
            }
        }
        KEY_release(&key);
    }
}
