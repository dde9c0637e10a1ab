// Key import and signatures against OpenSSL: base64 against EVP_DecodeBlock; the fixed test keys
// exported by OpenSSL as PEM and DER (SubjectPublicKeyInfo and RSAPublicKey) and imported here.
// Private keys and signatures (every hash identifier under every test key size, and blocks that
// break a rule) are fixed vectors of the crypto tests.
#include <gtest/gtest.h>

#include "crypto/asn1/keys.h"
#include "crypto/platform/platform.h"
#include "crypto/vlong/rsa.h"
#include "tests/common/openssl.h"

namespace {

using namespace testutil;

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

MSTATUS import(const std::string& text, KeyObject* key) {
    KEY_init(key);
    return CA_MGMT_convertPublicKey(reinterpret_cast<const uint8_t*>(text.data()),
                                    uint32_t(text.size()), key);
}

TEST_F(KeysOracle, PublicKeysImportInEveryEncoding) {
    for (int bits : kTestKeySizes) {
        EVP_PKEY* pkey = testKey(bits);
        const Bytes n = keyParam(pkey, OSSL_PKEY_PARAM_RSA_N);
        ASSERT_EQ(n.size(), size_t(bits / 8));
        for (const char* format : {"PEM", "DER"}) {
            for (const char* structure : {"SubjectPublicKeyInfo", "type-specific"}) {
                const std::string text = encodeKey(pkey, EVP_PKEY_PUBLIC_KEY, format, structure);
                SCOPED_TRACE(std::to_string(bits) + " " + text.substr(0, 30));
                EXPECT_TRUE(format[0] == 'D' || structure[0] == 'S' ||
                            text.rfind("-----BEGIN RSA PUBLIC KEY-----", 0) == 0);
                KeyObject key;
                ASSERT_EQ(import(text, &key), OK);
                ASSERT_EQ(key.type, KEY_TYPE_RSA);
                const RsaKey* rsa = static_cast<const RsaKey*>(key.key);
                EXPECT_BYTES(n, vlongBytes(rsa->n));
                EXPECT_EQ(VLONG_compareUnsigned(rsa->e, 65537), 0);
                EXPECT_EQ(rsa->privateKey, 0u);
                KEY_release(&key);
                // through a blob of 12 + 2 + 4 + 3 + 4 + n bytes
                uint8_t* blob = nullptr;
                uint32_t blobLength = 0;
                const auto* p = reinterpret_cast<const uint8_t*>(text.data());
                ASSERT_EQ(OK, (format[0] == 'P' ? KEYBLOB_fromPem : KEYBLOB_fromDer)(
                                  p, uint32_t(text.size()), &blob, &blobLength));
                EXPECT_EQ(blobLength, 25u + n.size());
                PLATFORM_free(blob);
            }
        }
    }
}

} // namespace
