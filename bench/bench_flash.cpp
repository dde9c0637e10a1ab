// Throughput of a 10 MiB flash write (progress off) into the emulated rfs
// partition of a temporary board, against a plain 10 MiB file write as the
// floor set by the file system underneath.
#include "board/mtd.h"
#include "sandbox/emu.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t kSize = 10u * 1024 * 1024;
constexpr int kRounds = 5;

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double mib_per_s(double seconds) {
    return (kSize / (1024.0 * 1024.0)) / seconds;
}

} // namespace

int main() {
    std::string dir = emu_make_temp_board("BENCH0000001", 65536);
    if (dir.empty()) {
        fprintf(stderr, "cannot create a temporary board\n");
        return 1;
    }
    mtd_open_partitions();

    std::vector<uint8_t> image(kSize);
    uint32_t x = 0x12345678;
    for (auto& b : image) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }

    std::vector<double> flash_times, file_times;
    for (int round = 0; round < kRounds; ++round) {
        auto start = std::chrono::steady_clock::now();
        if (mtd_write(image.data(), mtd_rfs, 0, kSize, false) != 0) {
            fprintf(stderr, "mtd_write failed\n");
            emu_remove_board(dir);
            return 1;
        }
        flash_times.push_back(seconds_since(start));

        std::string plain = dir + "/user/plain.bin";
        start = std::chrono::steady_clock::now();
        int fd = open(plain.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        size_t done = 0;
        while (fd >= 0 && done < image.size()) {
            ssize_t w = write(fd, image.data() + done, image.size() - done);
            if (w <= 0) break;
            done += static_cast<size_t>(w);
        }
        if (fd >= 0) close(fd);
        file_times.push_back(seconds_since(start));
    }

    // Check what landed.
    std::vector<uint8_t> back(kSize);
    bool same = mtd_read(back.data(), mtd_rfs, 0, kSize) == 0 && back == image;
    emu_remove_board(dir);

    std::sort(flash_times.begin(), flash_times.end());
    std::sort(file_times.begin(), file_times.end());
    double flash = flash_times[kRounds / 2], file = file_times[kRounds / 2];
    printf("flash write 10 MiB (rfs, 64 KiB blocks, progress off): median %.1f ms, %.1f MiB/s "
           "(best %.1f MiB/s)\n",
           flash * 1000, mib_per_s(flash), mib_per_s(flash_times.front()));
    printf("plain file write 10 MiB:                               median %.1f ms, %.1f MiB/s\n",
           file * 1000, mib_per_s(file));
    printf("ratio flash / plain file time: %.1f x; data verified: %s\n", flash / file,
           same ? "yes" : "NO");
    return same ? 0 : 1;
}
