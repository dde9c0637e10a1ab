// RSA-2048 signature verifications per second: this toolkit against OpenSSL
// (native and with vector extensions masked) and mbedTLS.
//
// Ours: the public key is loaded once from its modulus bytes; each verification
// runs RSA_extractDigest and compares the digest; a second line imports the PEM
// key for every verification, as the boot path does. The others verify a
// PKCS #1 v1.5 SHA-256 signature with their public-key verify calls.
//
// Usage: bench_rsa [rounds]   (default 9; medians and spread over the rounds)
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

#include "crypto/asn1/keys.h"
#include "crypto/hash/hash.h"
#include "crypto/random/random.h"
#include "crypto/vlong/rsa.h"
#include "tests/common/test_keys.h"

namespace {

// AVX, FMA, SSSE3, SSE4.1, SSE4.2 in the first word; AVX2 and the AVX-512 family in the second.
const char kNoVector[] = "~0x1018120000000000:~0xdc230020";
// The same, and BMI1, BMI2 and ADX as well (OpenSSL's scalar big-number fast paths).
const char kNoVectorNoAdx[] = "~0x1018120000000000:~0xdc2b0128";

// Verifications per second of CPU time of this thread (the machine is shared: wall time
// would count other people's work), best of the given rounds.
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
        } while (elapsed < 0.25);
        if (count / elapsed > best) best = count / elapsed;
    }
    return best;
}

typedef std::vector<double> Rates;
double median(Rates v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}
double lowest(const Rates& v) {
    return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}
double highest(const Rates& v) {
    return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

struct Fixture {
    EVP_PKEY* pkey = nullptr;
    std::vector<uint8_t> modulus;
    std::string publicPem;
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
    BIO* pub = BIO_new(BIO_s_mem());
    PEM_write_bio_PUBKEY(pub, f.pkey);
    char* text = nullptr;
    long textLength = BIO_get_mem_data(pub, &text);
    f.publicPem.assign(text, size_t(textLength));
    BIO_free(pub);
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

// As the boot path does it: the public key imported from its PEM text for each verification.
double benchOursWithImport(const Fixture& f, int rounds) {
    return perSecond(
        [&] {
            KeyObject key;
            KEY_init(&key);
            if (CA_MGMT_convertPublicKey(reinterpret_cast<const uint8_t*>(f.publicPem.data()),
                                         uint32_t(f.publicPem.size()), &key) < 0 ||
                key.type != KEY_TYPE_RSA) {
                KEY_release(&key);
                return false;
            }
            uint8_t digest[64];
            uint32_t length = 0;
            int32_t id = 0;
            bool good =
                RSA_extractDigest(static_cast<const RsaKey*>(key.key), f.signature.data(),
                                  uint32_t(f.signature.size()), digest, &length, &id) == OK &&
                id == int32_t(HASH_SHA256) && length == sizeof f.digest &&
                memcmp(digest, f.digest, length) == 0;
            KEY_release(&key);
            return good;
        },
        rounds);
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
    if (TOOLKIT_initialize() < 0) return 1;
    // rounds interleaved, so that a busy moment of the machine does not favour one side
    const int rounds = argc > 1 ? atoi(argv[1]) : 9;
    if (rounds <= 0) return 2;
    Rates ours, imported, mbed, ossl;
    for (int round = 0; round < rounds; round++) {
        ours.push_back(benchOurs(f, 1));
        imported.push_back(benchOursWithImport(f, 1));
        mbed.push_back(benchMbedTls(f, 1));
        ossl.push_back(benchOpenSsl(f, 1));
    }
    Rates toMbed, importToMbed;
    for (int round = 0; round < rounds; round++) {
        toMbed.push_back(ours[size_t(round)] / mbed[size_t(round)]);
        importToMbed.push_back(imported[size_t(round)] / mbed[size_t(round)]);
    }
    double osslNoVector = openSslMasked(kNoVector);
    double osslScalar = openSslMasked(kNoVectorNoAdx);
    printf("RSA-2048 verify (e = 65537, SHA-256), verifications per second of thread CPU time,\n"
           "median [min .. max] of %d interleaved rounds\n",
           rounds);
    auto row = [](const char* name, const Rates& r) {
        printf("  %-44s %8.0f [%6.0f .. %6.0f]\n", name, median(r), lowest(r), highest(r));
    };
    row("toolkit (RSA_extractDigest + compare)", ours);
    row("toolkit, PEM key imported each time", imported);
    row("mbedTLS mbedtls_rsa_pkcs1_verify", mbed);
    row("OpenSSL native", ossl);
    printf("  toolkit / mbedTLS, per round:      median %.2fx [%.2f .. %.2f]\n", median(toMbed),
           lowest(toMbed), highest(toMbed));
    printf("  with key import / mbedTLS:         median %.2fx [%.2f .. %.2f]\n",
           median(importToMbed), lowest(importToMbed), highest(importToMbed));
    double o = median(ours);
    printf("  toolkit / OpenSSL native %.2fx, / vector extensions masked (%.0f) %.2fx, "
           "/ vector + BMI/ADX masked (%.0f) %.2fx\n",
           o / median(ossl), osslNoVector, osslNoVector > 0 ? o / osslNoVector : 0, osslScalar,
           osslScalar > 0 ? o / osslScalar : 0);
    EVP_PKEY_free(f.pkey);
    return 0;
}
