// The image CRC against its bitwise definition and zlib (host only: the target has no zlib).
#include <gtest/gtest.h>
#include <random>
#include <zlib.h>

#include "image/image.h"
#include "tests/common/bytes.h"

namespace {

using testutil::Bytes;

uint32_t bitwise_crc(const uint8_t* p, size_t n, uint32_t crc) {
    while (n--) {
        crc ^= *p++;
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

// The check value; every length up to 300 on several alignments, then lengths around the
// multi-lane threshold of the tables; and chained across calls with any start.
TEST(ImageCrc, MatchesBitwiseDefinitionAndZlibAtEveryLengthAndAlignment) {
    EXPECT_EQ(image_crc32("123456789", 9, IMAGE_CRC_START), 0x340BC6D9u);
    EXPECT_EQ(image_crc32(nullptr, 0, IMAGE_CRC_START), 0xFFFFFFFFu);
    std::mt19937 rng(7);
    Bytes data(70000 + 64);
    for (auto& b : data) b = uint8_t(rng());
    std::vector<size_t> lengths{1023, 1024, 16383, 16384, 16385, 16391, 16392, 40000, 65536, 70001};
    for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    for (size_t n : lengths) {
        for (size_t align = 0; align < (n <= 300 ? 5u : 2u); ++align) {
            const uint8_t* p = data.data() + align;
            uint32_t expect = bitwise_crc(p, n, 0xFFFFFFFFu);
            ASSERT_EQ(image_crc32(p, n, IMAGE_CRC_START), expect) << n << " " << align;
            ASSERT_EQ(expect, ~uint32_t(crc32(0, p, uInt(n)))) << n;
        }
    }
    const uint32_t whole = image_crc32(data.data(), 50000, IMAGE_CRC_START);
    for (size_t cut : {0u, 1u, 17u, 20000u, 33333u, 49999u})
        EXPECT_EQ(image_crc32(data.data() + cut, 50000 - cut,
                              image_crc32(data.data(), cut, IMAGE_CRC_START)),
                  whole)
            << cut;
    for (uint32_t start : {0u, 0x12345678u})
        EXPECT_EQ(image_crc32(data.data(), 50000, start), bitwise_crc(data.data(), 50000, start));
}

} // namespace
