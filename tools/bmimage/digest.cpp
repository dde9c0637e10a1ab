// bmimage digest: what a signer signs.
#include <cstdio>
#include <cstring>

#include "crypto/hash/hash.h"
#include "security/signature.h"
#include "tools/bmimage/bmimage.h"

namespace bmimage {

namespace {

const char digest_usage[] = "[--manifest] IN";

} // namespace

int cmd_digest(int argc, char** argv) {
    if (wants_help(argc, argv)) {
        printf("usage: bmimage digest %s\n"
               "Prints the SHA-256 of the signed data (the data bytes) of every layout-3\n"
               "sub-image of IN in hexadecimal, one line each, in order: what a signer signs.\n"
               "--manifest prints instead the digest of each manifest (the whole sub-image,\n"
               "its CRC and manifest signature bytes read as zero): what a manifest signer\n"
               "signs once the data signatures are attached.\n",
               digest_usage);
        return EXIT_OK;
    }
    bool manifest = argc == 2 && strcmp(argv[0], "--manifest") == 0;
    if (manifest) ++argv, --argc;
    if (argc != 1 || argv[0][0] == '-') return usage_error("digest", digest_usage);
    bytes file;
    std::vector<subimage> subs;
    if (!read_file(argv[0], MAX_FILE_SIZE, &file) || !walk_file(argv[0], file, &subs))
        return EXIT_FAIL;
    size_t printed = 0;
    for (const subimage& s : subs) {
        if (s.info.layout != 3) continue;
        uint8_t digest[SHA256_DIGEST_SIZE] = {0};
        uint32_t digest_len = 0;
        if (manifest) {
            if (!manifest_digest_of(file.data() + s.offset, s.size, digest)) {
                fail("%s: sub-image at offset %zu has no manifest record", argv[0], s.offset);
                return EXIT_FAIL;
            }
            digest_len = SHA256_DIGEST_SIZE;
        }
        int32_t status = manifest ? 0
                                  : IMGSIGN_computeSHA256(data_of(file, s), s.info.data_len, digest,
                                                          &digest_len);
        if (status != 0 || digest_len != SHA256_DIGEST_SIZE) {
            fail("%s: digest failed (status %d)", argv[0], status);
            return EXIT_FAIL;
        }
        for (uint8_t b : digest) printf("%02x", b);
        putchar('\n');
        ++printed;
    }
    if (printed == 0) {
        fail("%s: no layout-3 sub-image: nothing can carry a signature", argv[0]);
        return EXIT_FAIL;
    }
    return EXIT_OK;
}

} // namespace bmimage
