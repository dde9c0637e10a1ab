// Image headers, header records, the boot scan and the image CRC.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>
#include <zlib.h>

#include "board/sys.h"
#include "image/image.h"
#include "tests/common/board.h"

namespace {

using bytes = std::vector<uint8_t>;

struct record_spec {
    uint16_t tag;
    bytes body;
    int length_override = -1; // stored record length, when not the true one
};

// Builds a sub-image: layout 1, 2 or 3, with data of data_len bytes.
bytes make_subimage(int layout, uint32_t magic, uint32_t data_len, uint32_t id,
                    const std::vector<record_spec>& records = {}, int hdr_len_override = -1) {
    uint32_t h = 16;
    if (layout == 2) h = 32;
    if (layout == 3) {
        h = 24;
        for (const auto& r : records) h += 4 + uint32_t(r.body.size());
    }
    bytes img(h + data_len, 0);
    for (uint32_t i = 0; i < data_len; ++i) img[h + i] = uint8_t(i * 7 + 3);
    uint32_t len = layout == 3 ? h + data_len - 16 : data_len;
    image_put_be32(&img[4], len);
    image_put_be32(&img[8], layout == 2 ? (magic | IMAGE_MAGIC_LAYOUT2) : magic);
    image_put_be32(&img[12], id);
    uint32_t stored_h = hdr_len_override >= 0 ? uint32_t(hdr_len_override) : h;
    if (layout == 2) {
        image_put_be16(&img[16], 0xBEEF);
        image_put_be16(&img[18], uint16_t(stored_h));
    } else if (layout == 3) {
        image_put_be32(&img[16], IMAGE_HDR3_MAGIC);
        image_put_be16(&img[20], 0x1234);
        image_put_be16(&img[22], uint16_t(stored_h));
        uint32_t at = 24;
        for (const auto& r : records) {
            image_put_be16(&img[at], r.tag);
            uint16_t rl =
                r.length_override >= 0 ? uint16_t(r.length_override) : uint16_t(4 + r.body.size());
            image_put_be16(&img[at + 2], rl);
            std::copy(r.body.begin(), r.body.end(), img.begin() + at + 4);
            at += 4 + uint32_t(r.body.size());
        }
    }
    image_put_be32(&img[0], image_crc32(img.data() + 4, img.size() - 4, IMAGE_CRC_START));
    return img;
}

bytes be32(uint32_t v) {
    bytes b(4);
    image_put_be32(b.data(), v);
    return b;
}

bytes signature_body(const bytes& sig) {
    bytes b(2 + sig.size());
    image_put_be16(b.data(), uint16_t(sig.size()));
    std::copy(sig.begin(), sig.end(), b.begin() + 2);
    return b;
}

// A temporary file holding the given bytes, open for reading.
struct temp_stream {
    FILE* f;
    explicit temp_stream(const bytes& content) {
        f = tmpfile();
        if (!content.empty()) fwrite(content.data(), 1, content.size(), f);
        fflush(f);
        rewind(f);
    }
    ~temp_stream() { fclose(f); }
};

bytes concat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Runs the boot scan with standard output captured.
bool scan(const bytes& file, image_bootable* found, std::string* out = nullptr,
          long* position = nullptr) {
    temp_stream s(file);
    testing::internal::CaptureStdout();
    bool ok = image_find_bootable(s.f, found);
    fflush(stdout);
    std::string text = testing::internal::GetCapturedStdout();
    if (out) *out = text;
    if (position) *position = ftell(s.f);
    return ok;
}

uint32_t bitwise_crc(const uint8_t* p, size_t n, uint32_t crc) {
    while (n--) {
        crc ^= *p++;
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

} // namespace

// --- image CRC --------------------------------------------------------------

TEST(ImageCrc, CheckValueAndEmpty) {
    const char* digits = "123456789";
    EXPECT_EQ(image_crc32(digits, 9, IMAGE_CRC_START), 0x340BC6D9u);
    EXPECT_EQ(image_crc32(digits, 0, IMAGE_CRC_START), 0xFFFFFFFFu);
    EXPECT_EQ(image_crc32(nullptr, 0, IMAGE_CRC_START), 0xFFFFFFFFu);
}

TEST(ImageCrc, MatchesBitwiseDefinitionAndZlibAtEveryLengthAndAlignment) {
    std::mt19937 rng(7);
    bytes data(70000 + 64);
    for (auto& b : data) b = uint8_t(rng());
    // Every length up to 300 on several
    // alignments, then lengths around the multi-lane threshold of the tables.
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
}

TEST(ImageCrc, ChainsAcrossCallsWithAnyStart) {
    bytes data(50000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i ^ (i >> 9));
    uint32_t whole = image_crc32(data.data(), data.size(), IMAGE_CRC_START);
    for (size_t cut : {0u, 1u, 17u, 20000u, 33333u, 49999u}) {
        uint32_t a = image_crc32(data.data(), cut, IMAGE_CRC_START);
        EXPECT_EQ(image_crc32(data.data() + cut, data.size() - cut, a), whole) << cut;
    }
    for (uint32_t start : {0u, 0x12345678u}) {
        EXPECT_EQ(image_crc32(data.data(), data.size(), start),
                  bitwise_crc(data.data(), data.size(), start));
    }
}

// --- header layouts ---------------------------------------------------------

TEST(ImageHeader, ThreeLayouts) {
    image_header_info info;
    bytes l1 = make_subimage(1, IMAGE_TYPE_KERNEL, 100, 0x01020304);
    ASSERT_TRUE(image_header_parse(l1.data(), &info));
    EXPECT_EQ(info.layout, 1);
    EXPECT_EQ(info.magic, IMAGE_TYPE_KERNEL);
    EXPECT_EQ(info.hdr_len, 16u);
    EXPECT_EQ(info.data_len, 100u);

    bytes l2 = make_subimage(2, IMAGE_TYPE_RFS, 50, 0);
    ASSERT_TRUE(image_header_parse(l2.data(), &info));
    EXPECT_EQ(info.layout, 2);
    EXPECT_EQ(info.magic, IMAGE_TYPE_RFS | 0x80000000u); // as stored
    EXPECT_EQ(info.hdr_len, 32u);
    EXPECT_EQ(info.data_len, 50u);

    // HDR3 wins over bit 31; D = len + 16 - H: len 1000, H 300 -> 716 bytes, 1016 in all.
    uint8_t p3[24] = {};
    image_put_be32(p3 + 4, 1000);
    image_put_be32(p3 + 8, IMAGE_TYPE_KERNEL | 0x80000000u);
    image_put_be32(p3 + 16, IMAGE_HDR3_MAGIC);
    image_put_be16(p3 + 22, 300);
    ASSERT_TRUE(image_header_parse(p3, &info));
    EXPECT_EQ(info.layout, 3);
    EXPECT_EQ(info.hdr_len, 300u);
    EXPECT_EQ(info.data_len, 716u);
    EXPECT_EQ(image_total_size(info), 1016u);
}

TEST(ImageHeader, UnusableLengthsAreRefused) {
    // Layout 1 and 2 by the magic word at 8 (bit 31 for layout 2, hdr_len at 18); layout 3 by
    // the HDR3 magic at 16, hdr_len at 22.
    const struct {
        int layout;
        uint32_t len;
        uint16_t hdr_len;
        bool ok;
    } cases[] = {
        {2, 0, 0, false}, // would never advance a scan
        {2, 0, 15, false},
        {2, 0, 16, true},
        {2, 0xFFFFFFFFu, 0xFFFF, false}, // H + D beyond 32 bits
        {1, 0xFFFFFFEFu, 0, true},
        {1, 0xFFFFFFF0u, 0, false}, // 16 + len beyond 32 bits
        {3, 100, 23, false},        // H below 24
        {3, 100, 24, true},
        {3, 7, 24, false}, // len + 16 below H
        {3, 8, 24, true},  // exactly the header, no data
        {3, 0xFFFFFFF0u, 24, false},
    };
    for (const auto& c : cases) {
        uint8_t h[24] = {};
        image_put_be32(h + 4, c.len);
        if (c.layout == 3) {
            image_put_be32(h + 16, IMAGE_HDR3_MAGIC);
            image_put_be16(h + 22, c.hdr_len);
        } else {
            image_put_be32(h + 8, IMAGE_TYPE_KERNEL | (c.layout == 2 ? 0x80000000u : 0));
            image_put_be16(h + 18, c.hdr_len);
        }
        image_header_info info;
        EXPECT_EQ(image_header_parse(h, &info), c.ok)
            << c.layout << " " << c.len << " " << c.hdr_len;
        // The whole sub-image: 16 + len in layouts 1 and 3, H + len in layout 2.
        const uint32_t total = c.layout == 2 ? c.hdr_len + c.len : c.len + 16;
        if (c.ok) {
            EXPECT_EQ(image_total_size(info), total);
        }
    }
}

// --- header records and the signature record --------------------------------

TEST(ImageRecords, WalkStaysInsideTheHeader) {
    bytes img = make_subimage(3, IMAGE_TYPE_KERNEL, 8, 0,
                              {{9, {1, 2}}, {IMAGE_TAG_TYPE, be32(IMAGE_TYPE_RFS)}});
    image_header_info info;
    ASSERT_TRUE(image_header_parse(img.data(), &info));
    uint32_t off = IMAGE_RECORDS_OFFSET;
    image_record rec;
    ASSERT_EQ(image_next_record(img.data(), info.hdr_len, &off, &rec), IMAGE_RECORD_OK);
    EXPECT_EQ(rec.tag, 9);
    EXPECT_EQ(rec.length, 6);
    ASSERT_EQ(image_next_record(img.data(), info.hdr_len, &off, &rec), IMAGE_RECORD_OK);
    EXPECT_EQ(rec.tag, IMAGE_TAG_TYPE);
    EXPECT_EQ(image_get_be32(rec.body), IMAGE_TYPE_RFS);
    EXPECT_EQ(image_next_record(img.data(), info.hdr_len, &off, &rec), IMAGE_RECORD_END);

    // Length 0 ends the walk; lengths 1 to 3 and a record past H are malformed.
    for (int bad_len : {0, 1, 3, 7}) {
        bytes b = make_subimage(3, IMAGE_TYPE_KERNEL, 8, 0, {{9, {1, 2}, bad_len}});
        uint32_t o = IMAGE_RECORDS_OFFSET;
        EXPECT_EQ(image_next_record(b.data(), 30, &o, &rec),
                  bad_len == 0 ? IMAGE_RECORD_ZERO : IMAGE_RECORD_BAD)
            << bad_len;
        EXPECT_EQ(o, uint32_t(IMAGE_RECORDS_OFFSET));
    }
    uint8_t head[26] = {};
    uint32_t o = 24;
    EXPECT_EQ(image_next_record(head, 26, &o, &rec), IMAGE_RECORD_BAD);
}

TEST(ImageRecords, SignatureRecord) {
    const uint8_t* sig = nullptr;
    uint16_t sig_len = 0;
    bytes s1(256, 0xA1), s2(8, 0xB2);
    bytes img = make_subimage(3, IMAGE_TYPE_APPLICATION, 40, 0,
                              {{IMAGE_TAG_SIGNATURE, signature_body(s1)},
                               {IMAGE_TAG_TYPE, be32(IMAGE_TYPE_APPLICATION)},
                               {IMAGE_TAG_SIGNATURE, signature_body(s2)}});
    ASSERT_EQ(image_find_signature(img.data(), img.size(), &sig, &sig_len), IMAGE_SIGNATURE_FOUND);
    EXPECT_EQ(sig_len, 8); // the last one counts
    EXPECT_EQ(sig, img.data() + 24 + 4 + 258 + 8 + 4 + 2);
    EXPECT_EQ(sig[0], 0xB2);

    bytes unsigned3 = make_subimage(3, IMAGE_TYPE_APPLICATION, 40, 0, {{5, {0, 0}}});
    EXPECT_EQ(image_find_signature(unsigned3.data(), unsigned3.size(), &sig, &sig_len),
              IMAGE_SIGNATURE_NONE);
    bytes l2 = make_subimage(2, IMAGE_TYPE_APPLICATION, 40, 0);
    EXPECT_EQ(image_find_signature(l2.data(), l2.size(), &sig, &sig_len), IMAGE_SIGNATURE_NONE);

    // S running past its record, a record with no room for S, and a header longer than
    // the bytes given are all malformed.
    bytes body = signature_body(bytes(10, 1));
    image_put_be16(body.data(), 11);
    bytes past = make_subimage(3, IMAGE_TYPE_APPLICATION, 40, 0, {{IMAGE_TAG_SIGNATURE, body}});
    EXPECT_EQ(image_find_signature(past.data(), past.size(), &sig, &sig_len), IMAGE_SIGNATURE_BAD);
    bytes tiny = make_subimage(3, IMAGE_TYPE_APPLICATION, 40, 0, {{IMAGE_TAG_SIGNATURE, {7}}});
    EXPECT_EQ(image_find_signature(tiny.data(), tiny.size(), &sig, &sig_len), IMAGE_SIGNATURE_BAD);
    EXPECT_EQ(image_find_signature(img.data(), 100, &sig, &sig_len), IMAGE_SIGNATURE_BAD);
}

// A zero-length record ends the walk: signature records before it count, nothing
// behind it is looked at. Lengths 1 to 3 and records past H before it are refused.
TEST(ImageRecords, ZeroLengthRecordEndsTheSignatureWalk) {
    const record_spec sig_a{IMAGE_TAG_SIGNATURE, signature_body(bytes(6, 0xA1))};
    const record_spec sig_b{IMAGE_TAG_SIGNATURE, signature_body(bytes(4, 0xB2))};
    const record_spec zero_pad{0, bytes(12, 0), 0};            // header padded with zero bytes
    const record_spec zero_tagged{IMAGE_TAG_TYPE, be32(0), 0}; // tag set, length 0
    const record_spec short3{9, {0xFF, 0xFF}, 3};
    const record_spec past_h{9, {0xFF, 0xFF}, 0x7000};
    const struct {
        std::vector<record_spec> records;
        int result; // when found, the signature is sig_a's
    } cases[] = {
        {{sig_a, zero_pad}, IMAGE_SIGNATURE_FOUND},
        {{sig_a, zero_tagged, sig_b}, IMAGE_SIGNATURE_FOUND},
        {{sig_a, zero_pad, short3}, IMAGE_SIGNATURE_FOUND},
        {{zero_pad, sig_a}, IMAGE_SIGNATURE_NONE},
        {{sig_a, short3, zero_pad}, IMAGE_SIGNATURE_BAD},
        {{sig_a, past_h}, IMAGE_SIGNATURE_BAD},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        bytes img = make_subimage(3, IMAGE_TYPE_APPLICATION, 40, 0, cases[i].records);
        const uint8_t* sig = nullptr;
        uint16_t sig_len = 0;
        EXPECT_EQ(image_find_signature(img.data(), img.size(), &sig, &sig_len), cases[i].result)
            << i;
        EXPECT_EQ(sig ? sig[0] : 0, cases[i].result == IMAGE_SIGNATURE_FOUND ? 0xA1 : 0) << i;
    }
}

// --- the boot scan ------------------------------------------------------------

TEST(ImageFindBootable, SkipsKernelToApplication) {
    bytes kernel = make_subimage(3, IMAGE_TYPE_KERNEL, 100, 0x03000001,
                                 {{IMAGE_TAG_SIGNATURE, signature_body(bytes(16, 9))}});
    bytes rfs = make_subimage(1, IMAGE_TYPE_RFS, 33, 0x04000001);
    bytes app = make_subimage(2, IMAGE_TYPE_APPLICATION, 77, 0x01020304);
    image_bootable found;
    long pos = -1;
    ASSERT_TRUE(scan(concat({kernel, rfs, app}), &found, nullptr, &pos));
    EXPECT_EQ(pos, long(kernel.size() + rfs.size()));
    EXPECT_EQ(found.type, IMAGE_TYPE_APPLICATION); // bit 31 cleared
    EXPECT_EQ(found.layout, 2);
    EXPECT_EQ(found.hdr_len, 32u);
    EXPECT_EQ(found.data_len, 77u);
    EXPECT_EQ(0, memcmp(found.base, app.data(), 16));

    bytes diags = make_subimage(1, IMAGE_TYPE_DIAGNOSTICS, 10, 0);
    ASSERT_TRUE(scan(concat({rfs, diags}), &found));
    EXPECT_EQ(found.type, IMAGE_TYPE_DIAGNOSTICS);
}

TEST(ImageFindBootable, TypeRecords) {
    image_bootable found;
    // A type record naming the application makes a kernel-magic sub-image bootable.
    bytes typed = make_subimage(3, IMAGE_TYPE_KERNEL, 20, 0,
                                {{IMAGE_TAG_TYPE, be32(IMAGE_TYPE_APPLICATION)}});
    ASSERT_TRUE(scan(typed, &found));
    EXPECT_EQ(found.type, IMAGE_TYPE_APPLICATION);
    EXPECT_EQ(image_get_be32(found.base + 8), IMAGE_TYPE_KERNEL);

    // A value not ending in 0x4C4144 is ignored; the first usable one wins.
    bytes ignored = make_subimage(3, IMAGE_TYPE_KERNEL, 20, 0,
                                  {{IMAGE_TAG_TYPE, be32(0x01000000)},
                                   {IMAGE_TAG_TYPE, be32(IMAGE_TYPE_RFS)},
                                   {IMAGE_TAG_TYPE, be32(IMAGE_TYPE_APPLICATION)}});
    EXPECT_FALSE(scan(ignored, &found));

    // A zero-length record: "Image header error", the scan goes on with magic.
    bytes app_after = make_subimage(1, IMAGE_TYPE_APPLICATION, 8, 0);
    bytes broken = make_subimage(3, IMAGE_TYPE_KERNEL, 20, 0,
                                 {{IMAGE_TAG_TYPE, be32(IMAGE_TYPE_APPLICATION), 0}});
    std::string out;
    long pos;
    ASSERT_TRUE(scan(concat({broken, app_after}), &found, &out, &pos));
    EXPECT_EQ(out, "Image header error\n");
    EXPECT_EQ(pos, long(broken.size()));

    // A record running past H ends the walk the same way.
    bytes past = make_subimage(3, IMAGE_TYPE_KERNEL, 20, 0,
                               {{IMAGE_TAG_TYPE, be32(IMAGE_TYPE_APPLICATION), 0xFFFF}});
    ASSERT_TRUE(scan(concat({past, app_after}), &found, &out));
    EXPECT_EQ(out, "Image header error\n");
    EXPECT_EQ(found.layout, 1);
}

TEST(ImageFindBootable, EndsOfFile) {
    image_bootable found;
    EXPECT_FALSE(scan({}, &found));
    // A layout-1 sub-image smaller than 24 bytes at the end is not seen.
    bytes kernel = make_subimage(1, IMAGE_TYPE_KERNEL, 30, 0);
    bytes small_app = make_subimage(1, IMAGE_TYPE_APPLICATION, 7, 0);
    ASSERT_EQ(small_app.size(), 23u);
    EXPECT_FALSE(scan(concat({kernel, small_app}), &found));
    // With one byte more it is.
    bytes app24 = make_subimage(1, IMAGE_TYPE_APPLICATION, 8, 0);
    EXPECT_TRUE(scan(concat({kernel, app24}), &found));
}

// Every header the parser refuses ends the scan; the length rules themselves are in
// ImageHeader.UnusableLengthsAreRefused.
TEST(ImageFindBootable, HostileHeadersEndTheScan) {
    image_bootable found;
    std::string out;
    bytes app = make_subimage(1, IMAGE_TYPE_APPLICATION, 8, 0);

    // Layout 2 with hdr_len 0 and len 0 would never move on.
    bytes stuck(24, 0);
    image_put_be32(&stuck[8], IMAGE_TYPE_KERNEL | 0x80000000u);
    EXPECT_FALSE(scan(concat({stuck, app}), &found, &out));
    EXPECT_EQ(out, "Image header error\n");

    // Lengths that run past the file, or wrap 32 bits, never allocate or seek wild.
    bytes huge = make_subimage(1, IMAGE_TYPE_KERNEL, 8, 0);
    image_put_be32(&huge[4], 0xFFFFFF00u);
    EXPECT_FALSE(scan(concat({huge, app}), &found));
    bytes wrap2 = make_subimage(2, IMAGE_TYPE_KERNEL, 8, 0);
    image_put_be32(&wrap2[4], 0xFFFFFFF8u);
    EXPECT_FALSE(scan(concat({wrap2, app}), &found));
    bytes big3(24, 0);
    image_put_be32(&big3[4], 0x7FFFFFFFu);
    image_put_be32(&big3[8], IMAGE_TYPE_KERNEL);
    image_put_be32(&big3[16], IMAGE_HDR3_MAGIC);
    image_put_be16(&big3[22], 0xFFFF);
    EXPECT_FALSE(scan(big3, &found, &out));
    EXPECT_EQ(out, ""); // a kernel running past the end: nothing follows it
}

// The file ends inside a sub-image: a bootable one is found with the bytes that
// are there, anything else ends the scan quietly.
TEST(ImageFindBootable, TruncatedSubimages) {
    bytes kernel = make_subimage(1, IMAGE_TYPE_KERNEL, 100, 0);
    bytes app = make_subimage(1, IMAGE_TYPE_APPLICATION, 100, 0);
    // A layout-3 header of 24 + 8 + 6 + 12 bytes: a type record, a tag-9 record, a filler.
    // 0x01000000 does not end in 0x4C4144: a type record the scan ignores.
    auto typed = [](uint32_t type_word, int filler_len) {
        return make_subimage(
            3, IMAGE_TYPE_KERNEL, 50, 0,
            {{IMAGE_TAG_TYPE, be32(type_word)}, {9, {1, 2}}, {9, bytes(8, 0), filler_len}});
    };
    const size_t k = kernel.size();
    const struct {
        bytes file;
        size_t cut; // bytes kept
        bool found;
        long position;
        const char* out;
    } cases[] = {
        {app, 60, true, 0, ""},
        {app, 116, true, 0, ""}, // whole
        {concat({kernel, app}), k + 30, true, long(k), ""},
        {concat({kernel, app}), k - 1, false, 0, ""},
        {concat({kernel, app}), 80, false, 0, ""},
        // The header itself cut: the type record that is there still counts.
        {typed(IMAGE_TYPE_APPLICATION, 12), 40, true, 0, ""},
        {typed(0x01000000, 12), 40, false, 0, ""},
        // A record cut by the end of the file is not an error; one wrong for H is.
        {typed(0x01000000, 12), 44, false, 0, ""},
        {typed(0x01000000, 2), 44, false, 0, "Image header error\n"},
        {typed(0x01000000, 0), 44, false, 0, "Image header error\n"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        bytes file(cases[i].file.begin(), cases[i].file.begin() + cases[i].cut);
        image_bootable found{};
        std::string out;
        long pos = -1;
        ASSERT_EQ(scan(file, &found, &out, &pos), cases[i].found) << i;
        EXPECT_EQ(out, cases[i].out) << i;
        if (cases[i].found) {
            EXPECT_EQ(pos, cases[i].position) << i;
            EXPECT_EQ(found.available, cases[i].cut - size_t(cases[i].position)) << i;
            EXPECT_EQ(found.hdr_len + found.data_len, cases[i].file.size() - cases[i].position);
        }
    }
}

// Headers that straddle the pieces the scan reads, and data skipped beyond a piece.
// The scan reads 64 KiB after a seek and doubles its piece at each refill without one.
TEST(ImageFindBootable, HeadersAcrossReadPieces) {
    const uint32_t kib = 1024;
    bytes a = make_subimage(1, IMAGE_TYPE_KERNEL, 3 * 1024 * kib + 8 - 16, 0); // skipped by a seek
    bytes b = make_subimage(1, IMAGE_TYPE_RFS, 64 * kib - 8 - 16, 0);    // next prefix straddles
    bytes c = make_subimage(1, IMAGE_TYPE_RFS, 128 * kib - 100 - 16, 0); // next header straddles
    std::vector<record_spec> records(40, record_spec{9, bytes(4, 0)});
    records.push_back({IMAGE_TAG_TYPE, be32(IMAGE_TYPE_DIAGNOSTICS)});
    bytes app = make_subimage(3, IMAGE_TYPE_KERNEL, 10, 0, records);
    image_bootable found;
    long pos;
    ASSERT_TRUE(scan(concat({a, b, c, app}), &found, nullptr, &pos));
    EXPECT_EQ(pos, long(a.size() + b.size() + c.size()));
    EXPECT_EQ(found.type, IMAGE_TYPE_DIAGNOSTICS);
    EXPECT_EQ(found.available, app.size());
}

TEST(ImageFindBootable, ManyTinySubimagesTerminate) {
    // 4096 empty kernel headers, then an application: the scan walks them all.
    bytes file;
    bytes empty_kernel = make_subimage(1, IMAGE_TYPE_KERNEL, 0, 0);
    for (int i = 0; i < 4096; ++i)
        file.insert(file.end(), empty_kernel.begin(), empty_kernel.end());
    bytes app = make_subimage(1, IMAGE_TYPE_APPLICATION, 8, 0);
    file.insert(file.end(), app.begin(), app.end());
    image_bootable found;
    long pos;
    ASSERT_TRUE(scan(file, &found, nullptr, &pos));
    EXPECT_EQ(pos, 4096L * 16);
}

// Without a directory of its own the slot files are read under the file root.
TEST(ImageInstalledHeader, SlotFileUnderTheFileRoot) {
    testutil::TempBoard board;
    mkdir(board.path("user/images").c_str(), 0755);
    bytes app = make_subimage(1, IMAGE_TYPE_APPLICATION, 8, 0x01020304);
    FILE* f = fopen(board.path("user/images/image2").c_str(), "wb");
    ASSERT_TRUE(f);
    fwrite(app.data(), 1, app.size(), f);
    fclose(f);
    const char* saved_root = g_fs_root;
    const char* saved_dir = g_image_dir;
    g_fs_root = board.dir.c_str();
    g_image_dir = nullptr;
    uint8_t out[IMAGE_BASE_HEADER_SIZE];
    EXPECT_TRUE(image_read_installed_header(IMAGE_TYPE_APPLICATION, out, 2));
    EXPECT_EQ(0, memcmp(out, app.data(), IMAGE_BASE_HEADER_SIZE));
    EXPECT_FALSE(image_read_installed_header(IMAGE_TYPE_APPLICATION, out, 1));
    g_fs_root = saved_root;
    g_image_dir = saved_dir;
}
