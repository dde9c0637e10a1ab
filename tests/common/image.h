// Images built by hand for the tests: layout 1 (the 16-byte header, then the
// data) and layout 3 (header records between the header and the data).
#pragma once

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

} // namespace testutil
