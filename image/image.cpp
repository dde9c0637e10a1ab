// Image headers, header records, the image CRC and the read-side operations.
#include "image/image.h"

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

#include "board/mtd.h"
#include "board/sys.h"

const char* g_image_dir = nullptr;

// ---------------------------------------------------------------------------
// Image CRC: reflected CRC-32, polynomial 0xEDB88320, no final complement.
// Slicing-by-16: sixteen 256-entry tables built at compile time. Words are
// assembled byte by byte in little-endian order, so the result does not depend
// on the host byte order (on a big-endian host the compiler uses
// byte-reversed loads).

namespace {

constexpr uint32_t CRC_POLY = 0xEDB88320u;
constexpr int CRC_SLICES = 16;

struct crc_tables_t {
    uint32_t t[CRC_SLICES][256];
};

constexpr crc_tables_t make_crc_tables() {
    crc_tables_t tables{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ CRC_POLY : c >> 1;
        tables.t[0][n] = c;
    }
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = tables.t[0][n];
        for (int s = 1; s < CRC_SLICES; ++s) {
            c = tables.t[0][c & 0xFF] ^ (c >> 8);
            tables.t[s][n] = c;
        }
    }
    return tables;
}

constexpr crc_tables_t crc_tables = make_crc_tables();

inline uint32_t load_le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// One 8-byte step of slicing-by-8 on one lane.
inline uint32_t crc_step8(uint32_t crc, const uint8_t* p) {
    const auto& t = crc_tables.t;
    uint32_t a = load_le32(p) ^ crc;
    uint32_t b = load_le32(p + 4);
    return t[7][a & 0xFF] ^ t[6][(a >> 8) & 0xFF] ^ t[5][(a >> 16) & 0xFF] ^ t[4][a >> 24] ^
           t[3][b & 0xFF] ^ t[2][(b >> 8) & 0xFF] ^ t[1][(b >> 16) & 0xFF] ^ t[0][b >> 24];
}

// Single-lane slicing-by-16 with a byte-wise tail.
uint32_t crc_one_lane(uint32_t crc, const uint8_t* p, size_t count) {
    const auto& t = crc_tables.t;
    while (count >= 16) {
        uint32_t a = load_le32(p) ^ crc;
        uint32_t b = load_le32(p + 4);
        uint32_t c = load_le32(p + 8);
        uint32_t d = load_le32(p + 12);
        crc = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
              t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
              t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^ t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24] ^
              t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^ t[1][(d >> 16) & 0xFF] ^ t[0][d >> 24];
        p += 16;
        count -= 16;
    }
    while (count--) crc = t[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return crc;
}

// Polynomial arithmetic modulo the CRC polynomial, in the reflected form in
// which bit 31 is x^0: a * b mod P.
constexpr uint32_t crc_mult_mod(uint32_t a, uint32_t b) {
    uint32_t product = 0;
    for (uint32_t m = 0x80000000u; m != 0 && a != 0; m >>= 1) {
        if (a & m) {
            product ^= b;
            a &= ~m;
        }
        b = (b & 1) ? (b >> 1) ^ CRC_POLY : b >> 1;
    }
    return product;
}

// x^n mod P.
constexpr uint32_t crc_x_power(uint64_t n) {
    uint32_t result = 0x80000000u; // x^0
    uint32_t square = 0x40000000u; // x^1
    while (n) {
        if (n & 1) result = crc_mult_mod(result, square);
        square = crc_mult_mod(square, square);
        n >>= 1;
    }
    return result;
}

// x^(8 * bytes) mod P: what running the register over `bytes` zero bytes multiplies it by.
uint32_t crc_zeros_operator(uint64_t bytes) {
    return crc_x_power(8 * bytes);
}

constexpr int CRC_LANES = 4;
constexpr size_t CRC_LANE_MIN = 4096; // below this one lane is faster

} // namespace

