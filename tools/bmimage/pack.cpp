// bmimage pack: concatenates images into a package.
#include <cstdio>
#include <cstring>

#include "tools/bmimage/bmimage.h"

namespace bmimage {

namespace {

const char pack_usage[] = "IN... -o OUT";

} // namespace

int cmd_pack(int argc, char** argv) {
    if (wants_help(argc, argv)) {
        printf("usage: bmimage pack %s\n"
               "Concatenates images or packages into one package. Every input must consist\n"
               "of whole sub-images with good CRCs.\n",
               pack_usage);
        return EXIT_OK;
    }
    std::vector<std::string> inputs;
    std::string out;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "-o") == 0 && i + 1 < argc) {
            out = argv[++i];
        } else if (argv[i][0] == '-') {
            fail("pack: unexpected argument '%s'", argv[i]);
            return usage_error("pack", pack_usage);
        } else {
            inputs.push_back(argv[i]);
        }
    }
    if (inputs.empty() || out.empty()) return usage_error("pack", pack_usage);
    bytes package;
    for (const std::string& in : inputs) {
        bytes file;
        std::vector<subimage> subs;
        if (!read_file(in, MAX_FILE_SIZE, &file) || !walk_file(in, file, &subs)) return EXIT_FAIL;
        for (const subimage& s : subs) {
            if (!crc_good(file, s)) {
                fail("%s: sub-image at offset %zu has a bad CRC", in.c_str(), s.offset);
                return EXIT_FAIL;
            }
        }
        if (package.size() + file.size() > MAX_FILE_SIZE) {
            fail("pack: the package would exceed %llu bytes", (unsigned long long)MAX_FILE_SIZE);
            return EXIT_FAIL;
        }
        package.insert(package.end(), file.begin(), file.end());
    }
    return write_file(out, package) ? EXIT_OK : EXIT_FAIL;
}

} // namespace bmimage
