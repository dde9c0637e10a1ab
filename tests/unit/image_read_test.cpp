// The fused read of the boot path: CRC and digest equal the separate passes (rows of
// tests/data/image/read.txt).
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <random>

#include "crypto/hash/hash.h"
#include "image/image.h"
#include "image/image_read.h"
#include "tests/common/rows.h"

namespace {

using testutil::Bytes;

class ImageRead : public testing::TestWithParam<testutil::Row> {};

TEST_P(ImageRead, MatchesSeparateCrcAndDigest) {
    const testutil::Row& r = GetParam();
    SCOPED_TRACE(r.where);
    const size_t file = size_t(r.num(2)), total = size_t(r.num(3)), hdr = size_t(r.num(4));
    const long offset = long(r.num(5));
    std::mt19937 rng(7);
    Bytes content(size_t(offset) + file + 1); // one spare byte: never empty
    for (auto& b : content) b = uint8_t(rng());
    FILE* f = tmpfile();
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(content.size() - 1, fwrite(content.data(), 1, content.size() - 1, f));
    ASSERT_EQ(0, fseek(f, offset, SEEK_SET));
    Bytes buffer(total + 64, 0xA5); // a guard behind the bytes asked for
    image_read_result res;
    image_read_checked(f, buffer.data(), total, uint32_t(hdr), &res);
    fclose(f);

    const size_t n = std::min(file, total);
    Bytes want(content.begin() + offset, content.begin() + offset + long(n));
    want.resize(buffer.size(), 0xA5);
    EXPECT_EQ(n, res.bytes_read);
    EXPECT_BYTES(want, buffer);
    const uint8_t* data = content.data() + offset;
    EXPECT_EQ(n > 4 ? image_crc32(data + 4, n - 4, IMAGE_CRC_START) : IMAGE_CRC_START, res.crc);
    uint8_t digest[64] = {};
    uint32_t length = 0;
    if (hdr <= n) {
        ASSERT_EQ(OK,
                  HASH_computeDigest(data + hdr, uint32_t(n - hdr), digest, &length, HASH_SHA256));
    }
    EXPECT_EQ(hdr <= n, res.digest_ok);
    EXPECT_BYTES(Bytes(digest, digest + 32), Bytes(res.digest, res.digest + 32));
}
INSTANTIATE_TEST_SUITE_P(Rows, ImageRead, testing::ValuesIn(testutil::rows("image/read.txt")),
                         testutil::rowName);

TEST(ImageReadNull, ReadsNothing) {
    image_read_result r;
    uint8_t buffer[8];
    image_read_checked(nullptr, buffer, sizeof buffer, 0, &r);
    EXPECT_EQ(0u, r.bytes_read);
    EXPECT_EQ(IMAGE_CRC_START, r.crc);
    EXPECT_FALSE(r.digest_ok);
    image_read_checked(nullptr, buffer, sizeof buffer, 0, nullptr); // no crash
}

} // namespace