// Long buffers run as CRC_LANES independent lanes over consecutive parts, so
// that the table look-ups of the lanes overlap; the lane results are then
// joined: CRC(c, A|B) = CRC(c, A) * x^(8|B|) xor CRC(0, B).
uint32_t image_crc32(const void* data, size_t count, uint32_t start) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    if (!p) return start;
    if (count < CRC_LANES * CRC_LANE_MIN) return crc_one_lane(start, p, count);

    size_t lane_len = (count / CRC_LANES) & ~size_t(7);
    const uint8_t* q0 = p;
    const uint8_t* q1 = q0 + lane_len;
    const uint8_t* q2 = q1 + lane_len;
    const uint8_t* q3 = q2 + lane_len;
    uint32_t c0 = start, c1 = 0, c2 = 0, c3 = 0;
    for (size_t i = 0; i < lane_len; i += 8) {
        c0 = crc_step8(c0, q0 + i);
        c1 = crc_step8(c1, q1 + i);
        c2 = crc_step8(c2, q2 + i);
        c3 = crc_step8(c3, q3 + i);
    }
    uint32_t shift = crc_zeros_operator(lane_len);
    uint32_t crc = crc_mult_mod(c0, shift) ^ c1;
    crc = crc_mult_mod(crc, shift) ^ c2;
    crc = crc_mult_mod(crc, shift) ^ c3;
    size_t done = CRC_LANES * lane_len;
    return crc_one_lane(crc, p + done, count - done);
}

// ---------------------------------------------------------------------------
// Headers and header records

namespace {

// The parse itself, inlined into the boot scan, which runs it once per sub-image.
inline bool parse_prefix(const uint8_t* prefix, image_header_info* info) {
    uint32_t len = image_get_be32(prefix + IMAGE_OFF_LEN);
    uint32_t magic = image_get_be32(prefix + IMAGE_OFF_MAGIC);
    uint64_t hdr_len, data_len;
    uint32_t min_hdr;
    uint8_t layout;
    if (image_get_be32(prefix + 16) == IMAGE_HDR3_MAGIC) {
        layout = 3;
        hdr_len = image_get_be16(prefix + 22);
        min_hdr = IMAGE_LAYOUT3_MIN_HDR;
        // D = len + 16 - H; a header longer than the sub-image has no data.
        uint64_t whole = uint64_t(len) + IMAGE_BASE_HEADER_SIZE;
        data_len = whole >= hdr_len ? whole - hdr_len : 0;
        if (whole < hdr_len) min_hdr = UINT32_MAX; // unusable
    } else if (magic & IMAGE_MAGIC_LAYOUT2) {
        layout = 2;
        hdr_len = image_get_be16(prefix + 18);
        min_hdr = IMAGE_LAYOUT2_MIN_HDR;
        data_len = len;
    } else {
        layout = 1;
        hdr_len = IMAGE_BASE_HEADER_SIZE;
        min_hdr = IMAGE_BASE_HEADER_SIZE;
        data_len = len;
    }
    if (info) {
        info->magic = magic;
        info->layout = layout;
        info->hdr_len = uint32_t(hdr_len);
        info->data_len = uint32_t(data_len);
    }
    return hdr_len >= min_hdr && hdr_len + data_len <= UINT32_MAX;
}

} // namespace

bool image_header_parse(const uint8_t prefix[IMAGE_PREFIX_SIZE], image_header_info* info) {
    return parse_prefix(prefix, info);
}

int image_next_record(const uint8_t* header, uint32_t hdr_len, uint32_t* offset,
                      image_record* record) {
    if (!header || !offset || !record) return IMAGE_RECORD_BAD;
    uint32_t at = *offset;
    if (at >= hdr_len) return IMAGE_RECORD_END;
    if (hdr_len - at < IMAGE_RECORD_HEAD) return IMAGE_RECORD_BAD;
    uint16_t length = image_get_be16(header + at + 2);
    if (length == 0) return IMAGE_RECORD_ZERO;
    if (length < IMAGE_RECORD_HEAD || length > hdr_len - at) return IMAGE_RECORD_BAD;
    record->tag = image_get_be16(header + at);
    record->length = length;
    record->body = header + at + IMAGE_RECORD_HEAD;
    *offset = at + length;
    return IMAGE_RECORD_OK;
}

