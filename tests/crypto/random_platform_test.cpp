// Random numbers: the CTR_DRBG and FIPS 186-2 answers and limits of tests/data/crypto/random.txt,
// the counter limit, entropy bits, the entropy depot's accounting and toolkit start-up.
// Platform layer: whole files, checked mutexes, clocks, and the debug print
// layer with its level mask and output redirection.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "crypto/platform/platform.h"
#include "crypto/random/random.h"
#include "tests/common/bytes.h"
#include "tests/common/rows.h"

namespace {

using namespace testutil;

CtrDrbgContext* drbg(RandomContext* ctx) {
    return reinterpret_cast<CtrDrbgContext*>(ctx);
}

// The output of one request: its first bytes, or !status; nothing is written past the request.
void expectOutput(const Row& r, size_t at, MSTATUS status, const Bytes& out, size_t n) {
    const std::string& want = r[at];
    if (want[0] == '!') {
        EXPECT_EQ(std::stol(want.substr(1)), status);
        EXPECT_EQ(0xEE, out[0]);
        return;
    }
    ASSERT_EQ(OK, status);
    EXPECT_EQ(0xEE, out[n]);
    const Bytes w = r.hex(at);
    EXPECT_BYTES(w, Bytes(out.begin(), out.begin() + long(w.size())));
}

TEST(RandomTable, Rows) {
    RandomContext* ctx = nullptr;
    for (const Row& r : rows("crypto/random.txt")) {
        SCOPED_TRACE(r.where);
        const std::string& op = r[0];
        size_t countAt = 0;
        if (op == "new") {
            if (ctx) RANDOM_releaseContext(&ctx);
            const Bytes e = r.hex(3), p = r.hex(4);
            EXPECT_EQ(r.num(5),
                      CTRDRBG_instantiate(&ctx, e.data(), uint32_t(r.num(1)), uint32_t(r.num(2)),
                                          orNull(p), uint32_t(p.size())));
            if (r.num(5) != OK) {
                EXPECT_EQ(nullptr, ctx);
                continue;
            }
            EXPECT_EQ(RANDOM_KIND_CTRDRBG, ctx->kind);
            EXPECT_EQ(1u, drbg(ctx)->reseedLow);
        } else if (op == "reseed") {
            const Bytes e = r.hex(1), a = r.hex(2);
            EXPECT_EQ(r.num(3), CTRDRBG_reseed(ctx, e.data(), uint32_t(e.size()), orNull(a),
                                               uint32_t(a.size())));
            countAt = 4;
        } else if (op == "gen" || op == "rgen") {
            const bool raw = op == "gen";
            const Bytes a = r.hex(1);
            const size_t n = raw ? size_t(r.num(2) + 7) / 8 : size_t(r.num(1));
            Bytes out(std::min<size_t>(n, 1 << 20) + 16, 0xEE);
            const MSTATUS status = raw ? CTRDRBG_generate(ctx, orNull(a), uint32_t(a.size()),
                                                          out.data(), uint32_t(r.num(2)))
                                       : RANDOM_generate(ctx, out.data(), uint32_t(n));
            expectOutput(r, raw ? 3 : 2, status, out, n);
            countAt = raw ? 4 : 3;
        } else if (op == "fips") {
            RandomContext* f = nullptr;
            ASSERT_EQ(OK, RANDOM_createContext(&f, RANDOM_MODE_FIPS186));
            EXPECT_EQ(RANDOM_KIND_FIPS186, f->kind);
            Fips186Context* fc = reinterpret_cast<Fips186Context*>(f);
            EXPECT_EQ(64u, fc->b);
            const Bytes xkey = r.hex(1), seed = r.hex(4);
            fc->b = uint32_t(xkey.size());
            std::memset(fc->xkey, 0, sizeof fc->xkey);
            std::memcpy(fc->xkey, xkey.data(), xkey.size());
            fc->outputLeft = 0;
            EXPECT_EQ(OK, FIPS186_setSeed(f, orNull(seed), uint32_t(seed.size())));
            Bytes out(size_t(r.num(2)) + 16, 0xEE);
            expectOutput(r, 3, RANDOM_generate(f, out.data(), uint32_t(r.num(2))), out,
                         size_t(r.num(2)));
            EXPECT_EQ(nullptr, fc->seed); // used once
            ASSERT_EQ(OK, RANDOM_releaseContext(&f));
            EXPECT_EQ(nullptr, f);
        } else {
            FAIL() << "unknown operation " << op;
        }
        if (countAt && !r[countAt].empty()) {
            EXPECT_EQ(uint32_t(r.num(countAt)), drbg(ctx)->reseedLow);
        }
    }
    ASSERT_EQ(OK, RANDOM_releaseContext(&ctx));
    EXPECT_EQ(nullptr, ctx);
}

TEST(CtrDrbg, CounterLimitZeroBitsAndNullArguments) {
    const Bytes entropy(48, 7);
    RandomContext* ctx = nullptr;
    EXPECT_EQ(ERR_NULL_POINTER, CTRDRBG_instantiate(nullptr, entropy.data(), 32, 16, nullptr, 0));
    EXPECT_EQ(ERR_NULL_POINTER, CTRDRBG_instantiate(&ctx, nullptr, 32, 16, nullptr, 0));
    ASSERT_EQ(OK, CTRDRBG_instantiate(&ctx, entropy.data(), 32, 16, nullptr, 0));
    EXPECT_EQ(ERR_NULL_POINTER, CTRDRBG_reseed(ctx, nullptr, 48, nullptr, 0));
    EXPECT_EQ(ERR_NULL_POINTER, CTRDRBG_reseed(nullptr, entropy.data(), 48, nullptr, 0));
    uint8_t key[32], out[8];
    std::memcpy(key, drbg(ctx)->key, 32);
    EXPECT_EQ(OK, CTRDRBG_generate(ctx, nullptr, 0, out, 0)); // zero bits: the state moves on
    EXPECT_NE(0, std::memcmp(key, drbg(ctx)->key, 32));
    EXPECT_EQ(ERR_NULL_POINTER, CTRDRBG_generate(ctx, nullptr, 0, nullptr, 8));
    // The counter limit, 2^48 requests.
    drbg(ctx)->reseedHigh = 0xFFFF;
    drbg(ctx)->reseedLow = 0xFFFFFFFF;
    EXPECT_EQ(OK, RANDOM_generate(ctx, out, 1));
    EXPECT_EQ(0x10000u, drbg(ctx)->reseedHigh);
    EXPECT_EQ(ERR_DRBG_RESEED_NEEDED, RANDOM_generate(ctx, out, 1));
    ASSERT_EQ(OK, CTRDRBG_reseed(ctx, entropy.data(), 48, nullptr, 0));
    EXPECT_EQ(OK, RANDOM_generate(ctx, out, 1));
    CTRDRBG_release(&ctx);

    RandomContext wrong = {RANDOM_KIND_ECC};
    RandomContext* p = &wrong;
    EXPECT_EQ(ERR_NULL_POINTER, RANDOM_generate(&wrong, out, 4));
    EXPECT_EQ(ERR_NULL_POINTER, RANDOM_addEntropyBit(&wrong, 1));
    EXPECT_EQ(ERR_NULL_POINTER, CTRDRBG_generate(&wrong, nullptr, 0, out, 32));
    EXPECT_EQ(ERR_NULL_POINTER, RANDOM_releaseContext(&p));
    EXPECT_EQ(ERR_NULL_POINTER, RANDOM_generate(nullptr, out, 4));
    EXPECT_EQ(ERR_INVALID_ARG, RANDOM_createContext(&ctx, 2));
    EXPECT_EQ(ERR_INVALID_ARG, RANDOM_createContext(&ctx, 4));
    EXPECT_EQ(ERR_NULL_POINTER, RANDOM_createContext(nullptr, 0));
}

TEST(RandomContexts, EntropyBitsReseedEvery384AndFlipXkey) {
    RandomContext* ctx = nullptr;
    ASSERT_EQ(OK, RANDOM_createContext(&ctx, RANDOM_MODE_CTRDRBG));
    CtrDrbgContext* d = drbg(ctx);
    for (int i = 0; i < 383; ++i) ASSERT_EQ(OK, RANDOM_addEntropyBit(ctx, 1));
    EXPECT_EQ(383u, d->entropyBits);
    uint8_t key[32], v[16];
    ASSERT_EQ(OK, RANDOM_generate(ctx, v, 0)); // counts, and updates the state
    std::memcpy(key, d->key, 32);
    std::memcpy(v, d->V, 16);
    ASSERT_EQ(OK, RANDOM_addEntropyBit(ctx, 1));
    EXPECT_EQ(0u, d->entropyBits);
    EXPECT_EQ(1u, d->reseedLow);
    EXPECT_NE(0, std::memcmp(key, d->key, 32));
    EXPECT_NE(0, std::memcmp(v, d->V, 16));
    ASSERT_EQ(OK, RANDOM_releaseContext(&ctx));

    // FIPS 186: entropy bits flip XKEY bits from position 1 on, modulo 8 b.
    ASSERT_EQ(OK, RANDOM_createContext(&ctx, RANDOM_MODE_FIPS186));
    Fips186Context* f = reinterpret_cast<Fips186Context*>(ctx);
    f->b = 20;
    std::memset(f->xkey, 0, 20);
    f->bitPosition = 0;
    for (uint32_t bit : {1, 0, 1}) ASSERT_EQ(OK, RANDOM_addEntropyBit(ctx, bit));
    EXPECT_EQ(0x0A, f->xkey[0]);
    f->bitPosition = 159;
    ASSERT_EQ(OK, RANDOM_addEntropyBit(ctx, 1));
    EXPECT_EQ(0x0B, f->xkey[0]);
    uint8_t k1[20], k2[20];
    ASSERT_EQ(OK, FIPS186_generateK(ctx, k1, 20));
    ASSERT_EQ(OK, FIPS186_generateK(ctx, k2, 20));
    EXPECT_NE(0, std::memcmp(k1, k2, 20));
    EXPECT_EQ(ERR_NULL_POINTER, CTRDRBG_generate(ctx, nullptr, 0, k1, 8));
    ASSERT_EQ(OK, RANDOM_releaseContext(&ctx));
}

TEST(EntropyDepot, WithdrawalAccountingAndShutdown) {
    ASSERT_EQ(OK, ENTROPY_reinitialize());
    EntropyDepotInfo info;
    ASSERT_EQ(OK, ENTROPY_getInfo(&info));
    EXPECT_EQ(0u, info.initialised);
    uint8_t a[100] = {0}, b[100];
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
    TOOLKIT_shutdown();
    g_toolkitEntropyDevice = "/dev/null"; // a device that ends early
    EXPECT_EQ(ERR_FILE_READ_FAILED, TOOLKIT_initialize());
    g_toolkitEntropyDevice = device;
    TOOLKIT_shutdown();
    EXPECT_EQ(1, TOOLKIT_initialize());
}

std::string tempPath(const char* name) {
    return testing::TempDir() + name;
}

// Sends the debug output to a file for the length of a test and returns what was printed.
struct DebugCapture {
    // One file a process: ctest runs the tests of this suite side by side.
    std::string path =
        tempPath(("platform_test_debug." + std::to_string(getpid()) + ".txt").c_str());
    uint32_t savedMask = g_debugLevelMask;
    DebugCapture() { EXPECT_EQ(OK, DEBUG_CONSOLE_setOutput(path.c_str())); }
    std::string finish() {
        DEBUG_CONSOLE_setOutput(nullptr);
        g_debugLevelMask = savedMask;
        std::string s = readText(path);
        std::remove(path.c_str());
        const std::string tail = "Switching output stream\r\n";
        EXPECT_GE(s.size(), tail.size());
        return s.substr(0, s.size() - tail.size());
    }
};

TEST(PlatformDebug, LevelMaskAndHexDumpLayout) {
    EXPECT_EQ(0x00400002u, g_debugLevelMask);
    DebugCapture cap;
    DEBUG_print(4, "four ");
    DEBUG_print(2, "two ");
    DEBUG_print(0x00400002, "both ");
    DEBUG_print(0x00400006, "three ");
    DEBUG_print(2, nullptr);
    DEBUG_printLine(2, "line");
    DEBUG_printLine(2, nullptr);
    DEBUG_printInt(2, -6001);
    DEBUG_printHexByte(2, 0x1AB);
    DEBUG_printHexByte(2, 5);
    DEBUG_printStatusLine(2, "status = ", -7201);
    DEBUG_printStatusLine(4, "hidden", 1);
    DEBUG_printHexDump(4, reinterpret_cast<const uint8_t*>("x"), 1);
    uint8_t data[17];
    for (int i = 0; i < 17; ++i) data[i] = static_cast<uint8_t>(0xF0 + i * 3);
    DEBUG_printHexDump(2, data, 17);
    DEBUG_printHexDump(2, data, 0);
    EXPECT_EQ("two both line\r\n\r\n-6001ab05status = -7201\r\nlength = 17\r\n"
              "f0 f3 f6 f9 fc ff 02 05 08 0b 0e 11 14 17 1a 1d \r\n"
              "20 \r\n"
              "length = 0\r\n",
              cap.finish());
}

TEST(PlatformDebug, SetOutputFailure) {
    std::string out = captureStdout([] {
        EXPECT_EQ(ERR_DEBUG_OPEN_FAILED, DEBUG_CONSOLE_setOutput("/nonexistent-dir/debug.txt"));
        DEBUG_print(2, "after");
    });
    const std::string head = "Switching output stream\r\nDEBUG_CONSOLE_setOutput[";
    ASSERT_EQ(head, out.substr(0, head.size()));
    EXPECT_NE(std::string::npos,
              out.find("]: Failed to open /nonexistent-dir/debug.txt for writing\r\nafter"));

    // Without bit 0x00400000 the failure is silent.
    const uint32_t mask = g_debugLevelMask;
    g_debugLevelMask = 2;
    testing::internal::CaptureStdout();
    EXPECT_EQ(ERR_DEBUG_OPEN_FAILED, DEBUG_CONSOLE_setOutput("/nonexistent-dir/debug.txt"));
    EXPECT_EQ("Switching output stream\r\n", testing::internal::GetCapturedStdout());
    g_debugLevelMask = mask;
}

TEST(PlatformFiles, ReadWholeFile) {
    const std::string path = tempPath("platform_test_file.bin");
    uint8_t* buffer = reinterpret_cast<uint8_t*>(1);
    uint32_t length = 5;

    ASSERT_EQ(OK, PLATFORM_writeFile(path.c_str(), nullptr, 0));
    EXPECT_EQ(ERR_FILE_OPEN_FAILED, PLATFORM_readFile(path.c_str(), &buffer, &length));
    EXPECT_EQ(nullptr, buffer);
    EXPECT_EQ(0u, length);

    uint8_t data[300];
    for (int i = 0; i < 300; ++i) data[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(OK, PLATFORM_writeFile(path.c_str(), data, 300));
    ASSERT_EQ(OK, PLATFORM_readFile(path.c_str(), &buffer, &length));
    ASSERT_NE(nullptr, buffer);
    EXPECT_EQ(300u, length);
    EXPECT_EQ(0, std::memcmp(buffer, data, 300));
    EXPECT_EQ(0, buffer[300]); // the extra byte ends the data as a string
    PLATFORM_free(buffer);
    std::remove(path.c_str());

    EXPECT_EQ(ERR_FILE_OPEN_FAILED, PLATFORM_readFile("/nonexistent-dir/x", &buffer, &length));
    EXPECT_EQ(ERR_FILE_OPEN_FAILED,
              PLATFORM_readFile(testing::TempDir().c_str(), &buffer, &length));
    EXPECT_EQ(ERR_FILE_OPEN_FAILED, PLATFORM_writeFile("/nonexistent-dir/x", data, 1));
    EXPECT_EQ(ERR_NULL_POINTER, PLATFORM_readFile(nullptr, &buffer, &length));
    EXPECT_EQ(ERR_NULL_POINTER, PLATFORM_writeFile(path.c_str(), nullptr, 4));
    // A write that cannot complete (a full device) is reported.
    if (std::FILE* full = std::fopen("/dev/full", "wb")) {
        std::fclose(full);
        EXPECT_EQ(ERR_FILE_WRITE_FAILED, PLATFORM_writeFile("/dev/full", data, 300));
    }
}

TEST(PlatformLocks, CheckedWaitAndRelease) {
    PlatformMutex m = nullptr;
    ASSERT_EQ(OK, PLATFORM_mutexCreate(&m));
    EXPECT_NE(nullptr, m);
    uint32_t held = 0;
    EXPECT_EQ(ERR_MUTEX_RELEASE_NOT_HELD, PLATFORM_mutexReleaseChecked(m, &held));
    EXPECT_EQ(0u, held);
    EXPECT_EQ(OK, PLATFORM_mutexWaitChecked(m, &held));
    EXPECT_EQ(1u, held);
    EXPECT_EQ(ERR_MUTEX_WAIT_HELD, PLATFORM_mutexWaitChecked(m, &held));
    EXPECT_EQ(1u, held);
    EXPECT_EQ(OK, PLATFORM_mutexReleaseChecked(m, &held));
    EXPECT_EQ(0u, held);
    EXPECT_EQ(ERR_NULL_POINTER, PLATFORM_mutexWaitChecked(m, nullptr));
    EXPECT_EQ(OK, PLATFORM_mutexWait(m));
    EXPECT_EQ(OK, PLATFORM_mutexRelease(m));
    EXPECT_EQ(OK, PLATFORM_mutexFree(&m));
    EXPECT_EQ(nullptr, m);
}

TEST(PlatformClock, StampsDateAndZeroize) {
    PlatformTimeStamp stamp = {12345};
    EXPECT_EQ(0u, PLATFORM_timeStamp(nullptr, &stamp));
    EXPECT_LT(PLATFORM_timeStamp(&stamp, nullptr), 60000u);
    EXPECT_EQ(0u, PLATFORM_timeStamp(&stamp, nullptr) % 1000u);
    stamp.seconds -= 5; // whole seconds, in milliseconds
    const uint32_t since = PLATFORM_timeStamp(&stamp, nullptr);
    EXPECT_TRUE(since == 5000u || since == 6000u) << since;

    EXPECT_EQ(ERR_NULL_POINTER, PLATFORM_getDate(nullptr));
    uint8_t date[6];
    ASSERT_EQ(OK, PLATFORM_getDate(date));
    EXPECT_GE(date[1], 1);
    EXPECT_LE(date[1], 12);
    EXPECT_GE(date[2], 1);
    EXPECT_LE(date[2], 31);
    EXPECT_LT(date[3], 24);
    EXPECT_LT(date[4], 60);
    EXPECT_LT(date[5], 61);

    uint8_t secret[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    PLATFORM_zeroize(secret, sizeof secret);
    for (uint8_t b : secret) EXPECT_EQ(0, b);
}

} // namespace
