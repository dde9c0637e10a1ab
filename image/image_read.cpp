// The fused read of the boot path: the sub-image arrives in large pieces, and
// each piece goes through the image CRC and SHA-256 while it is still in cache,
// so that the image crosses memory once instead of three times.
#include "image/image_read.h"

#include <cerrno>
#include <cstring>

#include "crypto/hash/hash.h"
#include "crypto/platform/platform.h"
#include "image/image.h"

namespace {

// Large enough that the per-call costs of the read and of the CRC's lane split vanish,
// small enough that a piece stays in the second-level cache between the passes.
const size_t kPiece = size_t(256) << 10;

// Reads up to count bytes; short only at end of file or on a read error.
size_t read_piece(FILE* stream, uint8_t* into, size_t count) {
    size_t got = 0;
    while (got < count) {
        size_t n = fread(into + got, 1, count - got, stream);
        got += n;
        if (got == count) break;
        if (!ferror(stream) || errno != EINTR) break;
        clearerr(stream); // a signal cut the read short: go on
    }
    return got;
}

} // namespace

void image_read_checked(FILE* stream, uint8_t* buffer, size_t total, uint32_t hdr_len,
                        image_read_result* result) {
    if (!result) return;
    memset(result, 0, sizeof *result);
    result->crc = IMAGE_CRC_START;
    if (!stream || (!buffer && total)) return;

    Sha256Context sha;
    bool sha_ok = SHA256_init(&sha) == OK;
    uint32_t crc = IMAGE_CRC_START;
    size_t done = 0;
    while (done < total) {
        size_t want = total - done < kPiece ? total - done : kPiece;
        size_t got = read_piece(stream, buffer + done, want);
        size_t end = done + got;
        // the CRC covers bytes 4 .. end, the digest bytes hdr_len .. end
        if (end > 4) {
            size_t from = done > 4 ? done : 4;
            crc = image_crc32(buffer + from, end - from, crc);
        }
        if (end > hdr_len && sha_ok) {
            size_t from = done > hdr_len ? done : hdr_len;
            sha_ok = SHA256_update(&sha, buffer + from, uint32_t(end - from)) == OK;
        }
        done = end;
        if (got < want) break;
    }
    result->bytes_read = done;
    result->crc = crc;
    result->digest_ok = hdr_len <= done && sha_ok && SHA256_final(&sha, result->digest) == OK;
    if (!result->digest_ok) memset(result->digest, 0, sizeof result->digest);
    PLATFORM_zeroize(&sha, sizeof sha);
}
