// Fixed RSA test keys of 1024, 2048 and 4096 bits (PKCS #8 PEM in tests/data/crypto/keys, made
// once with OpenSSL), shared by the oracle tests and the benchmarks so that neither spends its time
// on key generation. Read from BOOTMGR_TEST_DATA, the build's data folder, the source tree next to
// this header, or tests/data under the current folder, whichever has them first.
#pragma once
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace testutil {

struct TestKeyPems {
    // The PEM text of the key of that size; empty when no folder holds it.
    const char* at(int bits) const {
        static std::map<int, std::string> texts;
        std::string& text = texts[bits];
        const char* env = std::getenv("BOOTMGR_TEST_DATA");
        const std::string here = __FILE__;
        const std::string dirs[] = {env ? env : "",
#ifdef BOOTMGR_TEST_DATA_DIR
                                    BOOTMGR_TEST_DATA_DIR,
#endif
                                    here.substr(0, here.rfind('/') + 1) + "../data", "tests/data"};
        for (const std::string& dir : dirs) {
            if (!text.empty() || dir.empty()) continue;
            std::ostringstream s;
            s << std::ifstream(dir + "/crypto/keys/test" + std::to_string(bits) + ".pem").rdbuf();
            text = s.str();
        }
        return text.c_str();
    }
};
inline const TestKeyPems kTestKeyPem;

} // namespace testutil
