// bmimage: the command table.
#include <cstdio>
#include <cstring>

#include "crypto/random/random.h"
#include "tools/bmimage/bmimage.h"

using namespace bmimage;

namespace {

const char tool_usage[] =
    "usage: bmimage COMMAND ...\n"
    "  create --type TYPE --version A.B.C.D --data FILE [--layout 1|2|3]\n"
    "         [--type-record TYPE] -o OUT     make an unsigned image\n"
    "  sign --key PRIVATE.pem|pkcs11:URI [--security-counter N] [--no-manifest] IN -o OUT\n"
    "                                        sign every layout-3 sub-image and its manifest\n"
    "  digest [--manifest] IN                SHA-256 of each signable sub-image's data\n"
    "                                        (or of its manifest)\n"
    "  attach --signature FILE[,FILE...] IN -o OUT\n"
    "  attach --manifest-signature FILE[,FILE...] IN -o OUT\n"
    "                                        insert signatures made elsewhere\n"
    "  pack IN... -o OUT                     concatenate images into a package\n"
    "  info [--key PUB.pem]... FILE          show the sub-images\n"
    "  verify [--strict] [--key PUB.pem]... FILE\n"
    "                                        check CRCs and signatures as the switch does\n"
    "'bmimage COMMAND --help' describes a command.\n";

struct command_entry {
    const char* name;
    int (*run)(int argc, char** argv);
};

const command_entry commands[] = {
    {"create", cmd_create}, {"sign", cmd_sign}, {"digest", cmd_digest}, {"attach", cmd_attach},
    {"pack", cmd_pack},     {"info", cmd_info}, {"verify", cmd_verify},
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        fputs(tool_usage, argc < 2 ? stderr : stdout);
        return argc < 2 ? EXIT_USAGE : EXIT_OK;
    }
    for (const command_entry& command : commands) {
        if (strcmp(argv[1], command.name) == 0) {
            // The toolkit as the boot manager starts it (the key decoder needs it).
            if (TOOLKIT_initialize() < 0) {
                fail("the cryptographic toolkit did not start");
                return EXIT_FAIL;
            }
            int status = command.run(argc - 2, argv + 2);
            TOOLKIT_shutdown();
            if (fflush(stdout) != 0 && status == EXIT_OK) status = EXIT_FAIL;
            return status;
        }
    }
    fail("unknown command '%s'", argv[1]);
    fputs(tool_usage, stderr);
    return EXIT_USAGE;
}
