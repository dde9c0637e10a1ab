// Reading a sub-image for the boot path: the bytes cross memory once, the image
// CRC and the SHA-256 digest of the signed data are computed piece by piece as
// the file is read.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

struct image_read_result {
    size_t bytes_read;  // how many of the wanted bytes were read (short at end of file)
    uint32_t crc;       // image CRC over bytes 4 .. bytes_read, started at IMAGE_CRC_START
    uint8_t digest[32]; // SHA-256 over bytes hdr_len .. bytes_read
    bool digest_ok;     // false when hdr_len > bytes_read or the digest failed
};

// Reads total bytes from the stream's current position into buffer (total
// bytes long), computing both checks as it goes.
void image_read_checked(FILE* stream, uint8_t* buffer, size_t total, uint32_t hdr_len,
                        image_read_result* result);
