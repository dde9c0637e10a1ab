// bmimage sign: signs every layout-3 sub-image with an RSA private key.
#include <cstdio>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include "tools/bmimage/bmimage.h"

namespace bmimage {

namespace {

const char sign_usage[] = "--key PRIVATE.pem IN -o OUT";

} // namespace

int cmd_sign(int argc, char** argv) {
    if (wants_help(argc, argv)) {
        printf("usage: bmimage sign %s\n"
               "Signs every layout-3 sub-image of IN with the RSA private key (PKCS#1 v1.5,\n"
               "SHA-256 over the data bytes). An earlier signature record is replaced; H, the\n"
               "length and the CRC are recomputed. Sub-images with a bad CRC are refused.\n",
               sign_usage);
        return EXIT_OK;
    }
    args a{argc, argv};
    std::string in, out, key_path;
    if (!in_out_args(a, "sign", &in, &out, "--key", &key_path))
        return usage_error("sign", sign_usage);

    bytes key_pem;
    if (!read_file(key_path, MAX_KEY_FILE, &key_pem)) return EXIT_FAIL;
    BIO* bio = BIO_new_mem_buf(key_pem.data(), int(key_pem.size()));
    // No pass phrase prompt: an encrypted key is refused.
    auto no_pass = [](char*, int, int, void*) -> int { return 0; };
    EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio, nullptr, no_pass, nullptr) : nullptr;
    BIO_free(bio);
    if (!key || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
        fail("%s: not an unencrypted RSA private key in PEM form", key_path.c_str());
        EVP_PKEY_free(key);
        return EXIT_FAIL;
    }
    auto sign_one = [&](const bytes& file, const subimage& s, size_t, bytes* signature) {
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        size_t length = size_t(EVP_PKEY_get_size(key));
        signature->assign(length, 0);
        bool ok =
            ctx && EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
            EVP_DigestSign(ctx, signature->data(), &length, data_of(file, s), s.info.data_len) == 1;
        EVP_MD_CTX_free(ctx);
        if (!ok || length > MAX_SIGNATURE) {
            fail("%s: signing failed", key_path.c_str());
            return false;
        }
        signature->resize(length);
        return true;
    };
    int status = rewrite_signatures(in, out, sign_one);
    EVP_PKEY_free(key);
    return status;
}

} // namespace bmimage
