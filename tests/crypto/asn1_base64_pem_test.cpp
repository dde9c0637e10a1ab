// Base64 decoding and PEM armour removal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/asn1/keys.h"
#include "crypto/platform/platform.h"

namespace {

struct Decoded {
    MSTATUS status = 0;
    std::string bytes;
    bool buffer = false;
};

using Decoder = MSTATUS (*)(const uint8_t*, uint32_t, uint8_t**, uint32_t*);

Decoded decode(Decoder decoder, const std::string& text) {
    Decoded d;
    uint8_t* out = nullptr;
    uint32_t outLength = 0xDEAD;
    d.status = decoder(reinterpret_cast<const uint8_t*>(text.data()),
                       static_cast<uint32_t>(text.size()), &out, &outLength);
    d.buffer = out != nullptr;
    if (d.status == OK) d.bytes.assign(reinterpret_cast<char*>(out), outLength);
    if (out != nullptr) PLATFORM_free(out);
    return d;
}
Decoded b64(const std::string& text) {
    return decode(BASE64_decode, text);
}
Decoded pem(const std::string& text) {
    return decode(PEM_decode, text);
}

class Base64 : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(BASE64_initTable(), OK); }
};

} // namespace

TEST_F(Base64, FullGroupsAndPadding) {
    EXPECT_EQ(b64("TWFu").bytes, "Man");
    EXPECT_EQ(b64("TWFuTWFu").bytes, "ManMan");
    EXPECT_EQ(b64("TWE=").bytes, "Ma");
    EXPECT_EQ(b64("TQ==").bytes, "M");
    EXPECT_EQ(b64("TWFuTQ==").bytes, "ManM");
    EXPECT_EQ(b64("+/+/").bytes, "\xfb\xff\xbf");
    EXPECT_EQ(b64("AAAA").bytes, std::string(3, '\0'));
    // The fourth character of a group stopped at its third is not examined.
    EXPECT_EQ(b64("TQ=A").bytes, "M");
}

TEST_F(Base64, BadInputFails) {
    for (const char* text : {"", "T", "TWF", "TWFuT", "T===", "====", "=WFu", "TQ==TWFu",
                             "TWE=TWFu", "TW*u", "TWF*", "TWFu\n", "TW u", "TWF-"}) {
        EXPECT_EQ(b64(text).status, ERR_BASE64_BAD_INPUT) << '"' << text << '"';
    }
    // A buffer handed back by a decode that failed part-way is the caller's to release.
    EXPECT_TRUE(b64("TWFuT*==").buffer);
    EXPECT_FALSE(b64("TWF").buffer);
}

TEST_F(Base64, NullArgumentsAndMissingTable) {
    uint8_t* out = nullptr;
    uint32_t len = 0;
    const uint8_t text[] = "TWFu";
    EXPECT_EQ(BASE64_decode(nullptr, 4, &out, &len), ERR_NULL_POINTER);
    EXPECT_EQ(BASE64_decode(text, 4, nullptr, &len), ERR_NULL_POINTER);
    EXPECT_EQ(BASE64_decode(text, 4, &out, nullptr), ERR_NULL_POINTER);
    ASSERT_EQ(BASE64_freeTable(), OK);
    EXPECT_EQ(BASE64_freeTable(), ERR_NULL_POINTER);
    EXPECT_EQ(BASE64_decode(text, 4, &out, &len), ERR_BASE64_NO_TABLE);
    EXPECT_EQ(out, nullptr);
    ASSERT_EQ(BASE64_initTable(), OK);
    ASSERT_EQ(BASE64_initTable(), OK); // a second start-up keeps one table
    EXPECT_EQ(b64("TWFu").bytes, "Man");
}

TEST_F(Base64, EveryCharacterOfTheAlphabet) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const Decoded d = b64(alphabet);
    ASSERT_EQ(d.status, OK);
    ASSERT_EQ(d.bytes.size(), 48u);
    // Bit string 000000 000001 ... 111111
    uint32_t bit = 0;
    for (uint32_t v = 0; v < 64; ++v) {
        for (int b = 5; b >= 0; --b, ++bit) {
            const int got = (static_cast<uint8_t>(d.bytes[bit / 8]) >> (7 - bit % 8)) & 1;
            ASSERT_EQ(got, static_cast<int>((v >> b) & 1)) << v;
        }
    }
}

TEST_F(Base64, PemArmourAndBlanks) {
    EXPECT_EQ(pem("-----BEGIN X-----\nTWFu\nTQ==\n-----END X-----\n").bytes, "ManM");
    EXPECT_EQ(pem("-----BEGIN X-----\r\nTWFu\r\nTQ==\r\n-----END X-----\r\n").bytes, "ManM");
    EXPECT_EQ(pem("-----BEGIN X-----\n\n\nTWFu\n\n   \nTQ==\n\n-----END X-----").bytes, "ManM");
    EXPECT_EQ(pem("TWFu TQ==").bytes, "ManM");      // no armour at all
    EXPECT_EQ(pem("  TWFu\n\tTQ==").bytes, "ManM"); // tab after a line end is a blank
    EXPECT_EQ(pem("-anything\rTWFu\r\r-x").bytes, "Man");
    EXPECT_EQ(pem("TW\tFu").status, ERR_BASE64_BAD_INPUT); // tab inside a token is copied
    EXPECT_EQ(pem("-----BEGIN X-----\nTWFuTQ=\n-----END X-----\n").status, ERR_BASE64_BAD_INPUT);
    EXPECT_EQ(pem("-----BEGIN X-----\n-----END X-----\n").status, ERR_BASE64_BAD_INPUT);
    EXPECT_EQ(pem("\n\n\n").status, ERR_BASE64_BAD_INPUT);
    EXPECT_FALSE(pem("TWFuT*==").buffer); // nothing is handed back on failure
    const Decoded empty = pem("");
    EXPECT_EQ(empty.status, ERR_MEM_ALLOC_FAIL);
    EXPECT_FALSE(empty.buffer);
    uint8_t* out = nullptr;
    uint32_t len = 0;
    EXPECT_EQ(PEM_decode(nullptr, 4, &out, &len), ERR_NULL_POINTER);
}
