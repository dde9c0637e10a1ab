// Image headers, image type words, the image CRC, and the read-side
// operations on images: classify a header, walk its header records, find the
// bootable sub-image of a file, read and compare what is installed.
//
// Every multi-byte field of a header is big-endian. A header is untrusted
// input: the parser reports whether its lengths make sense, and every walk
// stays inside the bytes it was given.
//
// What callers must check themselves (nothing here can know it):
// - H + D against the bytes really there (file, partition, buffer) before
//   allocating or reading a sub-image: a parsed header only promises that
//   H + D fits in 32 bits. image_find_bootable hands out `available` for this.
// - H against the bytes held before handing a header to the record walk;
//   image_find_signature does it and answers IMAGE_SIGNATURE_BAD when H
//   exceeds `size`.
// - The signature length S against what the key can check (the modulus
//   size): the record only promises that S bytes lie inside the record.
// - The digest covers bytes H .. H + D - 1 of the sub-image; a caller hashing
//   a buffer checks H <= bytes held and uses the bytes it really holds.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Image type words: `magic` with bit 31 cleared. The type number is the top byte.
enum : uint32_t {
    IMAGE_TYPE_APPLICATION = 0x014C4144u,
    IMAGE_TYPE_BOOTLOADER = 0x024C4144u,
    IMAGE_TYPE_KERNEL = 0x034C4144u,
    IMAGE_TYPE_RFS = 0x044C4144u,
    IMAGE_TYPE_DEVICETREE = 0x054C4144u,
    IMAGE_TYPE_DIAGNOSTICS = 0x064C4144u,
    IMAGE_TYPE_KVRT = 0x084C4144u,

    IMAGE_TYPE_SUFFIX = 0x004C4144u, // low 24 bits of every type word
    IMAGE_TYPE_SUFFIX_MASK = 0x00FFFFFFu,
    IMAGE_MAGIC_LAYOUT2 = 0x80000000u, // bit 31 of `magic`
    IMAGE_HDR3_MAGIC = 0x48445233u,    // "HDR3" at offset 16
    IMAGE_CRC_START = 0xFFFFFFFFu,
};

enum : uint32_t {
    IMAGE_BASE_HEADER_SIZE = 16, // crc, len, magic, id
    IMAGE_PREFIX_SIZE = 24,      // what a reader always reads first
    IMAGE_LAYOUT2_MIN_HDR = 16,
    IMAGE_LAYOUT3_MIN_HDR = 24,
    IMAGE_RECORDS_OFFSET = 24, // first header record of a layout-3 header
    IMAGE_RECORD_HEAD = 4,     // tag and record length
    IMAGE_TAG_SIGNATURE = 3,
    IMAGE_TAG_TYPE = 6,
    IMAGE_TAG_MANIFEST = 9,          // manifest signature record (security/manifest.h)
    IMAGE_TAG_SECURITY_COUNTER = 10, // security counter record (security/manifest.h)
};

// Offsets of the base header fields.
enum : uint32_t { IMAGE_OFF_CRC = 0, IMAGE_OFF_LEN = 4, IMAGE_OFF_MAGIC = 8, IMAGE_OFF_ID = 12 };

// Big-endian loads and stores, independent of the host byte order.
inline uint16_t image_get_be16(const uint8_t* p) {
    return uint16_t((p[0] << 8) | p[1]);
}
inline uint32_t image_get_be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline void image_put_be16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline void image_put_be32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// What the first 24 bytes of a sub-image say about it.
struct image_header_info {
    uint32_t magic;    // as stored (bit 31 kept)
    uint8_t layout;    // 1, 2 or 3
    uint32_t hdr_len;  // H: the whole header, base header included
    uint32_t data_len; // D: the data bytes that follow the header
};

// Image CRC: reflected CRC-32 (polynomial 0xEDB88320) over count bytes with
// the register starting at `start`, without final complement. Callers pass
// IMAGE_CRC_START. "123456789" gives 0x340BC6D9.
uint32_t image_crc32(const void* data, size_t count, uint32_t start);

// Classifies the first 24 bytes of a sub-image and fills `info` (always).
// Returns true when the lengths are usable: H is at least the fixed part of
// its layout, a layout-3 `len` + 16 is not below H, and H + D fits in 32 bits.
// A caller must also check H + D against the bytes that are really there.
bool image_header_parse(const uint8_t prefix[IMAGE_PREFIX_SIZE], image_header_info* info);

// The whole size of a sub-image, H + D (meaningful when the parse succeeded).
inline uint64_t image_total_size(const image_header_info& info) {
    return uint64_t(info.hdr_len) + info.data_len;
}

