// Images built by hand for the tests: layout 1 (the 16-byte header, then the
// data) and layout 3 (header records between the header and the data).
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "image/image.h"
#include "tests/common/bytes.h"

namespace testutil {

inline void fixCrc(Bytes& image) {
    image_put_be32(image.data(), image_crc32(image.data() + 4, image.size() - 4, IMAGE_CRC_START));
}

inline Bytes plainImage(uint32_t type, const Bytes& data, uint32_t id = 0x01000001) {
    Bytes image = cat({Bytes(16, 0), data});
    image_put_be32(&image[4], uint32_t(data.size()));
    image_put_be32(&image[8], type);
    image_put_be32(&image[12], id);
    fixCrc(image);
    return image;
}

inline Bytes image3(uint32_t type, uint32_t id, const Bytes& records, const Bytes& data) {
    const uint32_t h = uint32_t(24 + records.size());
    Bytes image = cat({Bytes(24, 0), records, data});
    image_put_be32(&image[4], uint32_t(h + data.size() - 16));
    image_put_be32(&image[8], type);
    image_put_be32(&image[12], id);
    image_put_be32(&image[16], IMAGE_HDR3_MAGIC);
    image_put_be16(&image[22], uint16_t(h));
    fixCrc(image);
    return image;
}

// A header record as stored: tag, length (the true one unless given), body.
inline Bytes record(uint16_t tag, const Bytes& body, int length = -1) {
    const uint16_t n = uint16_t(length >= 0 ? length : int(4 + body.size()));
    return cat({{uint8_t(tag >> 8), uint8_t(tag), uint8_t(n >> 8), uint8_t(n)}, body});
}
inline Bytes sigRecord(const Bytes& signature) {
    const uint16_t n = uint16_t(signature.size());
    return record(IMAGE_TAG_SIGNATURE, cat({{uint8_t(n >> 8), uint8_t(n)}, signature}));
}

// Bytes written compactly: hex, "HH*N" (N times), "-" (none), parts joined by `join`.
inline Bytes hexSpec(const std::string& text, char join = '.') {
    Bytes out;
    if (text == "-") return out;
    for (size_t from = 0; from <= text.size();) {
        size_t to = std::min(text.find(join, from), text.size());
        const std::string part = text.substr(from, to - from);
        const size_t star = part.find('*');
        Bytes b = unhex(part.substr(0, star));
        if (star != std::string::npos)
            b.assign(std::stoul(part.substr(star + 1), nullptr, 0), b[0]);
        out.insert(out.end(), b.begin(), b.end());
        from = to + 1;
    }
    return out;
}

// Sub-images from a recipe, joined by '+'; each one "LAYOUT,TYPE,DATA_LENGTH[,RECORD...]" with
// TYPE a k r d (kernel, rfs, application, diagnostics) or a number, data bytes i * 7 + 3, and
// layout-3 records "TAG:BODY[:STORED_LENGTH]" (BODY by hexSpec; "sHH*N" a signature body of
// N bytes HH); "h:HEX" raw bytes. A part or record ending "^N" is repeated N times; "!OFF=HEX"
// overwrites bytes of the sub-image after its CRC was set.
inline Bytes imageRecipe(const std::string& recipe) {
    Bytes out;
    if (recipe == "-") return out;
    auto split = [](const std::string& s, char c) {
        std::vector<std::string> parts;
        for (size_t from = 0, to; from <= s.size(); from = to + 1) {
            to = std::min(s.find(c, from), s.size());
            parts.push_back(s.substr(from, to - from));
        }
        return parts;
    };
    auto repeat = [](std::string& s) {
        size_t caret = s.rfind('^');
        if (s.find(',', caret) != std::string::npos) caret = std::string::npos; // a record's
        const size_t n = caret == std::string::npos ? 1 : std::stoul(s.substr(caret + 1));
        s = s.substr(0, caret);
        return n;
    };
    for (std::string sub : split(recipe, '+')) {
        const size_t times = repeat(sub);
        std::vector<std::string> patches = split(sub, '!');
        std::vector<std::string> f = split(patches[0], ',');
        Bytes img;
        if (f[0].rfind("h:", 0) == 0) {
            img = hexSpec(f[0].substr(2));
        } else {
            const int layout = std::stoi(f[0]);
            const std::string t = f[1];
            uint32_t type = t == "k"   ? IMAGE_TYPE_KERNEL
                            : t == "r" ? IMAGE_TYPE_RFS
                            : t == "a" ? IMAGE_TYPE_APPLICATION
                            : t == "d" ? IMAGE_TYPE_DIAGNOSTICS
                                       : uint32_t(std::stoul(t, nullptr, 0));
            Bytes records;
            for (size_t i = 3; i < f.size(); ++i) {
                const size_t n = repeat(f[i]);
                std::vector<std::string> r = split(f[i], ':');
                Bytes body = hexSpec(r[1][0] == 's' ? r[1].substr(1) : r[1]);
                if (r[1][0] == 's')
                    body = cat({{uint8_t(body.size() >> 8), uint8_t(body.size())}, body});
                for (size_t k = 0; k < n; ++k)
                    records = cat(
                        {records, record(uint16_t(std::stoul(r[0], nullptr, 0)), body,
                                         r.size() > 2 ? int(std::stoul(r[2], nullptr, 0)) : -1)});
            }
            const uint32_t h = layout == 1 ? 16 : layout == 2 ? 32 : uint32_t(24 + records.size());
            Bytes data(std::stoul(f[2], nullptr, 0));
            for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + 3);
            img = cat({Bytes(h - records.size(), 0), records, data});
            image_put_be32(&img[4], uint32_t(layout == 3 ? h + data.size() - 16 : data.size()));
            image_put_be32(&img[8], layout == 2 ? type | IMAGE_MAGIC_LAYOUT2 : type);
            if (layout == 2) {
                image_put_be16(&img[16], 0xBEEF);
                image_put_be16(&img[18], uint16_t(h));
            } else if (layout == 3) {
                image_put_be32(&img[16], IMAGE_HDR3_MAGIC);
                image_put_be16(&img[20], 0x1234);
                image_put_be16(&img[22], uint16_t(h));
            }
            fixCrc(img);
        }
        for (size_t i = 1; i < patches.size(); ++i) {
            const size_t eq = patches[i].find('=');
            Bytes b = hexSpec(patches[i].substr(eq + 1));
            std::copy(b.begin(), b.end(),
                      img.begin() + long(std::stoul(patches[i].substr(0, eq), nullptr, 0)));
        }
        for (size_t k = 0; k < times; ++k) out.insert(out.end(), img.begin(), img.end());
    }
    return out;
}

} // namespace testutil
