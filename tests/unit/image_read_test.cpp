// The fused read of the boot path: CRC and digest equal the separate passes.
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <vector>

#include "crypto/hash/hash.h"
#include "image/image.h"
#include "image/image_read.h"

namespace {

const size_t kPiece = size_t(256) << 10; // the read's piece size

struct read_case {
    size_t file;  // bytes in the file after the start offset
    size_t total; // bytes asked for
    uint32_t hdr; // H
    long offset;  // stream position at the call
};

TEST(ImageRead, MatchesSeparateCrcAndDigest) {
    const read_case cases[] = {
        {0, 0, 0, 0},
        {3, 3, 0, 0},
        {4, 4, 4, 0},
        {5, 5, 24, 0},       // H beyond the end: no digest
        {1000, 1000, 24, 7}, // one piece, from a later position
        {kPiece, kPiece, 512, 0},
        {kPiece + 1, kPiece + 1, uint32_t(kPiece), 0}, // digest of the last byte only
        {3 * kPiece + 17, 3 * kPiece + 17, uint32_t(kPiece + 10), 0}, // H in the second piece
        {kPiece + 100, 2 * kPiece, 64, 0},                            // truncated file: short read
        {10, 4000, 4, 0}, // truncated inside the first piece
    };
    std::mt19937 rng(7);
    for (const read_case& c : cases) {
        SCOPED_TRACE(testing::Message() << "file " << c.file << " total " << c.total << " H "
                                        << c.hdr << " offset " << c.offset);
        std::vector<uint8_t> content(size_t(c.offset) + c.file + 1); // one spare byte: never empty
        for (auto& b : content) b = uint8_t(rng());
        FILE* f = tmpfile();
        ASSERT_NE(nullptr, f);
        ASSERT_EQ(content.size() - 1, fwrite(content.data(), 1, content.size() - 1, f));
        ASSERT_EQ(0, fseek(f, c.offset, SEEK_SET));

        const size_t guard = 64;
        std::vector<uint8_t> buffer(c.total + guard, 0xA5);
        image_read_result r;
        image_read_checked(f, buffer.data(), c.total, c.hdr, &r);
        fclose(f);

        const uint8_t* data = content.data() + c.offset;
        size_t n = c.file < c.total ? c.file : c.total;
        EXPECT_EQ(n, r.bytes_read);
        EXPECT_EQ(0, memcmp(buffer.data(), data, n));
        for (size_t i = n; i < buffer.size(); ++i) ASSERT_EQ(0xA5, buffer[i]) << i;
        uint32_t crc = n > 4 ? image_crc32(data + 4, n - 4, IMAGE_CRC_START) : IMAGE_CRC_START;
        EXPECT_EQ(crc, r.crc);
        EXPECT_EQ(c.hdr <= n, r.digest_ok);
        if (c.hdr <= n) {
            uint8_t digest[64];
            uint32_t length = 0;
            ASSERT_EQ(OK, HASH_computeDigest(data + c.hdr, uint32_t(n - c.hdr), digest, &length,
                                             HASH_SHA256));
            EXPECT_EQ(0, memcmp(digest, r.digest, 32));
        }
    }
}

TEST(ImageRead, NullArgumentsReadNothing) {
    image_read_result r;
    uint8_t buffer[8];
    image_read_checked(nullptr, buffer, sizeof buffer, 0, &r);
    EXPECT_EQ(0u, r.bytes_read);
    EXPECT_EQ(IMAGE_CRC_START, r.crc);
    EXPECT_FALSE(r.digest_ok);
    image_read_checked(nullptr, buffer, sizeof buffer, 0, nullptr); // no crash
}

} // namespace
