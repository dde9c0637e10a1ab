// CTR_DRBG (AES-256, no derivation function) against OpenSSL's CTR-DRBG.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <random>
#include <vector>

#include "crypto/random/random.h"

namespace {

// OpenSSL's generator fed from a test source whose entropy we set.
struct OracleDrbg {
    EVP_RAND_CTX* parent = nullptr;
    EVP_RAND_CTX* drbg = nullptr;

    void setEntropy(const std::vector<uint8_t>& entropy) {
        unsigned int strength = 256;
        OSSL_PARAM params[3] = {
            OSSL_PARAM_construct_uint(OSSL_RAND_PARAM_STRENGTH, &strength),
            OSSL_PARAM_construct_octet_string(OSSL_RAND_PARAM_TEST_ENTROPY,
                                              const_cast<uint8_t*>(entropy.data()), entropy.size()),
            OSSL_PARAM_construct_end()};
        ASSERT_EQ(1, EVP_RAND_CTX_set_params(parent, params));
    }

    void instantiate(const std::vector<uint8_t>& entropy, const std::vector<uint8_t>& pers) {
        EVP_RAND* test = EVP_RAND_fetch(nullptr, "TEST-RAND", nullptr);
        ASSERT_NE(nullptr, test);
        parent = EVP_RAND_CTX_new(test, nullptr);
        EVP_RAND_free(test);
        ASSERT_NE(nullptr, parent);
        setEntropy(entropy);
        ASSERT_EQ(1, EVP_RAND_instantiate(parent, 256, 0, nullptr, 0, nullptr));

        EVP_RAND* ctr = EVP_RAND_fetch(nullptr, "CTR-DRBG", nullptr);
        ASSERT_NE(nullptr, ctr);
        drbg = EVP_RAND_CTX_new(ctr, parent);
        EVP_RAND_free(ctr);
        ASSERT_NE(nullptr, drbg);
        int useDf = 0;
        OSSL_PARAM params[3] = {OSSL_PARAM_construct_utf8_string(
                                    OSSL_DRBG_PARAM_CIPHER, const_cast<char*>("AES-256-CTR"), 0),
                                OSSL_PARAM_construct_int(OSSL_DRBG_PARAM_USE_DF, &useDf),
                                OSSL_PARAM_construct_end()};
        ASSERT_EQ(1, EVP_RAND_CTX_set_params(drbg, params));
        // An empty (not absent) personalisation string: OpenSSL substitutes its own
        // string for an absent one.
        static const unsigned char none[1] = {0};
        ASSERT_EQ(1, EVP_RAND_instantiate(drbg, 256, 0, pers.empty() ? none : pers.data(),
                                          pers.size(), nullptr));
    }

    std::vector<uint8_t> generate(size_t n, const std::vector<uint8_t>& additional) {
        std::vector<uint8_t> out(n);
        EXPECT_EQ(1, EVP_RAND_generate(drbg, out.data(), n, 256, 0,
                                       additional.empty() ? nullptr : additional.data(),
                                       additional.size()));
        return out;
    }

    ~OracleDrbg() {
        EVP_RAND_CTX_free(drbg);
        EVP_RAND_CTX_free(parent);
    }
};

std::vector<uint8_t> randomBytes(std::mt19937& rng, size_t n) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

TEST(DrbgOracle, GenerateReseedAndAdditionalInput) {
    std::mt19937 rng(90);
    for (int round = 0; round < 40; ++round) {
        std::vector<uint8_t> entropy = randomBytes(rng, 48);
        std::vector<uint8_t> pers;
        if (round % 3 == 1) pers = randomBytes(rng, 1 + rng() % 48);
        OracleDrbg oracle;
        oracle.instantiate(entropy, pers);
        if (HasFatalFailure()) return;
        RandomContext* ours = nullptr;
        ASSERT_EQ(OK, CTRDRBG_instantiate(&ours, entropy.data(), 32, 16,
                                          pers.empty() ? nullptr : pers.data(),
                                          static_cast<uint32_t>(pers.size())));

        for (int step = 0; step < 6; ++step) {
            if (step == 3) {
                // Reseed both from the same fresh entropy, with additional input.
                std::vector<uint8_t> fresh = randomBytes(rng, 48);
                std::vector<uint8_t> additional = randomBytes(rng, rng() % 49);
                oracle.setEntropy(fresh);
                ASSERT_EQ(1, EVP_RAND_reseed(oracle.drbg, 0, nullptr, 0,
                                             additional.empty() ? nullptr : additional.data(),
                                             additional.size()));
                ASSERT_EQ(OK, CTRDRBG_reseed(ours, fresh.data(), 48,
                                             additional.empty() ? nullptr : additional.data(),
                                             static_cast<uint32_t>(additional.size())));
            }
            size_t n = 1 + rng() % (step == 5 ? 65535 : 200);
            std::vector<uint8_t> additional;
            if (step % 2 == 1) additional = randomBytes(rng, 1 + rng() % 48);
            std::vector<uint8_t> expected = oracle.generate(n, additional);
            std::vector<uint8_t> got(n);
            ASSERT_EQ(OK, CTRDRBG_generate(ours, additional.empty() ? nullptr : additional.data(),
                                           static_cast<uint32_t>(additional.size()), got.data(),
                                           static_cast<uint32_t>(n * 8)));
            ASSERT_EQ(expected, got) << "round " << round << " step " << step;
        }
        CTRDRBG_release(&ours);
    }
}

} // namespace
