// bmimage attach: inserts signatures made elsewhere.
#include <cstdio>
#include <cstring>

#include "tools/bmimage/bmimage.h"

namespace bmimage {

namespace {

const char attach_usage[] = "--signature FILE[,FILE...] [--key PUB.pem]... [--security-counter N] "
                            "[--no-manifest] IN -o OUT\n       bmimage attach "
                            "--manifest-signature FILE[,FILE...] IN -o OUT";

// The raw signature files of a comma-separated list.
int read_signature_list(const std::string& list, std::vector<bytes>* signatures) {
    for (size_t start = 0; start <= list.size();) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        std::string path = list.substr(start, comma - start);
        bytes signature;
        if (path.empty()) {
            fail("attach: empty name in the signature list");
            return EXIT_USAGE;
        }
        if (!read_file(path, MAX_SIGNATURE, &signature)) return EXIT_FAIL;
        if (signature.empty()) {
            fail("%s: empty signature file", path.c_str());
            return EXIT_FAIL;
        }
        signatures->push_back(signature);
        start = comma + 1;
    }
    return EXIT_OK;
}

// Counts the layout-3 sub-images, so that a surplus or missing signature leaves
// no output behind.
bool count_matches(const std::vector<subimage>& subs, size_t signatures) {
    size_t signable = 0;
    for (const subimage& s : subs) signable += s.info.layout == 3;
    if (signable == signatures) return true;
    fail("attach: %zu signatures for %zu layout-3 sub-images", signatures, signable);
    return false;
}

// Fills the manifest records of IN, which already carry their data signatures.
int attach_manifests(const std::string& in, const std::string& out,
                     const std::vector<bytes>& signatures) {
    bytes file;
    std::vector<subimage> subs;
    if (!read_file(in, MAX_FILE_SIZE, &file) || !walk_file(in, file, &subs)) return EXIT_FAIL;
    if (!count_matches(subs, signatures.size())) return EXIT_FAIL;
    size_t index = 0;
    for (const subimage& s : subs) {
        if (s.info.layout != 3) continue;
        if (!crc_good(file, s) ||
            !fill_manifest(file.data() + s.offset, s.size, signatures[index++])) {
            fail("%s: sub-image at offset %zu has a bad CRC or no manifest record", in.c_str(),
                 s.offset);
            return EXIT_FAIL;
        }
    }
    return write_file(out, file) ? EXIT_OK : EXIT_FAIL;
}

} // namespace

int cmd_attach(int argc, char** argv) {
    if (wants_help(argc, argv)) {
        printf("usage: bmimage attach %s\n"
               "Inserts signatures made elsewhere (for example over the digests that\n"
               "'bmimage digest' prints): one raw signature file per layout-3 sub-image of\n"
               "IN, in order. An earlier signature record is replaced; H, the length and the\n"
               "CRC are recomputed. Each signature must verify under the built-in production\n"
               "key or, when --key is given, under one of those public keys; otherwise\n"
               "nothing is written. Check the result with 'bmimage verify'.\n"
               "Unless --no-manifest is given, each sub-image also gets a manifest record\n"
               "whose signature bytes are zero: 'bmimage digest --manifest' prints what to\n"
               "sign, and --manifest-signature puts those signatures in.\n",
               attach_usage);
        return EXIT_OK;
    }
    args a{argc, argv};
    std::string in, out, manifests;
    std::vector<std::string> list_option, key_paths;
    seal_options options;
    auto extra = [&](const char* arg) {
        if (strcmp(arg, "--manifest-signature") != 0) return seal_option(a, arg, &options);
        const char* value;
        if (!once("attach", arg, !manifests.empty()) || !option_value(a, arg, &value)) return -1;
        manifests = value;
        return 1;
    };
    if (!in_out_args(
            a, "attach", &in, &out,
            {{"--signature", &list_option, false, false}, {"--key", &key_paths, true, false}},
            extra) ||
        list_option.empty() == manifests.empty())
        return usage_error("attach", attach_usage);
    const std::string list = list_option.empty() ? "" : list_option[0];
    std::vector<public_key> keys;
    for (const std::string& path : key_paths)
        if (!load_public_key(path, &keys)) return EXIT_FAIL;
    if (keys.empty()) keys.resize(1, builtin_keys()[0]);
    std::vector<bytes> signatures;
    int status = read_signature_list(list.empty() ? manifests : list, &signatures);
    if (status != EXIT_OK) return status;
    if (!manifests.empty()) return attach_manifests(in, out, signatures);

    auto take = [&](const bytes& file, const subimage& s, size_t index, bytes* signature) {
        if (index >= signatures.size()) {
            fail("attach: no signature for the layout-3 sub-image at offset %zu", s.offset);
            return false;
        }
        const bytes& given = signatures[index];
        std::string label;
        if (!signature_verifies(file, s, given.data(), given.size(), keys, &label)) {
            fail("attach: signature %zu does not verify the sub-image at offset %zu under %s",
                 index + 1, s.offset, key_paths.empty() ? "the production key" : "the --key keys");
            return false;
        }
        *signature = signatures[index];
        return true;
    };
    bytes file;
    std::vector<subimage> subs;
    if (!read_file(in, MAX_FILE_SIZE, &file) || !walk_file(in, file, &subs)) return EXIT_FAIL;
    if (!count_matches(subs, signatures.size())) return EXIT_FAIL;
    return rewrite_signatures(in, out, take, options, nullptr);
}

} // namespace bmimage
