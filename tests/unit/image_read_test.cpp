// Image headers, header records, the boot scan and the fused read of the boot path (its CRC
// and digest equal the separate passes), as rows of tests/data/image.
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>

#include "crypto/hash/hash.h"
#include "image/image.h"
#include "image/image_read.h"
#include "tests/common/image.h"
#include "tests/common/rows.h"

namespace {

using testutil::Bytes;
using testutil::Row;

std::string hex32(uint32_t v) {
    uint8_t b[4];
    return image_put_be32(b, v), testutil::hexOf(b, 4);
}

void checkRead(const Row& r) {
    const size_t file = size_t(r.num(2)), total = size_t(r.num(3)), hdr = size_t(r.num(4));
    const long offset = long(r.num(5));
    std::mt19937 rng(7);
    Bytes content(size_t(offset) + file + 1); // one spare byte: never empty
    for (auto& b : content) b = uint8_t(rng());
    FILE* f = r[1] == "null" ? nullptr : tmpfile(); // no stream: nothing read
    if (f) {
        ASSERT_EQ(content.size() - 1, fwrite(content.data(), 1, content.size() - 1, f));
        ASSERT_EQ(0, fseek(f, offset, SEEK_SET));
    }
    Bytes buffer(total + 64, 0xA5); // a guard behind the bytes asked for
    image_read_result res;
    image_read_checked(f, buffer.data(), total, uint32_t(hdr), &res);
    image_read_checked(f, buffer.data(), 0, 0, nullptr); // no result: no crash
    if (f) fclose(f);

    const size_t n = f ? std::min(file, total) : 0;
    Bytes want(content.begin() + offset, content.begin() + offset + long(n));
    want.resize(buffer.size(), 0xA5);
    EXPECT_EQ(n, res.bytes_read);
    EXPECT_BYTES(want, buffer);
    const uint8_t* data = content.data() + offset;
    EXPECT_EQ(n > 4 ? image_crc32(data + 4, n - 4, IMAGE_CRC_START) : IMAGE_CRC_START, res.crc);
    uint8_t digest[64] = {};
    uint32_t length = 0;
    const bool digested = f && hdr <= n;
    if (digested) {
        ASSERT_EQ(OK,
                  HASH_computeDigest(data + hdr, uint32_t(n - hdr), digest, &length, HASH_SHA256));
    }
    EXPECT_EQ(digested, res.digest_ok);
    EXPECT_BYTES(Bytes(digest, digest + 32), Bytes(res.digest, res.digest + 32));
}

class ImageRows : public testing::TestWithParam<Row> {};

TEST_P(ImageRows, Holds) {
    const Row& r = GetParam();
    SCOPED_TRACE(r.where);
    if (r[0] == "read") return checkRead(r);
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
            if (step == IMAGE_RECORD_OK) {
                got += std::to_string(rec.tag) + "/" + std::to_string(rec.length) + "/" +
                       testutil::hexOf(rec.body, rec.length - 4u);
            } else {
                got += step == IMAGE_RECORD_END    ? "end"
                       : step == IMAGE_RECORD_ZERO ? "zero@" + std::to_string(off)
                                                   : "bad@" + std::to_string(off);
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
        if (!file.empty()) fwrite(file.data(), 1, file.size(), f); // no null data to fwrite
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
INSTANTIATE_TEST_SUITE_P(Read, ImageRows, testing::ValuesIn(testutil::rows("image/read.txt")),
                         testutil::rowName);

} // namespace
