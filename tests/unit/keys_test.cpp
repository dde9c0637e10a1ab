// System key files over the emulated board: creation, rewriting, sizes at
// the limits, empty and foreign files, an unset serial, an unreadable EEPROM.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "board/i2c.h"
#include "security/keys.h"
#include "tests/common/board.h"
#include "tests/common/data.h"

namespace {

using testutil::Bytes;

const uint8_t* serialOf(const char* s) {
    return reinterpret_cast<const uint8_t*>(s);
}

// text encrypted as a key file under a serial (12 bytes).
Bytes encrypted(const Bytes& text, const char* serial) {
    uint32_t n = 0;
    uint8_t* p = imgsign_encrypt(serialOf(serial), 12, text.data(), uint32_t(text.size()), &n);
    EXPECT_NE(p, nullptr);
    Bytes out(p, p + n);
    free(p);
    return out;
}

Bytes builtin(const char* key) {
    return Bytes(key, key + SYSTEM_KEY_COPY_LEN);
}

std::string recordText(const system_key_record& r) {
    return std::string(reinterpret_cast<const char*>(r.text), r.length);
}

class KeysTest : public testing::Test {
  protected:
    testutil::TempBoard board;
    testutil::HostHooks hooks;
    std::string prodFile = board.path("user/production_key.pub.pem");
    std::string devFile = board.path("user/development_key.pub.pem");

    void SetUp() override {
        g_fs_root = board.dir.c_str();
        i2c_open_buses();
    }
    void TearDown() override { g_fs_root = ""; }
};

// The key file cipher against openssl's AES-128-CBC of the same text.
TEST_F(KeysTest, KnownAnswer) {
    Bytes text = testutil::dataFile("keys/production.pub.pem");
    text.push_back(0);
    Bytes expected = testutil::dataFile("keys/production_SN0123456789.bin");
    EXPECT_EQ(encrypted(text, "SN0123456789"), expected);
    uint32_t length = 0;
    uint8_t* plain = imgsign_decrypt(serialOf("SN0123456789"), 12, expected.data(),
                                     uint32_t(expected.size()), &length);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(length, 451u);
    EXPECT_EQ(memcmp(plain, text.data(), 452), 0);
    free(plain);
}

TEST_F(KeysTest, FirstStartCreatesBothFilesSilently) {
    int result = 0;
    EXPECT_EQ(testutil::captureStdout([&] { result = check_system_keys(); }), "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(testutil::readBytes(prodFile),
              encrypted(builtin(builtin_production_key), "SN0123456789"));
    EXPECT_EQ(testutil::readBytes(devFile).size(), 464u);
    testutil::writeBytes(devFile, {});
    EXPECT_EQ(testutil::captureStdout([] { check_system_keys(); }),
              "Updating system development key....\n");
}

TEST_F(KeysTest, KeyFileStates) {
    const Bytes prod = builtin(builtin_production_key), dev = builtin(builtin_development_key);
    Bytes padded496 = prod;
    padded496.resize(496, 0);
    Bytes leadingZero = prod;
    leadingZero[0] = 0;
    const Bytes cut(prod.begin(), prod.begin() + 100);
    const std::string update = "Updating system key....\n";
    const std::string sizeError = "Input data is not AES size correct\n";
    const struct {
        const char* name;
        Bytes file;
        std::string out;
        int result;
        bool keysDeleted = false;
    } rows[] = {
        {"own file", encrypted(prod, "SN0123456789"), "", 1},
        {"496 bytes", encrypted(padded496, "SN0123456789"), "", 1},
        {"another unit's file", encrypted(prod, "SN9999999999"), update, 1},
        {"another key", encrypted(dev, "SN0123456789"), update, 1},
        {"empty file", {}, update, 1},
        {"leading zero byte", encrypted(leadingZero, "SN0123456789"), update, 1},
        {"cut text", encrypted(cut, "SN0123456789"), update, 1},
        {"465 bytes", Bytes(465, 0x5A), sizeError + update, 1, true},
        {"501 bytes", Bytes(501, 0x5A), "ERROR loading key as length too long 501 > 500\n", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        testutil::writeBytes(prodFile, row.file);
        testutil::writeBytes(devFile, encrypted(dev, "SN0123456789"));
        testutil::writeBytes(board.path("user/other.pem"), {'x'});
        system_key_record record;
        int result = -1;
        EXPECT_EQ(testutil::captureStdout(
                      [&] { result = load_system_key(&record, PRODUCTION_KEY_PATH); }),
                  row.out);
        EXPECT_EQ(result, row.result);
        EXPECT_TRUE(std::filesystem::exists(board.path("user/other.pem")));
        EXPECT_EQ(std::filesystem::exists(devFile), !row.keysDeleted);
        if (result == 1) {
            EXPECT_EQ(recordText(record), std::string(builtin_production_key));
            // Rewritten where it was not this unit's own file.
            Bytes expected = row.out.empty() ? row.file : encrypted(prod, "SN0123456789");
            EXPECT_EQ(testutil::readBytes(prodFile), expected);
        }
    }
}

TEST_F(KeysTest, SerialNotSet) {
    testutil::TempBoard unset(65536, "");
    g_fs_root = unset.dir.c_str();
    i2c_open_buses();
    const std::string warning =
        "WARNING: Serial # not set on this unit. Built in keys must be used\n";
    system_key_record record;
    int result = -1;
    EXPECT_EQ(
        testutil::captureStdout([&] { result = load_system_key(&record, DEVELOPMENT_KEY_PATH); }),
        warning);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(recordText(record), std::string(builtin_development_key));
    EXPECT_FALSE(std::filesystem::exists(unset.path("user/development_key.pub.pem")));
    EXPECT_EQ(testutil::captureStdout(
                  [&] { result = load_system_key(&record, "/user/other_key.pub.pem"); }),
              warning);
    EXPECT_EQ(result, 0);
}

// The serial buffer keeps its default: the files stay readable while the EEPROM does.
TEST_F(KeysTest, UnreadableEeprom) {
    board.configure("fault_nak=0:0x52\n");
    i2c_open_buses();
    system_key_record record;
    for (int load = 0; load < 2; ++load) {
        std::string out = testutil::captureStdout(
            [&] { EXPECT_EQ(load_system_key(&record, PRODUCTION_KEY_PATH), 1); });
        EXPECT_EQ(out.find("Updating"), std::string::npos) << out;
    }
    EXPECT_EQ(testutil::readBytes(prodFile),
              encrypted(builtin(builtin_production_key), "plumtreevane"));
}

TEST_F(KeysTest, CannotCreate) {
    std::filesystem::remove_all(board.path("user"));
    system_key_record record;
    int result = -1;
    EXPECT_EQ(
        testutil::captureStdout([&] { result = load_system_key(&record, PRODUCTION_KEY_PATH); }),
        "ERROR creating file /user/production_key.pub.pem\nERROR - unable to find system key\n");
    EXPECT_EQ(result, 0);
}

} // namespace
