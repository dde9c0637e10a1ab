// OpenSSL helpers shared by the oracle tests (host only: the fixed-vector tests
// must stay free of OpenSSL): the seeded inputs and the operations the oracles need.
#pragma once

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <vector>

#include "tests/common/rows.h"
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

inline Bytes bnBytes(const BIGNUM* bn) {
    Bytes out(static_cast<size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, out.data());
    return out;
}

inline Bytes evpDigest(const EVP_MD* md, const Bytes& message) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    EXPECT_EQ(1, EVP_Digest(message.data(), message.size(), out.data(), &len, md, nullptr));
    out.resize(len);
    return out;
}

} // namespace testutil
