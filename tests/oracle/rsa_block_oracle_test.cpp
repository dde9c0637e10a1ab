// PKCS #1 v1.5 signature blocks made with OpenSSL's raw private operation, opened with
// RSA_publicDecrypt and RSA_extractDigest: every hash and key size. The blocks that break a rule
// are fixed vectors of the toolkit tests.
#include <gtest/gtest.h>

#include "crypto/hash/hash.h"
#include "crypto/vlong/rsa.h"
#include "tests/common/openssl.h"

namespace {

using namespace testutil;

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
        for (const auto& a : algorithms) {
            for (bool withNull : {true, false}) {
                SCOPED_TRACE(std::to_string(bits) + " " + a.oid + (withNull ? " NULL" : ""));
                const Bytes digest = randomBytes(a.size);
                Bytes algorithm = tlv(0x06, unhex(a.oid));
                if (withNull) algorithm = cat({algorithm, {0x05, 0x00}});
                const Bytes sig = t.sign(tlv(0x30, cat({tlv(0x30, algorithm), tlv(0x04, digest)})));
                uint8_t out[64];
                uint32_t length = 0xDEAD;
                int32_t id = 0x5A5A;
                ASSERT_EQ(OK, RSA_extractDigest(t.key, sig.data(), uint32_t(sig.size()), out,
                                                &length, &id));
                EXPECT_EQ(a.id, id);
                EXPECT_BYTES(digest, Bytes(out, out + length));
            }
        }
    }
}

TEST(RsaBlockOracle, PublicDecryptReturnsTheMessage) {
    for (int bits : kTestKeySizes) {
        TestKey t(bits);
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
