// bmimage attach: inserts signatures made elsewhere.
#include <cstdio>

#include "tools/bmimage/bmimage.h"

namespace bmimage {

namespace {

const char attach_usage[] = "--signature FILE[,FILE...] IN -o OUT";

} // namespace

int cmd_attach(int argc, char** argv) {
    if (wants_help(argc, argv)) {
        printf("usage: bmimage attach %s\n"
               "Inserts signatures made elsewhere (for example over the digests that\n"
               "'bmimage digest' prints): one raw signature file per layout-3 sub-image of\n"
               "IN, in order. An earlier signature record is replaced; H, the length and the\n"
               "CRC are recomputed. Check the result with 'bmimage verify'.\n",
               attach_usage);
        return EXIT_OK;
    }
    args a{argc, argv};
    std::string in, out, list;
    if (!in_out_args(a, "attach", &in, &out, "--signature", &list))
        return usage_error("attach", attach_usage);
    std::vector<bytes> signatures;
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
        signatures.push_back(signature);
        start = comma + 1;
    }
    auto take = [&](const bytes&, const subimage& s, size_t index, bytes* signature) {
        if (index >= signatures.size()) {
            fail("attach: no signature for the layout-3 sub-image at offset %zu", s.offset);
            return false;
        }
        *signature = signatures[index];
        return true;
    };
    // Count first, so that a surplus signature leaves no output behind.
    bytes file;
    std::vector<subimage> subs;
    if (!read_file(in, MAX_FILE_SIZE, &file) || !walk_file(in, file, &subs)) return EXIT_FAIL;
    size_t signable = 0;
    for (const subimage& s : subs) signable += s.info.layout == 3;
    if (signable != signatures.size()) {
        fail("attach: %zu signatures for %zu layout-3 sub-images", signatures.size(), signable);
        return EXIT_FAIL;
    }
    return rewrite_signatures(in, out, take);
}

} // namespace bmimage
