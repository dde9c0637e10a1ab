// Packages for the installer tests, written compactly, and a board the installer runs on.
#pragma once

#include <string>
#include <sys/stat.h>
#include <vector>

#include "board/i2c.h"
#include "board/mtd.h"
#include "boot/env.h"
#include "crypto/random/random.h"
#include "image/install.h"
#include "security/signature.h"
#include "tests/common/board.h"
#include "tests/common/data.h"
#include "tests/common/image.h"

namespace testutil {

inline std::vector<std::string> splitAt(const std::string& s, char c) {
    std::vector<std::string> parts;
    for (size_t from = 0, to; from <= s.size(); from = to + 1) {
        to = std::min(s.find(c, from), s.size());
        parts.push_back(s.substr(from, to - from));
    }
    return parts;
}

// The payloads whose production signatures lie in tests/data/install (make_signatures.py).
inline Bytes payload(int seed, size_t size) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) b[i] = uint8_t(7 * (i % 251) + seed);
    return b;
}

// Sub-images joined by '+': "S,T,ID,SEED,SIZE[,SIG]" layout 3 over payload(SEED, SIZE) with
// the signature tests/data/install/SIG.sig (SEED-SIZE by default), "P,T,ID,SEED,SIZE" layout
// 1, "F,NAME" tests/data/strict/NAME.img, "Z,N" N zero bytes; T is the type word's top byte.
// Edits follow, each after '!': "cN" cut to N bytes, "xOFF" bit 0 flipped (OFF < 0 from the
// end), "wOFF=HEX" bytes written, "sAT:CUT:HEX" header bytes replaced (H and the length
// follow), "f" the CRC set again.
inline Bytes package(const std::string& recipe, std::vector<Bytes>* parts = nullptr) {
    Bytes out;
    for (const std::string& sub : splitAt(recipe, '+')) {
        const std::vector<std::string> edits = splitAt(sub, '!'), f = splitAt(edits[0], ',');
        Bytes img = f[0] == "F" ? dataFile("strict/" + f[1] + ".img") : Bytes(std::stoul(f[1]));
        if (f[0] == "S" || f[0] == "P") {
            const uint32_t type = uint32_t(std::stoul(f[1], nullptr, 0) << 24 | IMAGE_TYPE_SUFFIX);
            const uint32_t id = uint32_t(std::stoul(f[2], nullptr, 0));
            const Bytes data = payload(std::stoi(f[3]), std::stoul(f[4], nullptr, 0));
            const std::string sig = "install/" + (f.size() > 5 ? f[5] : f[3] + "-" + f[4]) + ".sig";
            img = f[0] == "P" ? plainImage(type, data, id)
                              : image3(type, id, sigRecord(dataFile(sig)), data);
        }
        for (size_t i = 1; i < edits.size(); ++i) {
            const char op = edits[i][0];
            const std::vector<std::string> a = splitAt(edits[i].substr(1), op == 'w' ? '=' : ':');
            const long at = a[0].empty() ? 0 : std::stol(a[0], nullptr, 0);
            const long off = at < 0 ? long(img.size()) + at : at;
            const Bytes with = a.size() < 2 ? Bytes() : hexSpec(a.back());
            if (op == 'c') img.resize(size_t(off));
            if (op == 'x') img[size_t(off)] ^= 1;
            if (op == 'w') std::copy(with.begin(), with.end(), img.begin() + off);
            if (op == 's') {
                const uint32_t cut = uint32_t(std::stoul(a[1])), grow = uint32_t(with.size()) - cut;
                img.erase(img.begin() + off, img.begin() + off + long(cut));
                img.insert(img.begin() + off, with.begin(), with.end());
                image_put_be32(&img[4], image_get_be32(&img[4]) + grow);
                image_put_be16(&img[22], uint16_t(image_get_be16(&img[22]) + grow));
            }
            if (op == 'f') fixCrc(img);
        }
        if (parts) parts->push_back(img);
        out.insert(out.end(), img.begin(), img.end());
    }
    return out;
}

// The file root (and so the slot directory) on a temporary board, the host hooked, the devices
// open; install() runs a package from /tmp/pkg with `input` on standard input.
struct InstallBoard : testing::Test {
    TempBoard board;
    HostHooks hooks;
    FileRootAt root{board.dir};
    std::string images = board.path("user/images");
    uint8_t result = 0xEE;

    void SetUp() override {
        mkdir(board.path("tmp").c_str(), 0755);
        boot_env_flags = {};
        i2c_open_buses();
        mtd_open_partitions();
        developer_images_reset();
        TOOLKIT_initialize();
    }
    void TearDown() override { freopen("/dev/null", "r", stdin); }
    std::string install(const Bytes& package, const std::string& input = "", uint8_t same = 0,
                        uint32_t slot = 1) {
        writeBytes(board.path("tmp/pkg"), package);
        std::ofstream(board.path("tmp/input")) << input;
        freopen(board.path("tmp/input").c_str(), "r", stdin);
        return captureStdout([&] { result = image_install_package("/tmp/pkg", same, slot); });
    }
};

} // namespace testutil