int image_find_signature(const uint8_t* subimage, size_t size, const uint8_t** signature,
                         uint16_t* signature_len) {
    if (!subimage || size < IMAGE_PREFIX_SIZE) return IMAGE_SIGNATURE_BAD;
    image_header_info info;
    if (!image_header_parse(subimage, &info)) return IMAGE_SIGNATURE_BAD;
    if (info.layout != 3) return IMAGE_SIGNATURE_NONE;
    if (info.hdr_len > size) return IMAGE_SIGNATURE_BAD;
    const uint8_t* found = nullptr;
    uint16_t found_len = 0;
    uint32_t offset = IMAGE_RECORDS_OFFSET;
    image_record rec;
    int step;
    while ((step = image_next_record(subimage, info.hdr_len, &offset, &rec)) == IMAGE_RECORD_OK) {
        if (rec.tag != IMAGE_TAG_SIGNATURE) continue;
        // Body: u16 signature length S, then S bytes, all inside the record.
        if (rec.length < IMAGE_RECORD_HEAD + 2) return IMAGE_SIGNATURE_BAD;
        uint16_t s = image_get_be16(rec.body);
        if (uint32_t(s) + 2 > uint32_t(rec.length) - IMAGE_RECORD_HEAD) return IMAGE_SIGNATURE_BAD;
        found = rec.body + 2;
        found_len = s;
    }
    // A zero-length record ends the walk: what follows it is not looked at.
    if (step == IMAGE_RECORD_BAD) return IMAGE_SIGNATURE_BAD;
    if (!found) return IMAGE_SIGNATURE_NONE;
    if (signature) *signature = found;
    if (signature_len) *signature_len = found_len;
    return IMAGE_SIGNATURE_FOUND;
}

// ---------------------------------------------------------------------------
// Finding the bootable sub-image

