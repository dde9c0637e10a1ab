// Platform layer: whole files, checked mutexes, clocks, and the debug print
// layer with its level mask and output redirection.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "crypto/platform/platform.h"
#include "tests/common/bytes.h"

namespace {

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
        std::string s = testutil::readText(path);
        std::remove(path.c_str());
        const std::string tail = "Switching output stream\r\n";
        EXPECT_GE(s.size(), tail.size());
        return s.substr(0, s.size() - tail.size());
    }
};

TEST(PlatformDebug, LevelMaskDecidesWhatPrints) {
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
    EXPECT_EQ("two both line\r\n\r\n-6001ab05status = -7201\r\n", cap.finish());
}

TEST(PlatformDebug, HexDumpLayout) {
    DebugCapture cap;
    uint8_t data[17];
    for (int i = 0; i < 17; ++i) data[i] = static_cast<uint8_t>(0xF0 + i * 3);
    DEBUG_printHexDump(2, data, 17);
    DEBUG_printHexDump(2, data, 0);
    EXPECT_EQ("length = 17\r\n"
              "f0 f3 f6 f9 fc ff 02 05 08 0b 0e 11 14 17 1a 1d \r\n"
              "20 \r\n"
              "length = 0\r\n",
              cap.finish());
}

TEST(PlatformDebug, SetOutputFailure) {
    std::string out = testutil::captureStdout([] {
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
