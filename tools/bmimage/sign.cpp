// bmimage sign: signs every layout-3 sub-image with an RSA private key, held in
// a PEM file or in a PKCS#11 token (through OpenSSL's PKCS#11 engine, so that
// the key never leaves the token).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define OPENSSL_SUPPRESS_DEPRECATED // the ENGINE interface is how the PKCS#11 engine is reached
#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "crypto/hash/hash.h"
#include "security/signature.h"
#include "tools/bmimage/bmimage.h"

namespace bmimage {

namespace {

const char sign_usage[] = "--key PRIVATE.pem|pkcs11:URI [--pkcs11-module LIB] "
                          "[--security-counter N] [--no-manifest] IN -o OUT";

// A private key and, for a token, the engine that holds it.
struct signing_key {
    EVP_PKEY* key = nullptr;
    ENGINE* engine = nullptr;
    ~signing_key() {
        EVP_PKEY_free(key);
        if (engine) {
            ENGINE_finish(engine);
            ENGINE_free(engine);
        }
    }
};

bool load_pem_key(const std::string& path, signing_key* out) {
    bytes key_pem;
    if (!read_file(path, MAX_KEY_FILE, &key_pem)) return false;
    BIO* bio = BIO_new_mem_buf(key_pem.data(), int(key_pem.size()));
    // No pass phrase prompt: an encrypted key is refused.
    auto no_pass = [](char*, int, int, void*) -> int { return 0; };
    out->key = bio ? PEM_read_bio_PrivateKey(bio, nullptr, no_pass, nullptr) : nullptr;
    BIO_free(bio);
    return out->key != nullptr;
}

// The module is the token's PKCS#11 library (for example SoftHSM's); without
// one the engine's default (p11-kit) is used.
bool load_token_key(const std::string& uri, const char* module, signing_key* out) {
    ENGINE_load_builtin_engines();
    out->engine = ENGINE_by_id("pkcs11");
    if (!out->engine) {
        fail("%s: OpenSSL's PKCS#11 engine is not installed (libengine-pkcs11-openssl)",
             uri.c_str());
        return false;
    }
    if (module && *module && !ENGINE_ctrl_cmd_string(out->engine, "MODULE_PATH", module, 0)) {
        fail("%s: the PKCS#11 engine refused the module", module);
        return false;
    }
    if (!ENGINE_init(out->engine)) {
        ENGINE_free(out->engine);
        out->engine = nullptr;
        fail("%s: the PKCS#11 engine did not start", uri.c_str());
        return false;
    }
    out->key = ENGINE_load_private_key(out->engine, uri.c_str(), nullptr, nullptr);
    return out->key != nullptr;
}

// RSA PKCS#1 v1.5 over a SHA-256 digest.
bool sign_digest(EVP_PKEY* key, const uint8_t* digest, bytes* signature) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    size_t length = size_t(EVP_PKEY_get_size(key));
    signature->assign(length, 0);
    bool ok = ctx && EVP_PKEY_sign_init(ctx) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) == 1 &&
              EVP_PKEY_sign(ctx, signature->data(), &length, digest, SHA256_DIGEST_SIZE) == 1;
    EVP_PKEY_CTX_free(ctx);
    if (!ok || length > MAX_SIGNATURE) return false;
    signature->resize(length);
    return true;
}

} // namespace

int cmd_sign(int argc, char** argv) {
    if (wants_help(argc, argv)) {
        printf("usage: bmimage sign %s\n"
               "Signs every layout-3 sub-image of IN with the RSA private key (PKCS#1 v1.5,\n"
               "SHA-256 over the data bytes). An earlier signature record is replaced; H, the\n"
               "length and the CRC are recomputed. Sub-images with a bad CRC are refused.\n"
               "The key is a PEM file, or a key in a PKCS#11 token named by its URI\n"
               "(pkcs11:token=...;object=...?pin-value=...), used through OpenSSL's PKCS#11\n"
               "engine with the module LIB (default $PKCS11_MODULE_PATH).\n"
               "--manifest (the default) adds a manifest signature over the whole sub-image;\n"
               "--no-manifest leaves it out. --security-counter N sets the security counter.\n",
               sign_usage);
        return EXIT_OK;
    }
    args a{argc, argv};
    std::string in, out;
    std::vector<std::string> key_option;
    seal_options options;
    const char* module = getenv("PKCS11_MODULE_PATH");
    auto extra = [&](const char* arg) {
        if (strcmp(arg, "--pkcs11-module") == 0) return option_value(a, arg, &module) ? 1 : -1;
        return seal_option(a, arg, &options);
    };
    if (!in_out_args(a, "sign", &in, &out, {{"--key", &key_option, false, true}}, extra))
        return usage_error("sign", sign_usage);
    const std::string& key_name = key_option[0];

    signing_key key;
    bool token = key_name.compare(0, 7, "pkcs11:") == 0;
    bool loaded = token ? load_token_key(key_name, module, &key) : load_pem_key(key_name, &key);
    if (!loaded || EVP_PKEY_get_base_id(key.key) != EVP_PKEY_RSA) {
        fail(token ? "%s: no RSA private key at that URI"
                   : "%s: not an unencrypted RSA private key in PEM form",
             key_name.c_str());
        return EXIT_FAIL;
    }
    auto sign_one = [&](const bytes& file, const subimage& s, size_t, bytes* signature) {
        uint8_t digest[SHA256_DIGEST_SIZE];
        uint32_t digest_len = 0;
        if (IMGSIGN_computeSHA256(data_of(file, s), s.info.data_len, digest, &digest_len) != 0 ||
            !sign_digest(key.key, digest, signature)) {
            fail("%s: signing failed", key_name.c_str());
            return false;
        }
        return true;
    };
    auto sign_manifest = [&](size_t, const uint8_t* digest, bytes* signature) {
        if (sign_digest(key.key, digest, signature)) return true;
        fail("%s: signing the manifest failed", key_name.c_str());
        return false;
    };
    return rewrite_signatures(in, out, sign_one, options, sign_manifest);
}

} // namespace bmimage
