// OpenSSL helpers shared by the oracle tests (host only: the fixed-vector tests
// must stay free of OpenSSL). Fixed RSA test keys, so that no suite spends its
// time on key generation, and the operations the oracles need.
#pragma once

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/encoder.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/common/rows.h"
#include "tests/common/test_keys.h"
#include "tests/common/vlong_bytes.h"

namespace testutil {

// The seeded generator of the oracle loops: every run draws the same inputs.
inline uint32_t random32() {
    static std::mt19937 rng(20261206);
    return uint32_t(rng());
}
inline Bytes randomBytes(size_t n) {
    Bytes b(n);
    for (auto& x : b) x = uint8_t(random32());
    return b;
}

// 3072 bits is covered by a fixed signature in the crypto tests.
const int kTestKeySizes[] = {1024, 2048, 4096};

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// The fixed private key of the given size, parsed once and kept for the run.
inline EVP_PKEY* testKey(int bits) {
    static std::map<int, Pkey> keys;
    Pkey& k = keys[bits];
    if (!k) {
        std::unique_ptr<BIO, int (*)(BIO*)> bio(BIO_new_mem_buf(kTestKeyPem.at(bits), -1),
                                                BIO_free);
        k.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
        EXPECT_NE(nullptr, k) << bits;
    }
    return k.get();
}

inline Bytes bnBytes(const BIGNUM* bn) {
    Bytes out(static_cast<size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, out.data());
    return out;
}

// A big-number parameter of a key as bytes (OSSL_PKEY_PARAM_RSA_N and so on).
inline Bytes keyParam(EVP_PKEY* pkey, const char* name) {
    BIGNUM* bn = nullptr;
    EXPECT_EQ(1, EVP_PKEY_get_bn_param(pkey, name, &bn)) << name;
    Bytes out = bn ? bnBytes(bn) : Bytes{};
    BN_free(bn);
    return out;
}

inline Bytes evpDigest(const EVP_MD* md, const Bytes& message) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    EXPECT_EQ(1, EVP_Digest(message.data(), message.size(), out.data(), &len, md, nullptr));
    out.resize(len);
    return out;
}

// The key in an encoding: format "PEM" or "DER", structure "SubjectPublicKeyInfo" or
// "type-specific"; selection EVP_PKEY_PUBLIC_KEY or EVP_PKEY_KEYPAIR.
inline std::string encodeKey(EVP_PKEY* pkey, int selection, const char* format,
                             const char* structure) {
    OSSL_ENCODER_CTX* ctx =
        OSSL_ENCODER_CTX_new_for_pkey(pkey, selection, format, structure, nullptr);
    EXPECT_NE(ctx, nullptr);
    unsigned char* data = nullptr;
    size_t len = 0;
    EXPECT_EQ(1, OSSL_ENCODER_to_data(ctx, &data, &len));
    std::string out(reinterpret_cast<char*>(data), len);
    OPENSSL_free(data);
    OSSL_ENCODER_CTX_free(ctx);
    return out;
}

} // namespace testutil
