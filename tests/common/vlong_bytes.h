// Big-endian magnitude of a vlong, for comparisons in tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "crypto/vlong/vlong.h"

namespace testutil {

inline std::vector<uint8_t> vlongBytes(const vlong* v) {
    int32_t n = 0;
    EXPECT_EQ(OK, VLONG_byteStringFromVlong(v, nullptr, &n));
    std::vector<uint8_t> out(static_cast<size_t>(n));
    if (n > 0) {
        EXPECT_EQ(OK, VLONG_byteStringFromVlong(v, out.data(), &n));
    }
    return out;
}

} // namespace testutil
