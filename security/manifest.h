// The manifest of a layout-3 sub-image: a signature over the whole sub-image,
// header and records included, and the security counter it carries.
//
// Manifest signature record (tag 9): u16 signature length S, then S bytes, an
// RSA PKCS#1 v1.5 signature over the SHA-256 digest of the manifest bytes.
// Security counter record (tag 10): a u32, the sub-image's place in the
// downgrade order; a sub-image without one counts as 0.
//
// Manifest bytes: the `len` + 16 bytes of the sub-image from its first byte,
// with two fields read as zero: the `crc` field (bytes 0 to 3, which covers
// the signature and so cannot be covered by it) and the S signature bytes of
// the manifest record. Everything else is covered: the type word, the version,
// every record (the data signature, the counter, type records, the manifest
// record's own tag, lengths and S) and the data.
//
// Readers that do not know these tags step over them, so an image carrying a
// manifest still boots on a build that does not check it.
#pragma once
#include <cstddef>
#include <cstdint>

struct image_manifest {
    const uint8_t* signature; // S bytes inside the sub-image
    uint16_t signature_len;   // S
    uint32_t signature_offset;
    bool has_counter;
    uint32_t counter;     // 0 without a counter record
    uint32_t whole;       // `len` + 16: the bytes the manifest covers
    uint32_t type_record; // the value of the type records, 0 without one
};

enum : int {
    MANIFEST_BAD = -1, // malformed: refuse (see manifest_find)
    MANIFEST_NONE = 0, // no manifest record (or not layout 3)
    MANIFEST_FOUND = 1,
};

// Finds the manifest and counter records of a sub-image held in `size` bytes.
// MANIFEST_BAD when the header lengths are unusable, `len` + 16 exceeds size,
// a record is 1 to 3 bytes long or runs past H, a manifest's S runs past its
// record, a counter record is not 8 bytes long, either record stands twice, or
// two type records disagree. A zero-length record ends the walk as it does for
// the format's readers. *out is filled for MANIFEST_FOUND and MANIFEST_NONE
// (signature null for NONE).
int manifest_find(const uint8_t* subimage, size_t size, image_manifest* out);

// SHA-256 of the manifest bytes of a sub-image whose manifest was found.
// 0, or the digest's toolkit status.
int32_t manifest_digest(const uint8_t* subimage, const image_manifest& manifest,
                        uint8_t digest[32]);