namespace {

// Size of the file behind a stream, or -1 when it cannot be told.
int64_t stream_size(FILE* stream) {
    struct stat st;
    if (fstat(fileno(stream), &st) == 0 && S_ISREG(st.st_mode)) return st.st_size;
    off_t here = ftello(stream);
    if (here < 0 || fseeko(stream, 0, SEEK_END) != 0) return -1;
    off_t end = ftello(stream);
    fseeko(stream, here, SEEK_SET);
    return end;
}

// A package may hold millions of tiny sub-images: the scan reads the file
// forward in large pieces and walks the headers inside the piece, seeking only
// to skip data that lies wholly beyond it. The piece starts at 64 KiB (enough
// for the longest header, 65535 bytes), so that an ordinary image costs one
// small read per sub-image, and doubles up to 1 MiB while the headers follow
// one another without a seek.
constexpr size_t SCAN_FIRST_PIECE = size_t(1) << 16;
constexpr size_t SCAN_PIECE = size_t(1) << 20;

struct scan_reader {
    FILE* stream;
    std::vector<uint8_t> buffer;
    uint64_t start = 0; // file position of buffer[0]; the stream stands at start + held
    size_t held = 0;
};

// Brings the bytes from `position` on into the buffer, keeping those already
// held; reads until the buffer is full or the file ends.
void scan_refill(scan_reader& r, uint64_t position) {
    uint64_t end = r.start + r.held;
    if (position >= r.start && position <= end) {
        size_t keep = size_t(end - position);
        memmove(r.buffer.data(), r.buffer.data() + (position - r.start), keep);
        r.held = keep;
        if (end > r.start && r.buffer.size() < SCAN_PIECE) r.buffer.resize(2 * r.buffer.size());
    } else {
        r.held = 0;
        if (fseeko(r.stream, off_t(position), SEEK_SET) != 0) {
            r.start = end; // the stream did not move
            return;
        }
    }
    r.start = position;
    while (r.held < r.buffer.size()) {
        size_t n = fread(r.buffer.data() + r.held, 1, r.buffer.size() - r.held, r.stream);
        if (n == 0) break;
        r.held += n;
    }
}

// Up to `count` bytes (at most SCAN_FIRST_PIECE) at file position `position`, which
// never lies before the bytes asked for last time. *got tells how many are
// there: fewer at the end of the file or on a read error (then the pointer
// may not be used).
inline const uint8_t* scan_bytes(scan_reader& r, uint64_t position, size_t count, size_t* got) {
    if (position < r.start || position + count > r.start + r.held) scan_refill(r, position);
    if (position < r.start || position > r.start + r.held) { // the seek failed
        *got = 0;
        return nullptr;
    }
    uint64_t there = r.start + r.held - position;
    *got = there < count ? size_t(there) : count;
    return r.buffer.data() + (position - r.start);
}

// The type word named by the first usable type record; `type` when none. Only
// the first `present` bytes of the header are there when the file ends inside
// it: records running into the missing part end the walk without a message.
uint32_t type_from_records(const uint8_t* header, uint32_t hdr_len, uint32_t present,
                           uint32_t type) {
    uint32_t limit = present < hdr_len ? present : hdr_len;
    if (!header || limit < IMAGE_RECORDS_OFFSET) return type;
    uint32_t offset = IMAGE_RECORDS_OFFSET;
    image_record rec;
    int step;
    while ((step = image_next_record(header, limit, &offset, &rec)) == IMAGE_RECORD_OK) {
        if (rec.tag != IMAGE_TAG_TYPE || rec.length < IMAGE_RECORD_HEAD + 4) continue;
        uint32_t value = image_get_be32(rec.body);
        if ((value & IMAGE_TYPE_SUFFIX_MASK) == IMAGE_TYPE_SUFFIX) return value;
    }
    bool malformed = step == IMAGE_RECORD_ZERO || step == IMAGE_RECORD_BAD;
    if (step == IMAGE_RECORD_BAD && limit < hdr_len) {
        // Cut by the end of the file: malformed only when its length (or the
        // room left for its head) is wrong for the whole header.
        uint32_t length = IMAGE_RECORD_HEAD;
        if (limit - offset >= IMAGE_RECORD_HEAD) length = image_get_be16(header + offset + 2);
        malformed = length < IMAGE_RECORD_HEAD || length > hdr_len - offset;
    }
    if (malformed) puts("Image header error");
    return type;
}

} // namespace

bool image_find_bootable(FILE* stream, image_bootable* found) {
    if (!stream || !found) return false;
    int64_t file_size = stream_size(stream);
    if (file_size < 0) return false;
    const uint64_t size = uint64_t(file_size);
    scan_reader reader{stream, std::vector<uint8_t>(SCAN_FIRST_PIECE)};
    if (fseeko(stream, 0, SEEK_SET) != 0) return false;
    uint64_t p = 0; // never beyond size
    for (;;) {
        if (size - p < IMAGE_PREFIX_SIZE) return false;
        size_t got;
        const uint8_t* at = scan_bytes(reader, p, IMAGE_PREFIX_SIZE, &got);
        if (got < IMAGE_PREFIX_SIZE) return false;
        image_header_info info;
        if (!parse_prefix(at, &info)) {
            // Lengths that cannot be walked: no further sub-image can be found.
            puts("Image header error");
            return false;
        }
        const uint64_t total = image_total_size(info);
        const uint64_t present = total < size - p ? total : size - p;
        uint32_t type = info.magic;
        if (info.layout == 3) {
            at = scan_bytes(reader, p, info.hdr_len, &got); // may move the buffer
            if (!at) return false;
            type = type_from_records(at, info.hdr_len, uint32_t(got), type);
        }
        type &= ~uint32_t(IMAGE_MAGIC_LAYOUT2);
        if (type == IMAGE_TYPE_APPLICATION || type == IMAGE_TYPE_DIAGNOSTICS) {
            found->type = type;
            found->layout = info.layout;
            found->hdr_len = info.hdr_len;
            found->data_len = info.data_len;
            memcpy(found->base, at, IMAGE_BASE_HEADER_SIZE);
            found->available = uint32_t(present); // total fits in 32 bits
            return fseeko(stream, off_t(p), SEEK_SET) == 0;
        }
        if (present < total) return false; // runs past the end: nothing follows it
        p += total;                        // at least 16: the scan always moves on
    }
}

