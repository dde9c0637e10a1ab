// Base64 decoding and PEM armour removal: the texts of tests/data/crypto/base64.txt, the
// buffers handed back on failure and the decoding table's life.
#include <gtest/gtest.h>

#include <string>

#include "crypto/asn1/keys.h"
#include "crypto/platform/platform.h"
#include "tests/common/rows.h"

namespace {

using namespace testutil;

struct Decoded {
    MSTATUS status = 0;
    Bytes bytes;
    bool buffer = false;
};

Decoded decode(bool pem, const std::string& text) {
    Decoded d;
    uint8_t* out = nullptr;
    uint32_t outLength = 0xDEAD;
    d.status = (pem ? PEM_decode : BASE64_decode)(reinterpret_cast<const uint8_t*>(text.data()),
                                                  uint32_t(text.size()), &out, &outLength);
    d.buffer = out != nullptr;
    if (d.status == OK) d.bytes.assign(out, out + outLength);
    if (out != nullptr) PLATFORM_free(out);
    return d;
}

class Base64 : public testing::TestWithParam<Row> {
  protected:
    void SetUp() override { ASSERT_EQ(OK, BASE64_initTable()); }
};

TEST_P(Base64, Row) {
    const Row& r = GetParam();
    SCOPED_TRACE(r.where);
    const Decoded d = decode(r[0] == "pem", r.text(2));
    EXPECT_EQ(r.num(3), d.status);
    EXPECT_BYTES(r.hex(4), d.bytes);
    EXPECT_FALSE(r[0] == "pem" && d.status != OK && d.buffer); // nothing handed back
}
INSTANTIATE_TEST_SUITE_P(Table, Base64, testing::ValuesIn(rows("crypto/base64.txt")), rowName);

TEST(Base64Table, BuffersArgumentsAndMissingTable) {
    ASSERT_EQ(OK, BASE64_initTable());
    // A buffer handed back by a decode that failed part-way is the caller's to release.
    EXPECT_TRUE(decode(false, "TWFuT*==").buffer);
    EXPECT_FALSE(decode(false, "TWF").buffer);
    uint8_t* out = nullptr;
    uint32_t len = 0;
    const uint8_t text[] = "TWFu";
    EXPECT_EQ(ERR_NULL_POINTER, BASE64_decode(nullptr, 4, &out, &len));
    EXPECT_EQ(ERR_NULL_POINTER, BASE64_decode(text, 4, nullptr, &len));
    EXPECT_EQ(ERR_NULL_POINTER, BASE64_decode(text, 4, &out, nullptr));
    EXPECT_EQ(ERR_NULL_POINTER, PEM_decode(nullptr, 4, &out, &len));
    ASSERT_EQ(OK, BASE64_freeTable());
    EXPECT_EQ(ERR_NULL_POINTER, BASE64_freeTable());
    EXPECT_EQ(ERR_BASE64_NO_TABLE, BASE64_decode(text, 4, &out, &len));
    EXPECT_EQ(nullptr, out);
    ASSERT_EQ(OK, BASE64_initTable());
    ASSERT_EQ(OK, BASE64_initTable()); // a second start-up keeps one table
    EXPECT_EQ((Bytes{'M', 'a', 'n'}), decode(false, "TWFu").bytes);
}

} // namespace