// One header record of a layout-3 header.
struct image_record {
    uint16_t tag;
    uint16_t length;     // whole record, head included
    const uint8_t* body; // length - 4 bytes
};

enum : int {
    IMAGE_RECORD_END = 0,  // the offset reached hdr_len: no more records
    IMAGE_RECORD_OK = 1,   // a record, *offset advanced past it
    IMAGE_RECORD_ZERO = 2, // a record length of 0: the walk ends here, by the format
    IMAGE_RECORD_BAD = -1, // a length of 1 to 3, a record running past hdr_len, or a
                           // record head cut by hdr_len: malformed
};

// Walks the header records of a layout-3 header held whole in `header`
// (hdr_len bytes). Start with *offset = IMAGE_RECORDS_OFFSET. For every result
// but IMAGE_RECORD_OK, *offset and *record are left as they were.
int image_next_record(const uint8_t* header, uint32_t hdr_len, uint32_t* offset,
                      image_record* record);

enum : int { IMAGE_SIGNATURE_BAD = -1, IMAGE_SIGNATURE_NONE = 0, IMAGE_SIGNATURE_FOUND = 1 };

// Finds the signature record of a sub-image held in memory (at least its
// whole header; `size` bytes available). Records are walked up to H or up to
// a zero-length record, whichever comes first; of the signature records seen
// on the way the last one counts (bytes behind a zero-length record, such as
// zero padding of the header, are never looked at).
// IMAGE_SIGNATURE_FOUND: *signature points into `subimage` and *signature_len
// holds S. IMAGE_SIGNATURE_NONE: not layout 3, or no signature record before
// the walk ended: unsigned.
// IMAGE_SIGNATURE_BAD: the header is unusable or longer than `size`, a record
// length is 1 to 3 or runs past H (before any zero-length record), or a
// signature length runs past its record; such an image must be rejected.
// *signature and *signature_len are written only for IMAGE_SIGNATURE_FOUND.
int image_find_signature(const uint8_t* subimage, size_t size, const uint8_t** signature,
                         uint16_t* signature_len);

// The first application or diagnostics sub-image of a file.
struct image_bootable {
    uint32_t type; // bit 31 cleared, possibly taken from a type record
    uint8_t layout;
    uint32_t hdr_len;                     // H
    uint32_t data_len;                    // D
    uint8_t base[IMAGE_BASE_HEADER_SIZE]; // the base header as stored
    // Bytes of this sub-image present in the file from its first byte:
    // min(H + D, file size - start of the sub-image) when the scan ran, so
    // never more than H + D, and possibly less than H. Less than H + D means
    // the file ends inside the sub-image: it is truncated, and its CRC check
    // must fail. A reader allocates and reads `available` bytes, never H + D,
    // treats available < H + D as a CRC failure without computing the CRC (a
    // CRC over the partial bytes could match by chance), and still checks how
    // many bytes its own read returned (the file may shrink meanwhile).
    uint32_t available;
};

// Scans a seekable stream from its start, reading it sequentially in large
// pieces. On success fills `found` and leaves the stream at the first byte of
// that sub-image. A bootable sub-image is found even when the file ends inside
// it (see `available`); a non-bootable one that runs past the end of the file
// ends the scan with false and no message. Header records are walked up to H
// or to a zero-length record, which prints "Image header error" and leaves
// the sub-image's own type word; a record of length 1 to 3 or running past H
// does the same. When the file ends inside a layout-3 header, only the records
// wholly present are walked. A header whose lengths are unusable (H below the
// fixed part of its layout, H + D beyond 32 bits) ends the scan with
// "Image header error" and false.
bool image_find_bootable(FILE* stream, image_bootable* found);

// Directory of the image slot files; null (the default) means "/user/images"
// under g_fs_root (board/sys.h). Tests may point it elsewhere.
extern const char* g_image_dir;

// Fills out[16] with the base header of what is installed for `type` (slot 1
// or 2 matters only for the application type). False without a buffer, when a
// slot file cannot be opened, or for an unknown type word (with a message).
bool image_read_installed_header(uint32_t type, uint8_t out[IMAGE_BASE_HEADER_SIZE], int slot);

// True when the sub-image described by `base` equals what is installed: the
// whole base header, or for the boot loader everything but `crc`.
bool image_same_version(const uint8_t base[IMAGE_BASE_HEADER_SIZE], int slot);

// Prints the versions of the installed images. Returns 0.
int show_installed_versions();
