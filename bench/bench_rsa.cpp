// RSA-2048 signature verifications per second: this toolkit against OpenSSL
// (native and with vector extensions masked) and mbedTLS.
//
// Ours: the public key is loaded once from its modulus bytes; each verification
// runs RSA_extractDigest and compares the digest. The others verify a
// PKCS #1 v1.5 SHA-256 signature with their public-key verify calls.
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <mbedtls/rsa.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "crypto/hash/hash.h"
#include "crypto/vlong/rsa.h"
#include "tests/common/test_keys.h"

namespace {

// AVX, FMA, SSSE3, SSE4.1, SSE4.2 in the first word; AVX2 and the AVX-512 family in the second.
const char kNoVector[] = "~0x1018120000000000:~0xdc230020";
// The same, and BMI1, BMI2 and ADX as well (OpenSSL's scalar big-number fast paths).
const char kNoVectorNoAdx[] = "~0x1018120000000000:~0xdc2b0128";

// Verifications per second of CPU time of this thread (the machine is shared: wall time
// would count other people's work), best of several rounds.
double cpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double perSecond(const std::function<bool()>& verify, int rounds) {
    double best = 0;
    for (int round = 0; round < rounds; round++) {
        uint64_t count = 0;
        double start = cpuSeconds();
        double elapsed = 0;
        do {
            for (int i = 0; i < 50; i++) {
                if (!verify()) {
                    fprintf(stderr, "verification failed\n");
                    exit(1);
                }
            }
            count += 50;
            elapsed = cpuSeconds() - start;
        } while (elapsed < 0.4);
        if (count / elapsed > best) best = count / elapsed;
    }
    return best;
}

struct Fixture {
    EVP_PKEY* pkey = nullptr;
    std::vector<uint8_t> modulus;
    std::vector<uint8_t> signature;
    uint8_t digest[32];
};

Fixture makeFixture() {
    Fixture f;
    BIO* bio = BIO_new_mem_buf(testutil::kTestKeyPem.at(2048), -1);
    f.pkey = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    BIGNUM* n = nullptr;
    EVP_PKEY_get_bn_param(f.pkey, "n", &n);
    f.modulus.resize(BN_num_bytes(n));
    BN_bn2bin(n, f.modulus.data());
    BN_free(n);
    const char message[] = "image payload to be verified";
    unsigned int dl = 0;
    EVP_Digest(message, sizeof message, f.digest, &dl, EVP_sha256(), nullptr);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(f.pkey, nullptr);
    EVP_PKEY_sign_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
    size_t length = 512;
    f.signature.resize(length);
    EVP_PKEY_sign(ctx, f.signature.data(), &length, f.digest, sizeof f.digest);
    f.signature.resize(length);
    EVP_PKEY_CTX_free(ctx);
    return f;
}

double benchOpenSsl(const Fixture& f, int rounds) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(f.pkey, nullptr);
    EVP_PKEY_verify_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
    double rate = perSecond(
        [&] {
            return EVP_PKEY_verify(ctx, f.signature.data(), f.signature.size(), f.digest,
                                   sizeof f.digest) == 1;
        },
        rounds);
    EVP_PKEY_CTX_free(ctx);
    return rate;
}

double benchOurs(const Fixture& f, int rounds) {
    RsaKey* key = nullptr;
    if (RSA_newKey(&key) != OK ||
        RSA_loadPublicKey(key, 65537, f.modulus.data(), uint32_t(f.modulus.size()), nullptr) != OK)
        return 0;
    double rate = perSecond(
        [&] {
            uint8_t digest[64];
            uint32_t length = 0;
            int32_t id = 0;
            if (RSA_extractDigest(key, f.signature.data(), uint32_t(f.signature.size()), digest,
                                  &length, &id) != OK)
                return false;
            return id == int32_t(HASH_SHA256) && length == sizeof f.digest &&
                   memcmp(digest, f.digest, length) == 0;
        },
        rounds);
    RSA_disposeKey(&key, nullptr);
    return rate;
}

double benchMbedTls(const Fixture& f, int rounds) {
    mbedtls_rsa_context rsa;
    mbedtls_rsa_init(&rsa, MBEDTLS_RSA_PKCS_V15, 0);
    const uint8_t e[] = {0x01, 0x00, 0x01};
    if (mbedtls_rsa_import_raw(&rsa, f.modulus.data(), f.modulus.size(), nullptr, 0, nullptr, 0,
                               nullptr, 0, e, sizeof e) != 0 ||
        mbedtls_rsa_complete(&rsa) != 0)
        return 0;
    double rate = perSecond(
        [&] {
            return mbedtls_rsa_pkcs1_verify(&rsa, nullptr, nullptr, MBEDTLS_RSA_PUBLIC,
                                            MBEDTLS_MD_SHA256, 32, f.digest,
                                            f.signature.data()) == 0;
        },
        rounds);
    mbedtls_rsa_free(&rsa);
    return rate;
}

// Runs this program again with OPENSSL_ia32cap set and reads the OpenSSL figure it prints.
double openSslMasked(const char* mask) {
    int fds[2];
    if (pipe(fds) != 0) return 0;
    pid_t pid = fork();
    if (pid < 0) return 0;
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        setenv("OPENSSL_ia32cap", mask, 1);
        char self[] = "/proc/self/exe";
        char flag[] = "--openssl-only";
        char* argv[] = {self, flag, nullptr};
        execv(self, argv);
        _exit(127);
    }
    close(fds[1]);
    std::string out;
    char buffer[256];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, size_t(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return atof(out.c_str());
}

} // namespace

int main(int argc, char** argv) {
    Fixture f = makeFixture();
    if (argc > 1 && strcmp(argv[1], "--openssl-only") == 0) {
        printf("%.1f\n", benchOpenSsl(f, 5));
        return 0;
    }
    // rounds interleaved, so that a busy moment of the machine does not favour one side
    double ours = 0, mbed = 0, ossl = 0;
    for (int round = 0; round < 5; round++) {
        ours = std::max(ours, benchOurs(f, 1));
        mbed = std::max(mbed, benchMbedTls(f, 1));
        ossl = std::max(ossl, benchOpenSsl(f, 1));
    }
    double osslNoVector = openSslMasked(kNoVector);
    double osslScalar = openSslMasked(kNoVectorNoAdx);
    printf("RSA-2048 verify (e = 65537, SHA-256), verifications per second (CPU time, best of 5 "
           "rounds)\n");
    printf("  %-40s %10.0f\n", "toolkit (RSA_extractDigest + compare)", ours);
    printf("  %-40s %10.0f   ratio %.2fx\n", "mbedTLS mbedtls_rsa_pkcs1_verify", mbed,
           mbed > 0 ? ours / mbed : 0);
    printf("  %-40s %10.0f   ratio %.2fx\n", "OpenSSL native", ossl, ossl > 0 ? ours / ossl : 0);
    printf("  %-40s %10.0f   ratio %.2fx\n", "OpenSSL, vector extensions masked", osslNoVector,
           osslNoVector > 0 ? ours / osslNoVector : 0);
    printf("  %-40s %10.0f   ratio %.2fx\n", "OpenSSL, vector + BMI/ADX masked", osslScalar,
           osslScalar > 0 ? ours / osslScalar : 0);
    EVP_PKEY_free(f.pkey);
    return 0;
}