// ---------------------------------------------------------------------------
// What is installed

bool image_read_installed_header(uint32_t type, uint8_t out[IMAGE_BASE_HEADER_SIZE], int slot) {
    if (!out) return false;
    memset(out, 0, IMAGE_BASE_HEADER_SIZE);
    int handle;
    uint32_t offset = 0;
    switch (type) {
    case IMAGE_TYPE_APPLICATION: {
        char name[32];
        snprintf(name, sizeof name, "/image%d", slot);
        std::string path =
            (g_image_dir ? std::string(g_image_dir) : sys_path("/user/images")) + name;
        FILE* f = fopen(path.c_str(), "rb");
        if (!f) return false;
        size_t got = fread(out, 1, IMAGE_BASE_HEADER_SIZE, f);
        (void)got; // a short slot file leaves zeros
        fclose(f);
        return true;
    }
    case IMAGE_TYPE_BOOTLOADER:
        handle = mtd_uboot;
        offset = 0xF0;
        break;
    case IMAGE_TYPE_KERNEL:
        handle = mtd_kernel;
        break;
    case IMAGE_TYPE_RFS:
        handle = mtd_rfs;
        break;
    case IMAGE_TYPE_DEVICETREE:
        handle = mtd_devicetree;
        break;
    case IMAGE_TYPE_DIAGNOSTICS:
        handle = mtd_rescue;
        break;
    default:
        printf("Unknown image type 0x%x \n", type);
        return false;
    }
    if (mtd_read(out, handle, offset, IMAGE_BASE_HEADER_SIZE) != 0)
        memset(out, 0, IMAGE_BASE_HEADER_SIZE); // a failed read leaves zeros
    return true;
}

bool image_same_version(const uint8_t base[IMAGE_BASE_HEADER_SIZE], int slot) {
    if (!base) return false;
    uint32_t magic = image_get_be32(base + IMAGE_OFF_MAGIC);
    uint8_t installed[IMAGE_BASE_HEADER_SIZE];
    if (!image_read_installed_header(magic, installed, slot)) return false;
    if ((magic & ~uint32_t(IMAGE_MAGIC_LAYOUT2)) == IMAGE_TYPE_BOOTLOADER)
        return memcmp(base + 4, installed + 4, IMAGE_BASE_HEADER_SIZE - 4) == 0;
    return memcmp(base, installed, IMAGE_BASE_HEADER_SIZE) == 0;
}

int show_installed_versions() {
    struct row {
        uint32_t type;
        int slot;
        const char* label;
    };
    static const row rows[] = {
        {IMAGE_TYPE_BOOTLOADER, 0, "Boot image  "},  {IMAGE_TYPE_RFS, 0, "RFS image   "},
        {IMAGE_TYPE_KERNEL, 0, "Kernel image"},      {IMAGE_TYPE_DEVICETREE, 0, "DFT image   "},
        {IMAGE_TYPE_APPLICATION, 1, "OS image 1  "}, {IMAGE_TYPE_APPLICATION, 2, "OS image 2  "},
    };
    puts("Installed images versions: ");
    for (const row& r : rows) {
        uint8_t header[IMAGE_BASE_HEADER_SIZE];
        image_read_installed_header(r.type, header, r.slot);
        const uint8_t* id = header + IMAGE_OFF_ID;
        printf("\t%s: %d.%d.%d.%d\n", r.label, id[0], id[1], id[2], id[3]);
    }
    return 0;
}
