// PKCS #1 v1.5 signature blocks made with OpenSSL's raw private operation,
// opened with RSA_publicDecrypt and RSA_extractDigest: every hash and key size.
// The blocks that break a rule are fixed vectors of the toolkit tests.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <vector>

#include "crypto/hash/hash.h"
#include "crypto/vlong/rsa.h"
#include "tests/common/openssl.h"

namespace {

using namespace testutil;

struct TestKey {
    EVP_PKEY* pkey = nullptr;
    Bytes modulus;
    RsaKey* key = nullptr;
};

std::map<int, TestKey>& keys() {
    static std::map<int, TestKey> k;
    return k;
}

TestKey& keyOf(int bits) {
    TestKey& t = keys()[bits];
    if (t.key) return t;
    t.pkey = testKey(bits);
    t.modulus = keyParam(t.pkey, OSSL_PKEY_PARAM_RSA_N);
    EXPECT_EQ(OK, RSA_newKey(&t.key));
    EXPECT_EQ(
        OK, RSA_loadPublicKey(t.key, 65537, t.modulus.data(), uint32_t(t.modulus.size()), nullptr));
    return t;
}

// The raw private operation: block^d mod n, k bytes.
Bytes rawPrivate(TestKey& t, const Bytes& block) {
    std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX*)> ctx(EVP_PKEY_CTX_new(t.pkey, nullptr),
                                                               EVP_PKEY_CTX_free);
    EXPECT_EQ(1, EVP_PKEY_decrypt_init(ctx.get()));
    EXPECT_EQ(1, EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING));
    Bytes out(t.modulus.size());
    size_t length = out.size();
    EXPECT_EQ(1, EVP_PKEY_decrypt(ctx.get(), out.data(), &length, block.data(), block.size()));
    out.resize(length);
    return out;
}

Bytes padded(size_t k, const Bytes& message) {
    Bytes b(k, 0xFF);
    b[0] = 0x00;
    b[1] = 0x01;
    b[k - message.size() - 1] = 0x00;
    std::copy(message.begin(), message.end(), b.end() - message.size());
    return b;
}

struct Algorithm {
    const char* name;
    Bytes oid;
    int32_t id;
    uint32_t size;
};

const std::vector<Algorithm>& algorithms() {
    static const std::vector<Algorithm> a = {
        {"MD2", {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x02}, HASH_MD2, 16},
        {"MD4", {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x04}, HASH_MD4, 16},
        {"MD5", {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05}, HASH_MD5, 16},
        {"SHA-1", {0x2B, 0x0E, 0x03, 0x02, 0x1A}, HASH_SHA1, 20},
        {"SHA-1 (29)", {0x2B, 0x0E, 0x03, 0x02, 0x1D}, HASH_SHA1, 20},
        {"SHA-224", {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x04}, HASH_SHA224, 28},
        {"SHA-256", {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01}, HASH_SHA256, 32},
        {"SHA-384", {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02}, HASH_SHA384, 48},
        {"SHA-512", {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03}, HASH_SHA512, 64},
    };
    return a;
}

Bytes digestInfo(const Bytes& oid, const Bytes& digest, bool withNull = true) {
    Bytes algorithm = tlv(0x06, oid);
    if (withNull) algorithm = cat({algorithm, {0x05, 0x00}});
    return tlv(0x30, cat({tlv(0x30, algorithm), tlv(0x04, digest)}));
}

Bytes randomDigest(uint32_t size) {
    static std::mt19937 rng(7);
    Bytes d(size);
    for (auto& x : d) x = uint8_t(rng());
    return d;
}

struct Extracted {
    MSTATUS status;
    Bytes digest;
    int32_t id;
};

Extracted extract(TestKey& t, const Bytes& signature) {
    uint8_t digest[64];
    uint32_t length = 0xDEAD;
    int32_t id = 0x5A5A;
    MSTATUS status = RSA_extractDigest(t.key, signature.data(), uint32_t(signature.size()), digest,
                                       &length, &id);
    Extracted e{status, {}, id};
    if (status == OK) e.digest.assign(digest, digest + length);
    return e;
}

TEST(RsaBlockOracle, GoodBlocksForEveryHashAndKeySize) {
    for (int bits : kTestKeySizes) {
        TestKey& t = keyOf(bits);
        for (const Algorithm& a : algorithms()) {
            for (bool withNull : {true, false}) {
                Bytes digest = randomDigest(a.size);
                Bytes signature =
                    rawPrivate(t, padded(t.modulus.size(), digestInfo(a.oid, digest, withNull)));
                Extracted e = extract(t, signature);
                ASSERT_EQ(OK, e.status) << bits << " " << a.name << " null " << withNull;
                EXPECT_EQ(a.id, e.id);
                EXPECT_EQ(digest, e.digest);
            }
        }
    }
}

TEST(RsaBlockOracle, PublicDecryptReturnsTheMessage) {
    for (int bits : kTestKeySizes) {
        TestKey& t = keyOf(bits);
        for (size_t size : {size_t(0), size_t(1), t.modulus.size() - 11}) {
            Bytes message = randomDigest(uint32_t(size));
            Bytes signature = rawPrivate(t, padded(t.modulus.size(), message));
            Bytes out(t.modulus.size(), 0xAA);
            uint32_t length = 0xFFFF;
            vlong* queue = nullptr;
            ASSERT_EQ(OK, RSA_publicDecrypt(t.key, signature.data(), out.data(), &length, &queue));
            VLONG_drainQueue(&queue);
            ASSERT_EQ(size, length);
            EXPECT_EQ(message, Bytes(out.begin(), out.begin() + long(length)));
        }
    }
}

// The keys live for the whole run (ctest runs each test in a process of its own),
// and are released when the run ends.
struct ReleaseKeysAtExit : testing::Environment {
    void TearDown() override {
        for (auto& entry : keys()) {
            EXPECT_EQ(OK, RSA_disposeKey(&entry.second.key, nullptr));
            EXPECT_EQ(nullptr, entry.second.key);
        }
    }
};
testing::Environment* const kReleaseKeys = testing::AddGlobalTestEnvironment(new ReleaseKeysAtExit);

} // namespace
