// bmimage verify: CRCs and signatures checked as the switch checks them.
#include <cstdio>
#include <cstring>

#include "security/manifest.h"

#include "tools/bmimage/bmimage.h"

namespace bmimage {

namespace {

// Why the strict rules refuse a sub-image whose CRC is good, or null.
const char* strict_reason(const bytes& file, const subimage& s,
                          const std::vector<public_key>& keys) {
    std::string label;
    uint32_t counter = 0;
    bool has_counter = false;
    image_manifest m = {};
    if (manifest_find(file.data() + s.offset, s.size, &m) == MANIFEST_BAD)
        return "malformed header or records";
    uint32_t type = s.info.magic & ~uint32_t(IMAGE_MAGIC_LAYOUT2);
    if (m.type_record && m.type_record != type) return "type record disagrees with the type word";
    switch (check_manifest(file, s, keys, &label, &counter, &has_counter)) {
    case MANIFEST_STATE_NONE:
        return "no manifest signature";
    case MANIFEST_STATE_BAD:
        return "manifest signature does not verify";
    default:
        return nullptr;
    }
}

const char verify_usage[] = "[--strict] [--key PUB.pem]... FILE";

} // namespace

int cmd_verify(int argc, char** argv) {
    if (wants_help(argc, argv)) {
        printf("usage: bmimage verify %s\n"
               "Exits 0 only when every sub-image of FILE is whole, its CRC is good and its\n"
               "signature verifies under the built-in production key, or, when --key is\n"
               "given, under one of those public keys instead. Otherwise prints the first\n"
               "reason and exits 1.\n"
               "--strict applies the strict build's rules instead of the signature: every\n"
               "sub-image is layout 3, its records are well formed, a type record names its\n"
               "own type, and its manifest signature verifies under those keys.\n",
               verify_usage);
        return EXIT_OK;
    }
    bool strict = argc > 0 && strcmp(argv[0], "--strict") == 0;
    if (strict) ++argv, --argc;
    std::vector<public_key> keys;
    std::string path;
    if (!key_file_args(argc, argv, "verify", &keys, &path)) return EXIT_USAGE;
    bool given_keys = !keys.empty();
    if (!given_keys) keys.resize(1, builtin_keys()[0]);
    bytes file;
    std::vector<subimage> subs;
    if (!read_file(path, MAX_FILE_SIZE, &file) || !walk_file(path, file, &subs)) return EXIT_FAIL;
    for (size_t i = 0; i < subs.size(); ++i) {
        const subimage& s = subs[i];
        const char* reason = nullptr;
        std::string label, why;
        if (!crc_good(file, s)) {
            reason = "bad CRC";
        } else if (strict) {
            reason = strict_reason(file, s, keys);
        } else {
            sig_state sig = check_signature(file, s, keys, &label);
            if (sig == SIG_NONE) reason = "unsigned";
            if (sig == SIG_BAD) reason = "signature does not verify";
            // Name a built-in key that did sign it, when that is not one accepted here.
            std::string signer;
            if (sig == SIG_BAD && check_signature(file, s, builtin_keys(), &signer) == SIG_GOOD) {
                why = "signed with the " + signer + " key: not accepted " +
                      (given_keys ? "by the --key keys" : "without --key");
                reason = why.c_str();
            }
        }
        if (reason) {
            fail("%s: sub-image %zu at offset %zu: %s", path.c_str(), i + 1, s.offset, reason);
            return EXIT_FAIL;
        }
    }
    printf("%s: %zu sub-image%s verified\n", path.c_str(), subs.size(),
           subs.size() == 1 ? "" : "s");
    return EXIT_OK;
}

} // namespace bmimage
