// bmimage: public keys and signature checks, through the boot manager's own code.
#include <cstring>

#include "crypto/hash/hash.h"
#include "security/keys.h"
#include "security/signature.h"
#include "tools/bmimage/bmimage.h"

namespace bmimage {

namespace {

bool load_public_key(const std::string& path, std::vector<public_key>* keys) {
    public_key key;
    key.label = path;
    if (!read_file(path, MAX_KEY_FILE, &key.text)) return false;
    if (key.text.empty()) {
        fail("%s: empty key file", path.c_str());
        return false;
    }
    keys->push_back(key);
    return true;
}

} // namespace

std::vector<public_key> builtin_keys() {
    std::vector<public_key> keys;
    keys.push_back({"production",
                    bytes(builtin_production_key, builtin_production_key + SYSTEM_KEY_TEXT_LEN)});
    keys.push_back({"development",
                    bytes(builtin_development_key, builtin_development_key + SYSTEM_KEY_TEXT_LEN)});
    return keys;
}

// Checks the signature of one sub-image against the keys in order; on success
// *label names the first key that verifies it.
sig_state check_signature(const bytes& file, const subimage& s, const std::vector<public_key>& keys,
                          std::string* label) {
    const uint8_t* sub = file.data() + s.offset;
    const uint8_t* signature = nullptr;
    uint16_t signature_len = 0;
    int found = image_find_signature(sub, s.size, &signature, &signature_len);
    if (found == IMAGE_SIGNATURE_NONE) return SIG_NONE;
    if (found != IMAGE_SIGNATURE_FOUND) return SIG_BAD;
    uint8_t digest[SHA256_DIGEST_SIZE] = {0};
    uint32_t digest_len = 0;
    if (IMGSIGN_computeSHA256(data_of(file, s), s.info.data_len, digest, &digest_len) != 0)
        return SIG_BAD;
    for (const public_key& key : keys) {
        if (IMGSIGN_verifySignature(digest, digest_len, signature, signature_len, key.text.data(),
                                    uint32_t(key.text.size())) == 0) {
            *label = key.label;
            return SIG_GOOD;
        }
    }
    return SIG_BAD;
}

// Takes "[--key PUB.pem]... FILE".
bool key_file_args(int argc, char** argv, const char* command, std::vector<public_key>* keys,
                   std::string* path) {
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--key") == 0) {
            if (i + 1 >= argc) {
                fail("--key needs a value");
                return false;
            }
            if (!load_public_key(argv[++i], keys)) return false;
        } else if (argv[i][0] == '-' || !path->empty()) {
            fail("%s: unexpected argument '%s'", command, argv[i]);
            return false;
        } else {
            *path = argv[i];
        }
    }
    if (path->empty()) fail("%s: no file named", command);
    return !path->empty();
}

} // namespace bmimage
