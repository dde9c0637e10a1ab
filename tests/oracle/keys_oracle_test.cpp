// Key import and signatures against OpenSSL: base64 against EVP_DecodeBlock; the fixed test
// keys exported by OpenSSL as PEM and DER (SubjectPublicKeyInfo and RSAPublicKey) and imported
// here; PKCS #1 v1.5 signatures made by OpenSSL opened with RSA_extractDigest. Private keys are
// checked against numbers made by OpenSSL in the fixed-vector tests.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "crypto/asn1/keys.h"
#include "crypto/hash/hash.h"
#include "crypto/platform/platform.h"
#include "tests/common/openssl.h"

namespace {

using namespace testutil;

class KeysOracle : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(BASE64_initTable(), OK); }
};

// Ours: status and bytes.
MSTATUS ourDecode(const std::string& text, Bytes* out) {
    uint8_t* buf = nullptr;
    uint32_t len = 0;
    const MSTATUS status = BASE64_decode(reinterpret_cast<const uint8_t*>(text.data()),
                                         uint32_t(text.size()), &buf, &len);
    if (status == OK) out->assign(buf, buf + len);
    if (buf != nullptr) PLATFORM_free(buf);
    return status;
}

// OpenSSL's: -1 on failure; otherwise the bytes without the padding's zero bytes.
int oracleDecode(const std::string& text, Bytes* out) {
    Bytes buf(text.size() / 4 * 3 + 3);
    const int n = EVP_DecodeBlock(buf.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                  int(text.size()));
    if (n < 0) return n;
    int pad = 0;
    if (!text.empty() && text.back() == '=') ++pad;
    if (text.size() > 1 && text[text.size() - 2] == '=') ++pad;
    out->assign(buf.begin(), buf.begin() + (n - pad));
    return 0;
}

std::string encode(const Bytes& data) {
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), data.data(), int(data.size()));
    out.resize(size_t(n));
    return out;
}

MSTATUS import(const std::string& text, KeyObject* key) {
    KEY_init(key);
    return CA_MGMT_convertPublicKey(reinterpret_cast<const uint8_t*>(text.data()),
                                    uint32_t(text.size()), key);
}

const RsaKey* rsaOf(const KeyObject& k) {
    return static_cast<const RsaKey*>(k.key);
}

} // namespace

TEST_F(KeysOracle, Base64OfRandomData) {
    std::mt19937 rng(4410);
    for (int round = 0; round < 2000; ++round) {
        Bytes data(rng() % 300 + 1);
        for (uint8_t& b : data) b = uint8_t(rng());
        const std::string text = encode(data);
        Bytes ours, theirs;
        ASSERT_EQ(ourDecode(text, &ours), OK) << text;
        ASSERT_EQ(oracleDecode(text, &theirs), 0);
        EXPECT_EQ(ours, theirs);
        EXPECT_EQ(ours, data);
    }
}

TEST_F(KeysOracle, Base64OfRandomText) {
    // Random strings over the alphabet and '=': whatever we accept, OpenSSL decodes alike.
    const std::string chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/===";
    std::mt19937 rng(17);
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text(4 * (rng() % 4 + 1), 'A');
        for (char& c : text) c = chars[rng() % chars.size()];
        if (rng() % 4 == 0) text[text.size() - 1] = '=';
        if (rng() % 8 == 0) text[text.size() - 2] = '=';
        Bytes ours, theirs;
        if (ourDecode(text, &ours) != OK) continue;
        // A group stopped at its third character is not examined further by us.
        if (text[text.size() - 2] == '=' && text.back() != '=') continue;
        ++accepted;
        ASSERT_EQ(oracleDecode(text, &theirs), 0) << text;
        EXPECT_EQ(ours, theirs) << text;
    }
    EXPECT_GT(accepted, 1000);
}

TEST_F(KeysOracle, PublicKeysImportInEveryEncoding) {
    for (int bits : kTestKeySizes) {
        EVP_PKEY* pkey = testKey(bits);
        const Bytes n = keyParam(pkey, OSSL_PKEY_PARAM_RSA_N);
        ASSERT_EQ(n.size(), size_t(bits / 8));
        const std::string encodings[] = {
            encodeKey(pkey, EVP_PKEY_PUBLIC_KEY, "PEM", "SubjectPublicKeyInfo"),
            encodeKey(pkey, EVP_PKEY_PUBLIC_KEY, "PEM", "type-specific"),
            encodeKey(pkey, EVP_PKEY_PUBLIC_KEY, "DER", "SubjectPublicKeyInfo"),
            encodeKey(pkey, EVP_PKEY_PUBLIC_KEY, "DER", "type-specific"),
        };
        EXPECT_EQ(encodings[1].rfind("-----BEGIN RSA PUBLIC KEY-----", 0), 0u);
        for (const std::string& text : encodings) {
            KeyObject key;
            ASSERT_EQ(import(text, &key), OK) << bits << ' ' << text.substr(0, 30);
            ASSERT_EQ(key.type, KEY_TYPE_RSA);
            EXPECT_EQ(vlongBytes(rsaOf(key)->n), n);
            EXPECT_EQ(VLONG_compareUnsigned(rsaOf(key)->e, 65537), 0);
            EXPECT_EQ(rsaOf(key)->privateKey, 0u);
            KEY_release(&key);
        }
        // The SubjectPublicKeyInfo form goes through a blob of 12 + 2 + 4 + 3 + 4 + n bytes.
        uint8_t* blob = nullptr;
        uint32_t blobLength = 0;
        ASSERT_EQ(KEYBLOB_fromPem(reinterpret_cast<const uint8_t*>(encodings[0].data()),
                                  uint32_t(encodings[0].size()), &blob, &blobLength),
                  OK);
        EXPECT_EQ(blobLength, 25u + n.size());
        PLATFORM_free(blob);
    }
}

TEST_F(KeysOracle, SignaturesOpenToOpenSslDigests) {
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
    // Keys made fresh by OpenSSL for this run, of every size the switch may meet.
    for (int bits : {1024, 2048, 3072, 4096}) {
        Pkey fresh(EVP_RSA_gen(unsigned(bits)));
        ASSERT_NE(fresh, nullptr) << bits;
        EVP_PKEY* pkey = fresh.get();
        KeyObject key;
        ASSERT_EQ(import(encodeKey(pkey, EVP_PKEY_PUBLIC_KEY, "PEM", "SubjectPublicKeyInfo"), &key),
                  OK);
        for (const Hash& h : hashes) {
            Bytes message(rng() % 2000);
            for (uint8_t& b : message) b = uint8_t(rng());
            const Bytes sig = signPkcs1(pkey, h.md, message);
            ASSERT_EQ(sig.size(), size_t(bits / 8));
            uint8_t digest[64];
            uint32_t digestLength = 0;
            int32_t algorithm = 0;
            ASSERT_EQ(RSA_extractDigest(rsaOf(key), sig.data(), uint32_t(sig.size()), digest,
                                        &digestLength, &algorithm),
                      OK)
                << bits << ' ' << h.id;
            EXPECT_EQ(algorithm, h.id);
            EXPECT_EQ(Bytes(digest, digest + digestLength), evpDigest(h.md, message));
        }
        KEY_release(&key);
    }
}
