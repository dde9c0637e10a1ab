// Image CRC throughput against zlib's crc32 over a 64 MiB buffer.
// The image CRC is the bitwise complement of zlib's CRC-32; both run table-driven.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>
#include <zlib.h>

#include "image/image.h"

namespace {

template <typename F> double best_seconds(int rounds, F&& run) {
    double best = 1e30;
    for (int i = 0; i < rounds; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        run();
        std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
        if (d.count() < best) best = d.count();
    }
    return best;
}

} // namespace

int main(int argc, char** argv) {
    size_t mib = argc > 1 ? strtoul(argv[1], nullptr, 10) : 64;
    int rounds = argc > 2 ? atoi(argv[2]) : 5;
    if (mib == 0 || rounds <= 0) return 2;
    std::vector<uint8_t> buffer(mib << 20);
    std::mt19937_64 rng(12345);
    for (size_t i = 0; i + 8 <= buffer.size(); i += 8) {
        uint64_t v = rng();
        for (int k = 0; k < 8; ++k) buffer[i + k] = uint8_t(v >> (8 * k));
    }

    volatile uint32_t sink = 0;
    uint32_t ours = 0, theirs = 0;
    double t_ours = best_seconds(rounds, [&] {
        ours = image_crc32(buffer.data(), buffer.size(), IMAGE_CRC_START);
        sink = ours;
    });
    double t_zlib = best_seconds(rounds, [&] {
        uLong c = crc32(0L, Z_NULL, 0);
        const uint8_t* p = buffer.data();
        size_t left = buffer.size();
        while (left) { // zlib takes a uInt count
            uInt n = left > (1u << 30) ? (1u << 30) : uInt(left);
            c = crc32(c, p, n);
            p += n;
            left -= n;
        }
        theirs = uint32_t(c);
        sink = theirs;
    });
    (void)sink;
    double mb = double(buffer.size()) / 1e6;
    bool same = ours == uint32_t(~theirs);
    printf("buffer %zu MiB, best of %d rounds\n", mib, rounds);
    printf("image_crc32 : %9.1f MB/s  (0x%08X)\n", mb / t_ours, ours);
    printf("zlib crc32  : %9.1f MB/s  (0x%08X, complement 0x%08X)\n", mb / t_zlib, theirs, ~theirs);
    printf("ratio image_crc32 / zlib : %.2f\n", t_zlib / t_ours);
    printf("results %s\n", same ? "agree" : "DIFFER");
    return same ? 0 : 1;
}
