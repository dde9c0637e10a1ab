// bmimage info: one line per sub-image.
#include <cstdio>

#include "tools/bmimage/bmimage.h"

namespace bmimage {

namespace {

const char info_usage[] = "[--key PUB.pem]... FILE";

} // namespace

int cmd_info(int argc, char** argv) {
    if (wants_help(argc, argv)) {
        printf("usage: bmimage info %s\n"
               "Prints one line per sub-image: offset, type, layout, version, header length H,\n"
               "data length D, CRC (good or bad) and signature: none, production or\n"
               "development (the built-in keys), the name of a --key file that verifies it,\n"
               "or bad; then the manifest signature in the same words, and the security\n"
               "counter (- without a counter record).\n",
               info_usage);
        return EXIT_OK;
    }
    std::vector<public_key> extra;
    std::string path;
    if (!key_file_args(argc, argv, "info", &extra, &path)) return EXIT_USAGE;
    std::vector<public_key> keys = builtin_keys();
    keys.insert(keys.end(), extra.begin(), extra.end());
    bytes file;
    std::vector<subimage> subs;
    if (!read_file(path, MAX_FILE_SIZE, &file)) return EXIT_FAIL;
    bool whole = walk_file(path, file, &subs);
    if (subs.empty()) return EXIT_FAIL;
    printf("%-10s %-24s %-6s %-15s %6s %10s %-4s %-11s %-11s %s\n", "OFFSET", "TYPE", "LAYOUT",
           "VERSION", "H", "D", "CRC", "SIGNATURE", "MANIFEST", "COUNTER");
    for (const subimage& s : subs) {
        const uint8_t* sub = file.data() + s.offset;
        std::string type = describe_type(s.info.magic & ~uint32_t(IMAGE_MAGIC_LAYOUT2));
        uint32_t record;
        if (type_record_of(file, s, &record)) type += " (record " + describe_type(record) + ")";
        std::string label;
        sig_state sig = check_signature(file, s, keys, &label);
        std::string signer, counter = "-";
        uint32_t value = 0;
        bool has_counter = false;
        manifest_state manifest = check_manifest(file, s, keys, &signer, &value, &has_counter);
        if (has_counter) counter = std::to_string(value);
        printf("%-10zu %-24s %-6u %-15s %6u %10u %-4s %-11s %-11s %s\n", s.offset, type.c_str(),
               s.info.layout, describe_version(sub + IMAGE_OFF_ID).c_str(), s.info.hdr_len,
               s.info.data_len, crc_good(file, s) ? "good" : "bad",
               sig == SIG_NONE  ? "none"
               : sig == SIG_BAD ? "bad"
                                : label.c_str(),
               manifest == MANIFEST_STATE_NONE  ? "none"
               : manifest == MANIFEST_STATE_BAD ? "bad"
                                                : signer.c_str(),
               counter.c_str());
    }
    return whole ? EXIT_OK : EXIT_FAIL;
}

} // namespace bmimage
