// Key import and signatures against OpenSSL: base64 against EVP_DecodeBlock; the fixed test keys
// exported by OpenSSL as PEM and DER (SubjectPublicKeyInfo and RSAPublicKey) and imported here;
// PKCS #1 v1.5 blocks made with OpenSSL's raw private operation, opened with RSA_publicDecrypt
// and RSA_extractDigest for every hash and key size. Private keys, blocks that break a rule and
// 3072-bit signatures are fixed vectors of the crypto tests.
#include <gtest/gtest.h>

#include "crypto/asn1/keys.h"
#include "crypto/hash/hash.h"
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

struct TestKey {
    EVP_PKEY* pkey;
    Bytes modulus;
    RsaKey* key = nullptr;
    explicit TestKey(int bits)
        : pkey(testKey(bits)), modulus(keyParam(pkey, OSSL_PKEY_PARAM_RSA_N)) {
        EXPECT_EQ(OK, RSA_newKey(&key));
        EXPECT_EQ(OK,
                  RSA_loadPublicKey(key, 65537, modulus.data(), uint32_t(modulus.size()), nullptr));
    }
    ~TestKey() { EXPECT_EQ(OK, RSA_disposeKey(&key, nullptr)); }
    // The raw private operation on the block 00 01 FF.. 00 message: a signature of k bytes.
    Bytes sign(const Bytes& message) const {
        Bytes block(modulus.size(), 0xFF), out(modulus.size());
        block[0] = 0x00;
        block[1] = 0x01;
        block[block.size() - message.size() - 1] = 0x00;
        std::copy(message.begin(), message.end(), block.end() - long(message.size()));
        std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX*)> ctx(EVP_PKEY_CTX_new(pkey, nullptr),
                                                                   EVP_PKEY_CTX_free);
        size_t length = out.size();
        EXPECT_EQ(1, EVP_PKEY_decrypt_init(ctx.get()));
        EXPECT_EQ(1, EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING));
        EXPECT_EQ(1, EVP_PKEY_decrypt(ctx.get(), out.data(), &length, block.data(), block.size()));
        out.resize(length);
        return out;
    }
};

// Every hash identifier, with and without a NULL parameter; then messages of no byte, one and the
// most a block holds, back from RSA_publicDecrypt.
TEST(RsaBlockOracle, GoodBlocksForEveryHashAndKeySize) {
    const struct {
        const char* oid;
        int32_t id;
        uint32_t size;
    } algorithms[] = {
        {"2a864886f70d0202", HASH_MD2, 16},      {"2a864886f70d0204", HASH_MD4, 16},
        {"2a864886f70d0205", HASH_MD5, 16},      {"2b0e03021a", HASH_SHA1, 20},
        {"2b0e03021d", HASH_SHA1, 20},           {"608648016503040204", HASH_SHA224, 28},
        {"608648016503040201", HASH_SHA256, 32}, {"608648016503040202", HASH_SHA384, 48},
        {"608648016503040203", HASH_SHA512, 64}};
    for (int bits : kTestKeySizes) {
        TestKey t(bits);
        for (size_t k = 0; k < 2 * std::size(algorithms); ++k) {
            const auto& a = algorithms[k / 2];
            SCOPED_TRACE(std::to_string(bits) + " " + a.oid + (k % 2 ? "" : " NULL"));
            const Bytes digest = randomBytes(a.size);
            Bytes algorithm = tlv(0x06, unhex(a.oid));
            if (k % 2 == 0) algorithm = cat({algorithm, {0x05, 0x00}});
            const Bytes sig = t.sign(tlv(0x30, cat({tlv(0x30, algorithm), tlv(0x04, digest)})));
            uint8_t out[64];
            uint32_t length = 0xDEAD;
            int32_t id = 0x5A5A;
            ASSERT_EQ(
                OK, RSA_extractDigest(t.key, sig.data(), uint32_t(sig.size()), out, &length, &id));
            EXPECT_EQ(a.id, id);
            EXPECT_BYTES(digest, Bytes(out, out + length));
        }
        for (size_t size : {size_t(0), size_t(1), t.modulus.size() - 11}) {
            const Bytes message = randomBytes(size), sig = t.sign(message);
            Bytes out(t.modulus.size(), 0xAA);
            uint32_t length = 0xFFFF;
            vlong* queue = nullptr;
            ASSERT_EQ(OK, RSA_publicDecrypt(t.key, sig.data(), out.data(), &length, &queue));
            VLONG_drainQueue(&queue);
            ASSERT_EQ(size, length);
            EXPECT_BYTES(message, Bytes(out.begin(), out.begin() + long(length)));
        }
    }
}

} // namespace
