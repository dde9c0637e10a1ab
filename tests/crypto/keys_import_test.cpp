// Public key import: the rows of tests/data/crypto/keys.txt (PEM and DER forms, key blobs,
// hostile inputs), KeyObject operations and the import trace.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "crypto/asn1/keys.h"
#include "crypto/platform/platform.h"
#include "crypto/vlong/rsa.h"
#include "tests/common/rows.h"
#include "tests/common/vlong_bytes.h"

namespace {

using namespace testutil;

// Owns what the toolkit hands out.
struct Blob {
    uint8_t* data = nullptr;
    uint32_t length = 0;
    ~Blob() {
        if (data != nullptr) PLATFORM_free(data);
    }
};
struct Key {
    KeyObject k;
    Key() { KEY_init(&k); }
    ~Key() { KEY_release(&k); }
    const RsaKey* rsa() const { return static_cast<const RsaKey*>(k.key); }
};

class KeyImport : public testing::TestWithParam<Row> {
  protected:
    void SetUp() override { ASSERT_EQ(OK, BASE64_initTable()); }
};

TEST_P(KeyImport, Row) {
    const Row& r = GetParam();
    SCOPED_TRACE(r.where);
    const Bytes in = r[2][0] == '@' ? dataFile("crypto/keys/" + r[2].substr(1)) : r.hex(2);
    static const uint8_t none = 0;
    const uint8_t* text = in.empty() ? &none : in.data();
    const uint32_t length = uint32_t(in.size());
    const Bytes written = r[7] == "=" ? in : r.hex(7);
    Key key;
    Blob blob;
    MSTATUS status;
    if (r[0] == "convert") {
        status = CA_MGMT_convertPublicKey(text, length, &key.k);
    } else if (r[0] == "blob") {
        // A key already held is released first.
        const Bytes small = unhex("0000000000000001000000010100000000010300000001c5");
        ASSERT_EQ(OK, KEYBLOB_toKey(small.data(), uint32_t(small.size()), &key.k));
        status = KEYBLOB_toKey(text, length, &key.k);
    } else {
        status = (r[0] == "pem" ? KEYBLOB_fromPem : KEYBLOB_fromDer)(text, length, &blob.data,
                                                                     &blob.length);
        if (status == OK) {
            EXPECT_BYTES(written, Bytes(blob.data, blob.data + blob.length));
            ASSERT_EQ(OK, KEYBLOB_toKey(blob.data, blob.length, &key.k));
        }
    }
    ASSERT_EQ(r.num(3), status);
    if (status != OK) {
        EXPECT_EQ(KEY_TYPE_EMPTY, key.k.type);
        EXPECT_EQ(nullptr, key.k.key);
        EXPECT_EQ(nullptr, blob.data);
        return;
    }
    ASSERT_EQ(KEY_TYPE_RSA, key.k.type);
    EXPECT_BYTES(r.hex(4), vlongBytes(key.rsa()->n));
    EXPECT_BYTES(r.hex(5), vlongBytes(key.rsa()->e));
    EXPECT_EQ(r.num(6), long(key.rsa()->privateKey));
    if (written.empty()) return;
    // A deep copy outlives the original and writes the expected blob.
    Key copy;
    ASSERT_EQ(OK, KEY_copy(&copy.k, &key.k));
    EXPECT_NE(copy.k.key, key.k.key);
    EXPECT_TRUE(!key.rsa()->privateKey || copy.rsa()->p != key.rsa()->p);
    ASSERT_EQ(OK, KEY_release(&key.k));
    Blob again;
    ASSERT_EQ(OK, KEYBLOB_fromKey(&copy.k, &again.data, &again.length));
    EXPECT_BYTES(written, Bytes(again.data, again.data + again.length));
}
INSTANTIATE_TEST_SUITE_P(Table, KeyImport, testing::ValuesIn(rows("crypto/keys.txt")), rowName);

TEST(KeyObject, OperationsAndNullArguments) {
    KeyObject k{7, &k};
    EXPECT_EQ(ERR_BAD_KEY_TYPE, KEY_release(&k));
    EXPECT_EQ(7u, k.type);
    EXPECT_EQ(&k, k.key);
    Key dst, key, empty;
    Blob blob;
    EXPECT_EQ(ERR_BAD_KEY_TYPE, KEY_copy(&dst.k, &k));
    for (uint32_t type : {7u, uint32_t(KEY_TYPE_EMPTY), uint32_t(KEY_TYPE_ECC)}) {
        k.type = type;
        EXPECT_EQ(ERR_BAD_KEY_BLOB_TYPE, KEYBLOB_fromKey(&k, &blob.data, &blob.length)) << type;
    }
    k.type = KEY_TYPE_EMPTY;
    EXPECT_EQ(OK, KEY_release(&k));
    EXPECT_EQ(ERR_NULL_POINTER, KEY_release(nullptr));
    EXPECT_EQ(ERR_NULL_POINTER, KEY_init(nullptr));

    const Bytes n(256, 0xC5);
    const uint8_t even[] = {0x10}, odd[] = {0x0B};
    EXPECT_EQ(ERR_BAD_EXPONENT, KEY_setRsa(&key.k, 1, n.data(), 256, nullptr, 0, nullptr, 0));
    ASSERT_EQ(OK, KEY_setRsa(&key.k, 65537, n.data(), 256, nullptr, 0, nullptr, 0));
    const void* record = key.k.key;
    ASSERT_EQ(OK, KEY_setRsa(&key.k, 3, n.data(), 256, nullptr, 0, nullptr, 0));
    EXPECT_EQ(record, key.k.key); // an RSA object keeps its record
    EXPECT_EQ(0, VLONG_compareUnsigned(key.rsa()->e, 3));
    EXPECT_EQ(ERR_RSA_NOT_RSA_KEY, KEY_setRsa(&key.k, 3, n.data(), 256, even, 1, odd, 1));
    EXPECT_EQ(ERR_RSA_NOT_RSA_KEY, KEY_setRsa(&key.k, 3, n.data(), 256, odd, 1, odd, 1));
    ASSERT_EQ(OK, KEY_copy(&key.k, &empty.k)); // copying an empty object empties the target
    EXPECT_EQ(KEY_TYPE_EMPTY, key.k.type);
    EXPECT_EQ(nullptr, key.k.key);
    ASSERT_EQ(OK, KEY_makeRsa(&key.k));
    EXPECT_EQ(KEY_TYPE_RSA, key.k.type);
    EXPECT_NE(nullptr, key.k.key);

    EXPECT_EQ(ERR_NULL_POINTER, KEYBLOB_toKey(nullptr, 10, &key.k));
    EXPECT_EQ(ERR_NULL_POINTER, KEYBLOB_toKey(n.data(), 10, nullptr));
    EXPECT_EQ(ERR_NULL_POINTER, CA_MGMT_convertPublicKey(nullptr, 10, &key.k));
    ASSERT_EQ(OK, BASE64_initTable());
    const Bytes pem = dataFile("crypto/keys/public2048.pem");
    EXPECT_EQ(OK, CA_MGMT_convertPublicKey(pem.data(), uint32_t(pem.size()), nullptr)); // checks
}

TEST(KeyImportTrace, AtLevelFour) {
    ASSERT_EQ(OK, BASE64_initTable());
    const Bytes pem = dataFile("crypto/keys/private512.pem");
    const uint32_t saved = g_debugLevelMask;
    std::string expected = "CA_MGMT_convertPublicKey: key type = 1, private key = 1\r\n"
                           "Modulus: length = 64\r\n";
    const Bytes n = rows("crypto/keys/numbers.txt", "num")[0].hex(2);
    char hex[4];
    for (size_t i = 0; i < n.size(); ++i) {
        snprintf(hex, sizeof hex, "%02x ", n[i]);
        expected += hex + std::string(i % 16 == 15 ? "\r\n" : "");
    }
    expected += "Exponent: length = 3\r\n01 00 01 \r\n";
    for (uint32_t mask : {0u, 4u}) {
        g_debugLevelMask = DEBUG_DEFAULT_MASK | mask;
        Key key;
        testing::internal::CaptureStdout();
        EXPECT_EQ(OK, CA_MGMT_convertPublicKey(pem.data(), uint32_t(pem.size()), &key.k));
        EXPECT_EQ(mask ? expected : "", testing::internal::GetCapturedStdout());
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(ERR_NULL_POINTER, CA_MGMT_convertPublicKey(nullptr, 0, nullptr));
    EXPECT_EQ("CA_MGMT_convertPublicKey: status = -6001\r\n",
              testing::internal::GetCapturedStdout());
    g_debugLevelMask = saved;
}

} // namespace
