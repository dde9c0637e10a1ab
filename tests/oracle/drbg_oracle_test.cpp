// CTR_DRBG (AES-256, no derivation function) against OpenSSL's CTR-DRBG.
#include <gtest/gtest.h>
#include <openssl/params.h>

#include "crypto/random/random.h"
#include "tests/common/openssl.h"

namespace {

using namespace testutil;

const uint8_t* orNull(const Bytes& b) {
    return b.empty() ? nullptr : b.data();
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

} // namespace
