// The boot path's check of a 64 MiB slot image held in the page cache: read the
// file with the fused CRC and SHA-256, verify the RSA-2048 signature (key import
// included), write the tarball to a temporary file. Measured against zlib's
// crc32 plus scalar OpenSSL SHA-256 over the same bytes, in the same run,
// rounds interleaved; then the install throughput of a 64 MiB slot file
// (64 KiB writes and fsync, as the installer writes it).
//
// Usage: bench_bootpath [MiB] [rounds] [directory]   (default 64, 7, $TMPDIR or /tmp)
// OpenSSL reads OPENSSL_ia32cap when it loads, so the program runs itself once
// more with SHA-NI, AVX, SSSE3 and every leaf-7 extension masked.
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "crypto/hash/hash.h"
#include "crypto/random/random.h"
#include "image/image.h"
#include "image/image_read.h"
#include "security/signature.h"
#include "tests/common/test_keys.h"

namespace {

const char kScalarMask[] = "~0x12000A0200000000:~0xFFFFFFFFFFFFFFFF";
const uint32_t kHeader = 1024; // H: header bytes in front of the signed data

double cpuNow() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}
double wallNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Clock {
    double cpu = cpuNow(), wall = wallNow();
};
struct Span {
    double cpu, wall;
};
Span since(const Clock& c) {
    return {cpuNow() - c.cpu, wallNow() - c.wall};
}

struct Series {
    const char* name;
    std::vector<double> cpu, wall;
    void add(Span s) {
        cpu.push_back(s.cpu);
        wall.push_back(s.wall);
    }
};
double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}
double lowest(const std::vector<double>& v) {
    return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}
