// Shared test helpers without any dependency beyond the standard library and
// GoogleTest: hex text, DER builders, whole files and captured standard output.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

namespace testutil {

using Bytes = std::vector<uint8_t>;

// Lower-case hex of n bytes.
inline std::string hexOf(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}
inline std::string hexOf(const Bytes& b) {
    return hexOf(b.data(), b.size());
}

// Bytes of a hex text (pairs of digits; a trailing odd digit is ignored).
inline Bytes unhex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// The data of a buffer, or none when it is empty (optional inputs of the toolkit).
inline const uint8_t* orNull(const Bytes& b) {
    return b.empty() ? nullptr : b.data();
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// DER length octets: short form below 128, long form above.
inline Bytes lengthOctets(size_t n) {
    if (n < 0x80) return {static_cast<uint8_t>(n)};
    Bytes out;
    for (size_t v = n; v != 0; v >>= 8) out.insert(out.begin(), static_cast<uint8_t>(v));
    out.insert(out.begin(), static_cast<uint8_t>(0x80 | out.size()));
    return out;
}

// One DER item: identifier, definite length, content.
inline Bytes tlv(uint8_t id, const Bytes& content) {
    return cat({{id}, lengthOctets(content.size()), content});
}

inline std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
inline Bytes readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Runs f with standard output captured; returns what it printed.
template <typename F> std::string captureStdout(F&& f) {
    testing::internal::CaptureStdout();
    f();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

} // namespace testutil
