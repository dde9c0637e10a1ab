// Known-answer data of the tests (keys, signatures, ciphertexts) under
// tests/data, read at run time. BOOTMGR_TEST_DATA overrides the directory
// (a cross-built test run under qemu on another machine, for example).
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/common/bytes.h"

namespace testutil {

inline std::string dataPath(const std::string& name) {
    const char* dir = std::getenv("BOOTMGR_TEST_DATA");
#ifdef BOOTMGR_TEST_DATA_DIR
    if (!dir || !*dir) dir = BOOTMGR_TEST_DATA_DIR;
#endif
    return std::string(dir ? dir : "tests/data") + "/" + name;
}

// The bytes of a data file; fails the test when it is missing or empty.
inline Bytes dataFile(const std::string& name) {
    Bytes b = readBytes(dataPath(name));
    EXPECT_FALSE(b.empty()) << "missing test data " << dataPath(name);
    return b;
}

// Writes a whole file (created or truncated).
inline void writeBytes(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    EXPECT_TRUE(out.good()) << "cannot write " << path;
}

} // namespace testutil