double highest(const std::vector<double>& v) {
    return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

struct Signed {
    std::string publicPem;
    std::vector<uint8_t> signature;
};

// Signs the SHA-256 digest of data with the 2048-bit test key.
Signed sign(const uint8_t* data, size_t length) {
    Signed out;
    BIO* bio = BIO_new_mem_buf(testutil::kTestKeyPem.at(2048), -1);
    EVP_PKEY* pkey = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    BIO* pub = BIO_new(BIO_s_mem());
    PEM_write_bio_PUBKEY(pub, pkey);
    char* text = nullptr;
    long n = BIO_get_mem_data(pub, &text);
    out.publicPem.assign(text, size_t(n));
    BIO_free(pub);
    uint8_t digest[32];
    unsigned int dl = 0;
    EVP_Digest(data, length, digest, &dl, EVP_sha256(), nullptr);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    EVP_PKEY_sign_init(ctx);
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
    size_t sl = 512;
    out.signature.resize(sl);
    EVP_PKEY_sign(ctx, out.signature.data(), &sl, digest, sizeof digest);
    out.signature.resize(sl);
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(pkey);
    return out;
}

bool writeAll(int fd, const uint8_t* p, size_t n) {
    while (n) {
        ssize_t w = write(fd, p, n);
        if (w <= 0) return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

volatile uint32_t g_sink;

} // namespace

int main(int argc, char** argv) {
    if (!getenv("BENCH_BOOTPATH_CHILD")) {
        setenv("OPENSSL_ia32cap", kScalarMask, 1);
        setenv("BENCH_BOOTPATH_CHILD", "1", 1);
        execv("/proc/self/exe", argv);
        perror("execv");
        return 1;
    }
    size_t mib = argc > 1 ? strtoul(argv[1], nullptr, 10) : 64;
    int rounds = argc > 2 ? atoi(argv[2]) : 7;
    std::string dir = argc > 3 ? argv[3] : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
    if (mib == 0 || mib > 1024 || rounds <= 0) return 2;
    if (TOOLKIT_initialize() < 0) return 1;
    const size_t total = mib << 20;
    const size_t data = total - kHeader;

    // the slot image: CRC word, header bytes, data
    std::vector<uint8_t> image(total);
    std::mt19937_64 rng(2026);
    for (size_t i = 0; i + 8 <= total; i += 8) {
        uint64_t v = rng();
        memcpy(&image[i], &v, 8);
    }
    const uint32_t crc = image_crc32(image.data() + 4, total - 4, IMAGE_CRC_START);
    image_put_be32(image.data(), crc);
    Signed sig = sign(image.data() + kHeader, data);

    std::string slot = dir + "/bench_bootpath.slot." + std::to_string(getpid());
    std::string tarball = dir + "/bench_bootpath.tar." + std::to_string(getpid());
    int fd = open(slot.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // flushed, so that its write-back does not run into the rounds
    if (fd < 0 || !writeAll(fd, image.data(), total) || fsync(fd) != 0 || close(fd) != 0) {
        perror(slot.c_str());
        return 1;
    }
    std::vector<uint8_t>().swap(image);

    Series read{"read file (fread, no checks)", {}, {}};
    Series readFresh{"the same into a fresh allocation", {}, {}};
    Series fused{"fused read + CRC + SHA-256", {}, {}};
    Series verify{"RSA-2048 verify + key import", {}, {}};
    Series write{"write tarball", {}, {}};
    Series ours{"boot path total", {}, {}};
    Series crcZlib{"zlib crc32", {}, {}};
    Series shaOssl{"OpenSSL SHA-256 (scalar)", {}, {}};
    Series sum{"zlib crc32 + OpenSSL SHA-256", {}, {}};
    Series crcOurs{"image_crc32 over the buffer", {}, {}};
    Series shaOurs{"toolkit SHA-256 over the buffer", {}, {}};

    uint8_t* buffer = static_cast<uint8_t*>(malloc(total));
    if (!buffer) return 1;
    bool good = true;
    for (int round = 0; round < rounds && good; round++) {
        // the plain read, for the I/O share
        {
            FILE* f = fopen(slot.c_str(), "rb");
            Clock c;
            size_t n = f ? fread(buffer, 1, total, f) : 0;
            read.add(since(c));
            if (f) fclose(f);
            good = n == total;
            f = fopen(slot.c_str(), "rb");
            c = Clock();
            uint8_t* fresh = static_cast<uint8_t*>(malloc(total));
            n = f && fresh ? fread(fresh, 1, total, f) : 0;
            free(fresh);
            readFresh.add(since(c));
            if (f) fclose(f);
            good = good && n == total;
        }
        // the boot path, into a fresh allocation as the launch makes one
        {
            Clock all;
            FILE* f = fopen(slot.c_str(), "rb");
            image_read_result r;
            Clock c;
            uint8_t* image = static_cast<uint8_t*>(malloc(total));
            if (!image) return 1;
            image_read_checked(f, image, total, kHeader, &r);
            fused.add(since(c));
            if (f) fclose(f);
            good = good && r.bytes_read == total && r.crc == image_get_be32(image) && r.digest_ok;
            c = Clock();
            good = good && IMGSIGN_verifySignature(
                               r.digest, 32, sig.signature.data(), uint32_t(sig.signature.size()),
                               reinterpret_cast<const uint8_t*>(sig.publicPem.c_str()),
                               uint32_t(sig.publicPem.size())) == 0;
            verify.add(since(c));
            c = Clock();
            FILE* out = fopen(tarball.c_str(), "wb");
            good = good && out && fwrite(image + kHeader, 1, data, out) == data;
            if (out) good = fclose(out) == 0 && good;
            write.add(since(c));
            free(image);
            ours.add(since(all));
            unlink(tarball.c_str());
        }
        // the peers over the same bytes
        {
            Clock c;
            uLong z = crc32(0L, Z_NULL, 0);
            z = crc32(z, buffer + 4, uInt(total - 4));
            Span a = since(c);
            crcZlib.add(a);
            c = Clock();
            uint8_t digest[32];
            unsigned int dl = 0;
            EVP_Digest(buffer + kHeader, data, digest, &dl, EVP_sha256(), nullptr);
            Span b = since(c);
            shaOssl.add(b);
            sum.add({a.cpu + b.cpu, a.wall + b.wall});
            g_sink = uint32_t(z) ^ digest[0];
            good = good && uint32_t(~z) == image_get_be32(buffer);
        }
        // our two passes apart, for reference
        {
            Clock c;
            g_sink = image_crc32(buffer + 4, total - 4, IMAGE_CRC_START);
            crcOurs.add(since(c));
            c = Clock();
            uint8_t digest[64];
            uint32_t dl = 0;
            HASH_computeDigest(buffer + kHeader, uint32_t(data), digest, &dl, 11);
            shaOurs.add(since(c));
        }
    }
    free(buffer);
    unlink(slot.c_str());
    if (!good) {
        fprintf(stderr, "boot path check failed\n");
        return 1;
    }

    printf("Boot path check of a %zu MiB slot image in the page cache (%s), %d interleaved "
           "rounds\n",
           mib, dir.c_str(), rounds);
    printf("milliseconds: thread CPU time median [min .. max], wall-clock median; the boot path\n"
           "reads into a fresh allocation (page faults included), the peers run over a warm "
           "buffer\n");
    for (const Series* s : {&read, &readFresh, &fused, &verify, &write, &ours, &crcZlib, &shaOssl,
                            &sum, &crcOurs, &shaOurs}) {
        printf("  %-34s %8.2f [%7.2f .. %7.2f]  wall %8.2f\n", s->name, 1e3 * median(s->cpu),
               1e3 * lowest(s->cpu), 1e3 * highest(s->cpu), 1e3 * median(s->wall));
    }
    std::vector<double> ratio;
    for (size_t i = 0; i < ours.cpu.size(); i++) ratio.push_back(ours.cpu[i] / sum.cpu[i]);
    printf("  boot path / (zlib crc32 + scalar OpenSSL SHA-256): median %.2fx [%.2f .. %.2f]\n",
           median(ratio), lowest(ratio), highest(ratio));
    ratio.clear();
    for (size_t i = 0; i < ours.cpu.size(); i++)
        ratio.push_back((fused.cpu[i] + verify.cpu[i]) / sum.cpu[i]);
    printf("  without the tarball write:                        median %.2fx [%.2f .. %.2f]\n",
           median(ratio), lowest(ratio), highest(ratio));
    printf("OpenSSL scalar: OPENSSL_ia32cap=%s\n", kScalarMask);

    // install throughput: 64 KiB writes, fsync, rename over the slot name
    std::vector<uint8_t> chunk(64 << 10);
    for (size_t i = 0; i < chunk.size(); i++) chunk[i] = uint8_t(i * 131 + 7);
    std::vector<double> mbps;
    std::string temporary = slot + ".new";
    for (int round = 0; round < 3; round++) {
        Clock c;
        int out = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        bool ok = out >= 0;
        for (size_t done = 0; ok && done < total; done += chunk.size()) {
            ok = writeAll(out, chunk.data(), chunk.size());
        }
        ok = ok && fsync(out) == 0;
        if (out >= 0) ok = close(out) == 0 && ok;
        ok = ok && rename(temporary.c_str(), slot.c_str()) == 0;
        Span s = since(c);
        if (!ok) {
            perror("install");
            break;
        }
        mbps.push_back(double(total) / 1e6 / s.wall);
        unlink(slot.c_str());
    }
    printf("Install of a %zu MiB slot file (64 KiB writes, fsync, rename): median %.1f MB/s "
           "[%.1f .. %.1f] wall-clock\n",
           mib, median(mbps), lowest(mbps), highest(mbps));
    return 0;
}
