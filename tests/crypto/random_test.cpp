// Random numbers: CTR_DRBG answers and limits, the entropy depot's
// accounting, the FIPS 186-2 generator, and toolkit start-up.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "crypto/random/random.h"
#include "tests/common/bytes.h"

namespace {

using testutil::hexOf;

std::vector<uint8_t> range(int from, int count) {
    std::vector<uint8_t> v(count);
    for (int i = 0; i < count; ++i) v[i] = static_cast<uint8_t>(from + i);
    return v;
}

CtrDrbgContext* drbg(RandomContext* ctx) {
    return reinterpret_cast<CtrDrbgContext*>(ctx);
}

const uint8_t* text(const char* s) {
    return reinterpret_cast<const uint8_t*>(s);
}

// Known answers of CTR_DRBG with AES-256 and no derivation function.
TEST(CtrDrbg, KnownAnswers) {
    std::vector<uint8_t> entropy = range(0, 48);
    RandomContext* ctx = nullptr;
    ASSERT_EQ(OK, CTRDRBG_instantiate(&ctx, entropy.data(), 32, 16, nullptr, 0));
    ASSERT_NE(nullptr, ctx);
    EXPECT_EQ(RANDOM_KIND_CTRDRBG, ctx->kind);
    EXPECT_EQ(1u, drbg(ctx)->reseedLow);
    uint8_t out[64];
    ASSERT_EQ(OK, CTRDRBG_generate(ctx, nullptr, 0, out, 512));
    EXPECT_EQ("061550234d158c5ec95595fe04ef7a25767f2e24cc2bc479d09d86dc9abcfde7"
              "056a8c266f9ef97ed08541dbd2e1ffa19810f5392d076276ef41277c3ab6e94a",
              hexOf(out, 64));
    ASSERT_EQ(OK, RANDOM_generate(ctx, out, 20));
    EXPECT_EQ("04562ad35e8ecafaafda16981cdaa147606beea6", hexOf(out, 20));
    EXPECT_EQ(3u, drbg(ctx)->reseedLow);

    std::vector<uint8_t> entropy2 = range(48, 48);
    ASSERT_EQ(OK, CTRDRBG_reseed(ctx, entropy2.data(), 48, text("abc"), 3));
    EXPECT_EQ(1u, drbg(ctx)->reseedLow);
    ASSERT_EQ(OK, CTRDRBG_generate(ctx, text("additional input"), 16, out, 256));
    EXPECT_EQ("75d6024e6c0b777662b7c1ec3665a3f74c43c9e1216d77f4660150e5ef78aa9b", hexOf(out, 32));
    ASSERT_EQ(OK, CTRDRBG_release(&ctx));
    EXPECT_EQ(nullptr, ctx);

    std::vector<uint8_t> entropy3 = range(100, 48);
    ASSERT_EQ(OK, CTRDRBG_instantiate(&ctx, entropy3.data(), 32, 16, text("personal"), 8));
    ASSERT_EQ(OK, RANDOM_generate(ctx, out, 16));
    EXPECT_EQ("d6f7ab41fd8d9ee82038dd6cf037291c", hexOf(out, 16));
    ASSERT_EQ(OK, RANDOM_releaseContext(&ctx));
    EXPECT_EQ(nullptr, ctx);
}

TEST(CtrDrbg, InstantiateAndReseedChecks) {
    std::vector<uint8_t> entropy = range(1, 64);
    RandomContext* ctx = nullptr;
    EXPECT_EQ(ERR_NULL_POINTER, CTRDRBG_instantiate(nullptr, entropy.data(), 32, 16, nullptr, 0));
    EXPECT_EQ(ERR_NULL_POINTER, CTRDRBG_instantiate(&ctx, nullptr, 32, 16, nullptr, 0));
    EXPECT_EQ(ERR_DRBG_PERSONALIZATION_TOO_LONG,
              CTRDRBG_instantiate(&ctx, entropy.data(), 32, 16, entropy.data(), 49));
    EXPECT_EQ(ERR_DRBG_BAD_KEY_LENGTH,
              CTRDRBG_instantiate(&ctx, entropy.data(), 20, 16, nullptr, 0));
    EXPECT_EQ(ERR_DRBG_BAD_KEY_LENGTH,
              CTRDRBG_instantiate(&ctx, entropy.data(), 16, 8, nullptr, 0));
    EXPECT_EQ(ERR_DRBG_BAD_BLOCK_LENGTH,
              CTRDRBG_instantiate(&ctx, entropy.data(), 32, 32, nullptr, 0));
    // No triple-DES cipher is built in: such a generator cannot be made.
    EXPECT_EQ(ERR_DRBG_BAD_BLOCK_LENGTH,
              CTRDRBG_instantiate(&ctx, entropy.data(), 21, 8, nullptr, 0));
    EXPECT_EQ(nullptr, ctx);

    // AES-128 and AES-192 generators: seed length 32 and 40.
    ASSERT_EQ(OK, CTRDRBG_instantiate(&ctx, entropy.data(), 16, 16, nullptr, 0));
    EXPECT_EQ(ERR_DRBG_BAD_ENTROPY_LENGTH, CTRDRBG_reseed(ctx, entropy.data(), 48, nullptr, 0));
    EXPECT_EQ(OK, CTRDRBG_reseed(ctx, entropy.data(), 32, nullptr, 0));
    CTRDRBG_release(&ctx);
    ASSERT_EQ(OK, CTRDRBG_instantiate(&ctx, entropy.data(), 24, 16, nullptr, 0));
    EXPECT_EQ(OK, CTRDRBG_reseed(ctx, entropy.data(), 40, entropy.data(), 64)); // input is cut
    CTRDRBG_release(&ctx);

    ASSERT_EQ(OK, CTRDRBG_instantiate(&ctx, entropy.data(), 32, 16, nullptr, 0));
    EXPECT_EQ(ERR_DRBG_BAD_ENTROPY_LENGTH, CTRDRBG_reseed(ctx, entropy.data(), 47, nullptr, 0));
    EXPECT_EQ(ERR_NULL_POINTER, CTRDRBG_reseed(ctx, nullptr, 48, nullptr, 0));
    EXPECT_EQ(ERR_NULL_POINTER, CTRDRBG_reseed(nullptr, entropy.data(), 48, nullptr, 0));
    CTRDRBG_release(&ctx);
}

TEST(CtrDrbg, GenerateLimits) {
    std::vector<uint8_t> entropy = range(7, 48);
    RandomContext* ctx = nullptr;
    ASSERT_EQ(OK, CTRDRBG_instantiate(&ctx, entropy.data(), 32, 16, nullptr, 0));
    std::vector<uint8_t> big(65536 + 16, 0xEE);
    EXPECT_EQ(ERR_DRBG_REQUEST_TOO_LARGE, RANDOM_generate(ctx, big.data(), 65536));
    EXPECT_EQ(0xEE, big[0]);
    EXPECT_EQ(ERR_DRBG_REQUEST_TOO_LARGE, RANDOM_generate(ctx, big.data(), 0x20000000u));
    EXPECT_EQ(1u, drbg(ctx)->reseedLow);
    EXPECT_EQ(OK, RANDOM_generate(ctx, big.data(), 65535));
    EXPECT_EQ(0xEE, big[65535]); // nothing written past the request
    EXPECT_EQ(2u, drbg(ctx)->reseedLow);

    // Zero bits: only the state update and the count.
    uint8_t key[32];
    std::memcpy(key, drbg(ctx)->key, 32);
    EXPECT_EQ(OK, CTRDRBG_generate(ctx, nullptr, 0, big.data(), 0));
    EXPECT_EQ(3u, drbg(ctx)->reseedLow);
    EXPECT_NE(0, std::memcmp(key, drbg(ctx)->key, 32));
    EXPECT_EQ(ERR_NULL_POINTER, CTRDRBG_generate(ctx, nullptr, 0, nullptr, 8));

    // The counter limit, 2^48 requests.
    drbg(ctx)->reseedHigh = 0xFFFF;
    drbg(ctx)->reseedLow = 0xFFFFFFFF;
    EXPECT_EQ(OK, RANDOM_generate(ctx, big.data(), 1));
    EXPECT_EQ(0x10000u, drbg(ctx)->reseedHigh);
    EXPECT_EQ(ERR_DRBG_RESEED_NEEDED, RANDOM_generate(ctx, big.data(), 1));
    ASSERT_EQ(OK, CTRDRBG_reseed(ctx, entropy.data(), 48, nullptr, 0));
    EXPECT_EQ(OK, RANDOM_generate(ctx, big.data(), 1));
    CTRDRBG_release(&ctx);
}

TEST(EntropyDepot, WithdrawalAccountingAndShutdown) {
    ASSERT_EQ(OK, ENTROPY_reinitialize());
    EntropyDepotInfo info;
    ASSERT_EQ(OK, ENTROPY_getInfo(&info));
    EXPECT_EQ(0u, info.initialised);

    uint8_t a[100], b[100];
    std::memset(a, 0, sizeof a);
    ASSERT_EQ(OK, ENTROPY_getBytes(a, 100));
    ASSERT_EQ(OK, ENTROPY_getInfo(&info));
    EXPECT_EQ(1u, info.primed);
    EXPECT_EQ(3u, info.refreshCount); // priming, then after 48 and after 96 bytes
    EXPECT_EQ(44u, info.unusedBytes);
    ASSERT_EQ(OK, ENTROPY_getBytes(b, 44));
    ASSERT_EQ(OK, ENTROPY_getInfo(&info));
    EXPECT_EQ(3u, info.refreshCount);
    EXPECT_EQ(0u, info.unusedBytes);
    EXPECT_NE(0, std::memcmp(a, b, 44));
    EXPECT_NE(0, std::memcmp(a, a + 48, 48));

    // Bits land from position 1 on and wrap at 384.
    for (int i = 0; i < 383; ++i) ASSERT_EQ(OK, ENTROPY_addBit(1));
    ASSERT_EQ(OK, ENTROPY_getInfo(&info));
    EXPECT_EQ(383u, info.bitPosition);
    ASSERT_EQ(OK, ENTROPY_addBit(0));
    ASSERT_EQ(OK, ENTROPY_getInfo(&info));
    EXPECT_EQ(0u, info.bitPosition);
    EXPECT_EQ(ERR_NULL_POINTER, ENTROPY_getBytes(nullptr, 1));

    ASSERT_EQ(OK, ENTROPY_shutdown());
    EXPECT_EQ(ERR_ENTROPY_SHUTDOWN, ENTROPY_addBit(1));
    EXPECT_EQ(ERR_ENTROPY_SHUTDOWN, ENTROPY_getBytes(a, 1));
    RandomContext* ctx = nullptr;
    EXPECT_EQ(ERR_ENTROPY_SHUTDOWN, RANDOM_createContext(&ctx, RANDOM_MODE_CTRDRBG));
    ASSERT_EQ(OK, ENTROPY_reinitialize());
    EXPECT_EQ(OK, ENTROPY_getBytes(a, 1));
}

TEST(RandomContexts, EntropyBitsReseedEvery384) {
    RandomContext* ctx = nullptr;
    ASSERT_EQ(OK, RANDOM_createContext(&ctx, RANDOM_MODE_CTRDRBG));
    CtrDrbgContext* d = drbg(ctx);
    for (int i = 0; i < 383; ++i) ASSERT_EQ(OK, RANDOM_addEntropyBit(ctx, 1));
    EXPECT_EQ(383u, d->entropyBits);
    uint8_t key[32], v[16];
    std::memcpy(key, d->key, 32);
    std::memcpy(v, d->V, 16);
    ASSERT_EQ(OK, RANDOM_generate(ctx, v, 0)); // counts, and updates the state
    std::memcpy(key, d->key, 32);
    std::memcpy(v, d->V, 16);
    ASSERT_EQ(OK, RANDOM_addEntropyBit(ctx, 1));
    EXPECT_EQ(0u, d->entropyBits);
    EXPECT_EQ(1u, d->reseedLow);
    EXPECT_NE(0, std::memcmp(key, d->key, 32));
    EXPECT_NE(0, std::memcmp(v, d->V, 16));
    ASSERT_EQ(OK, RANDOM_releaseContext(&ctx));

    EXPECT_EQ(ERR_INVALID_ARG, RANDOM_createContext(&ctx, 2));
    EXPECT_EQ(ERR_INVALID_ARG, RANDOM_createContext(&ctx, 4));
    EXPECT_EQ(ERR_NULL_POINTER, RANDOM_createContext(nullptr, 0));
    RandomContext wrong = {RANDOM_KIND_ECC};
    uint8_t buf[4];
    EXPECT_EQ(ERR_NULL_POINTER, RANDOM_generate(&wrong, buf, 4));
    EXPECT_EQ(ERR_NULL_POINTER, RANDOM_addEntropyBit(&wrong, 1));
    EXPECT_EQ(ERR_NULL_POINTER, CTRDRBG_generate(&wrong, nullptr, 0, buf, 32));
    RandomContext* p = &wrong;
    EXPECT_EQ(ERR_NULL_POINTER, RANDOM_releaseContext(&p));
    EXPECT_EQ(ERR_NULL_POINTER, RANDOM_generate(nullptr, buf, 4));
}

// FIPS 186-2 appendix 3.1 example: b = 160, XSEED = 0.
TEST(Fips186, PublishedExampleAndContext) {
    RandomContext* ctx = nullptr;
    ASSERT_EQ(OK, RANDOM_createContext(&ctx, RANDOM_MODE_FIPS186));
    ASSERT_NE(nullptr, ctx);
    EXPECT_EQ(RANDOM_KIND_FIPS186, ctx->kind);
    Fips186Context* f = reinterpret_cast<Fips186Context*>(ctx);
    EXPECT_EQ(64u, f->b);

    const uint8_t xkey[20] = {0xbd, 0x02, 0x9b, 0xbe, 0x7f, 0x51, 0x96, 0x0b, 0xcf, 0x9e,
                              0xdb, 0x2b, 0x61, 0xf0, 0x6f, 0x0f, 0xeb, 0x5a, 0x38, 0xb6};
    f->b = 20;
    std::memset(f->xkey, 0, sizeof f->xkey);
    std::memcpy(f->xkey, xkey, 20);
    f->outputLeft = 0;
    uint8_t out[40];
    ASSERT_EQ(OK, RANDOM_generate(ctx, out, 40));
    EXPECT_EQ("2070b3223dba372fde1c0ffc7b2e3b498b260614"
              "3c6c18bacb0f6c55babb13788e20d737a3275116",
              hexOf(out, 40));

    // An external seed is added to XKEY once: a zero seed changes nothing.
    std::memcpy(f->xkey, xkey, 20);
    const uint8_t zero[20] = {0};
    ASSERT_EQ(OK, FIPS186_setSeed(ctx, zero, 20));
    ASSERT_EQ(OK, RANDOM_generate(ctx, out, 20));
    EXPECT_EQ("2070b3223dba372fde1c0ffc7b2e3b498b260614", hexOf(out, 20));
    EXPECT_EQ(nullptr, f->seed);

    // Entropy bits flip XKEY bits from position 1 on.
    std::memset(f->xkey, 0, 20);
    f->bitPosition = 0;
    ASSERT_EQ(OK, RANDOM_addEntropyBit(ctx, 1));
    ASSERT_EQ(OK, RANDOM_addEntropyBit(ctx, 0));
    ASSERT_EQ(OK, RANDOM_addEntropyBit(ctx, 1));
    EXPECT_EQ(0x0A, f->xkey[0]);
    f->bitPosition = 159;
    ASSERT_EQ(OK, RANDOM_addEntropyBit(ctx, 1));
    EXPECT_EQ(0x0B, f->xkey[0]);

    uint8_t k1[20], k2[20];
    ASSERT_EQ(OK, FIPS186_generateK(ctx, k1, 20));
    ASSERT_EQ(OK, FIPS186_generateK(ctx, k2, 20));
    EXPECT_NE(0, std::memcmp(k1, k2, 20));
    EXPECT_EQ(ERR_NULL_POINTER, CTRDRBG_generate(ctx, nullptr, 0, out, 8));
    ASSERT_EQ(OK, RANDOM_releaseContext(&ctx));
    EXPECT_EQ(nullptr, ctx);
}

TEST(Toolkit, StartUpOnceAndFailureWithoutDevice) {
    TOOLKIT_shutdown();
    ASSERT_EQ(OK, ENTROPY_reinitialize());
    g_debugConsoleState[0] = 7;
    EXPECT_EQ(1, TOOLKIT_initialize()); // the last start-up hook's answer
    ASSERT_NE(nullptr, g_pRandomContext);
    EXPECT_EQ(0, g_debugConsoleState[0]);
    EXPECT_EQ(-1, g_debugConsoleState[1]);
    EXPECT_EQ(0u, g_toolkitStrictMode);
    // 256 bits from the device went into the depot, short of a reseed.
    EXPECT_EQ(256u, drbg(g_pRandomContext)->entropyBits);
    EntropyDepotInfo info;
    ENTROPY_getInfo(&info);
    EXPECT_EQ(256u, info.bitPosition);

    RandomContext* first = g_pRandomContext;
    CtrDrbgContext snapshot = *drbg(first);
    EXPECT_EQ(OK, TOOLKIT_initialize());
    EXPECT_EQ(first, g_pRandomContext);
    EXPECT_EQ(0, std::memcmp(&snapshot, drbg(first), sizeof snapshot));
    uint8_t out[32];
    EXPECT_EQ(OK, RANDOM_generate(g_pRandomContext, out, 32));
    EXPECT_EQ(OK, RANDOM_addEntropyWord(0xA5A5A5A5u));
    EXPECT_EQ(288u, drbg(g_pRandomContext)->entropyBits);

    ASSERT_EQ(OK, TOOLKIT_shutdown());
    EXPECT_EQ(nullptr, g_pRandomContext);
    EXPECT_EQ(ERR_NULL_POINTER, RANDOM_addEntropyBitDefault(1));

    const char* device = g_toolkitEntropyDevice;
    g_toolkitEntropyDevice = "/nonexistent-dir/urandom";
    EXPECT_EQ(ERR_FILE_OPEN_FAILED, TOOLKIT_initialize());
    EXPECT_NE(nullptr, g_pRandomContext); // created before the device was tried
    g_toolkitEntropyDevice = device;
    EXPECT_EQ(OK, TOOLKIT_initialize()); // no retry
    EXPECT_EQ(0u, drbg(g_pRandomContext)->entropyBits);

    // A device that ends early.
    TOOLKIT_shutdown();
    g_toolkitEntropyDevice = "/dev/null";
    EXPECT_EQ(ERR_FILE_READ_FAILED, TOOLKIT_initialize());
    g_toolkitEntropyDevice = device;
    TOOLKIT_shutdown();
    EXPECT_EQ(1, TOOLKIT_initialize());
}

} // namespace
