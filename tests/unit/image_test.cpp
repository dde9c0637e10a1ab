// Image headers, header records, the boot scan (rows of tests/data/image) and the image CRC.
// Host only: the CRC is checked against zlib.
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <zlib.h>

#include "image/image.h"
#include "tests/common/image.h"
#include "tests/common/rows.h"

namespace {

using testutil::Bytes;
using testutil::Row;

std::string hex32(uint32_t v) {
    char text[16];
    snprintf(text, sizeof text, "%08x", v);
    return text;
}

uint32_t bitwise_crc(const uint8_t* p, size_t n, uint32_t crc) {
    while (n--) {
        crc ^= *p++;
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

TEST(ImageCrc, CheckValueAndEmpty) {
    EXPECT_EQ(image_crc32("123456789", 9, IMAGE_CRC_START), 0x340BC6D9u);
    EXPECT_EQ(image_crc32("123456789", 0, IMAGE_CRC_START), 0xFFFFFFFFu);
    EXPECT_EQ(image_crc32(nullptr, 0, IMAGE_CRC_START), 0xFFFFFFFFu);
}

// Every length up to 300 on several alignments, then lengths around the multi-lane threshold
// of the tables; and chained across calls with any start.
TEST(ImageCrc, MatchesBitwiseDefinitionAndZlibAtEveryLengthAndAlignment) {
    std::mt19937 rng(7);
    Bytes data(70000 + 64);
    for (auto& b : data) b = uint8_t(rng());
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    for (size_t n : {1023u, 1024u, 16383u, 16384u, 16385u, 16391u, 16392u, 40000u, 65536u, 70001u})
        lengths.push_back(n);
    for (size_t n : lengths) {
        for (size_t align = 0; align < (n <= 300 ? 5u : 2u); ++align) {
            const uint8_t* p = data.data() + align;
            uint32_t expect = bitwise_crc(p, n, 0xFFFFFFFFu);
            ASSERT_EQ(image_crc32(p, n, IMAGE_CRC_START), expect) << n << " " << align;
            ASSERT_EQ(expect, ~uint32_t(crc32(0, p, uInt(n)))) << n;
        }
    }
    const uint32_t whole = image_crc32(data.data(), 50000, IMAGE_CRC_START);
    for (size_t cut : {0u, 1u, 17u, 20000u, 33333u, 49999u}) {
        uint32_t a = image_crc32(data.data(), cut, IMAGE_CRC_START);
        EXPECT_EQ(image_crc32(data.data() + cut, 50000 - cut, a), whole) << cut;
    }
    for (uint32_t start : {0u, 0x12345678u})
        EXPECT_EQ(image_crc32(data.data(), 50000, start), bitwise_crc(data.data(), 50000, start));
}

class ImageRows : public testing::TestWithParam<Row> {};

TEST_P(ImageRows, Holds) {
    const Row& r = GetParam();
    SCOPED_TRACE(r.where);
    const Bytes img = testutil::imageRecipe(r[1]);
    image_header_info info{};
    if (r[0] == "parse") {
        // The parser reads a whole prefix; a shorter image is what a reader zero-fills.
        Bytes prefix = img;
        if (prefix.size() < IMAGE_PREFIX_SIZE) prefix.resize(IMAGE_PREFIX_SIZE, 0);
        const bool ok = image_header_parse(prefix.data(), &info);
        ASSERT_EQ(r.num(2), ok);
        if (ok) {
            EXPECT_EQ(r[3] + " " + r[4] + " " + r[5] + " " + r[6] + " " + r[7],
                      std::to_string(info.layout) + " 0x" + hex32(info.magic) + " " +
                          std::to_string(info.hdr_len) + " " + std::to_string(info.data_len) + " " +
                          std::to_string(image_total_size(info)));
        }
    } else if (r[0] == "walk") {
        uint32_t h = r[2] == "hdr" ? (image_header_parse(img.data(), &info), info.hdr_len)
                                   : uint32_t(r.num(2));
        uint32_t off = IMAGE_RECORDS_OFFSET;
        std::string got, want = r.rest(3);
        for (int step = IMAGE_RECORD_OK; step == IMAGE_RECORD_OK;) {
            const uint32_t before = off;
            image_record rec{};
            step = image_next_record(img.data(), h, &off, &rec);
            got += got.empty() ? "" : " ";
            if (step == IMAGE_RECORD_OK)
                got += std::to_string(rec.tag) + "/" + std::to_string(rec.length) + "/" +
                       testutil::hexOf(rec.body, rec.length - 4u);
            else
                got += step == IMAGE_RECORD_END    ? "end"
                       : step == IMAGE_RECORD_ZERO ? "zero@" + std::to_string(off)
                                                   : "bad@" + std::to_string(off);
            if (step != IMAGE_RECORD_OK) {
                EXPECT_EQ(before, off);
            }
        }
        EXPECT_EQ(want, got);
    } else if (r[0] == "sig") {
        const uint8_t* sig = nullptr;
        uint16_t len = 0;
        const size_t size = r[2] == "all" ? img.size() : size_t(r.num(2));
        const int result = image_find_signature(img.data(), size, &sig, &len);
        EXPECT_EQ(r.num(3), result);
        std::string got = result == IMAGE_SIGNATURE_FOUND
                              ? testutil::hexOf(sig, 1) + " " + std::to_string(len) + " " +
                                    std::to_string(sig - img.data())
                              : "";
        EXPECT_EQ(r.rest(4) == "-" ? "" : r.rest(4), got);
    } else if (r[0] == "scan") {
        Bytes file = img;
        if (r[2] != "all") file.resize(size_t(r.num(2)));
        FILE* f = tmpfile();
        ASSERT_NE(nullptr, f);
        if (!file.empty()) fwrite(file.data(), 1, file.size(), f);
        rewind(f);
        image_bootable found{};
        bool ok = false;
        std::string out = testutil::captureStdout([&] { ok = image_find_bootable(f, &found); });
        const long pos = ftell(f);
        fclose(f);
        std::string got = "-";
        if (ok) {
            got = std::to_string(pos) + "/" + hex32(found.type) + "/" +
                  std::to_string(found.layout) + "/" + std::to_string(found.hdr_len) + "/" +
                  std::to_string(found.data_len) + "/" + std::to_string(found.available);
            EXPECT_EQ(0, memcmp(found.base, file.data() + pos, 16));
        }
        EXPECT_EQ(r[3], got);
        EXPECT_EQ(r.rest(4), out);
    } else {
        FAIL() << "unknown row";
    }
}
INSTANTIATE_TEST_SUITE_P(Headers, ImageRows, testing::ValuesIn(testutil::rows("image/headers.txt")),
                         testutil::rowName);
INSTANTIATE_TEST_SUITE_P(Scan, ImageRows, testing::ValuesIn(testutil::rows("image/scan.txt")),
                         testutil::rowName);

} // namespace
