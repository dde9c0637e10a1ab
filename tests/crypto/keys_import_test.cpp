// Public key import: PEM and DER RSA forms, key blobs, KeyObject and the import trace.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/asn1/keys.h"
#include "crypto/platform/platform.h"
#include "crypto/vlong/rsa.h"
#include "tests/common/rows.h"
#include "tests/common/vlong_bytes.h"

namespace {

using namespace testutil;

// Key material of tests/data/crypto/keys (made once with OpenSSL): a 2048-bit RSA public key as
// SubjectPublicKeyInfo in PEM and DER (the DER holds the RSAPublicKey from byte 24 on), a 512-bit
// RSAPrivateKey with its numbers, an elliptic-curve public key.
std::string pemFile(const char* name) {
    const Bytes b = readBytes(dataPath(std::string("crypto/keys/") + name));
    return std::string(b.begin(), b.end());
}
Bytes number(const char* name) {
    for (const Row& r : rows("crypto/keys/numbers.txt")) {
        if (r[1] == name) return r.hex(2);
    }
    // missing: the tests using it fail on empty bytes
    return {};
}
const std::string pem2048 = pemFile("public2048.pem"), pemPrivate512 = pemFile("private512.pem"),
                  pemEc = pemFile("ec.pem");
const char* const kPem2048 = pem2048.c_str();
const char* const kPemPrivate512 = pemPrivate512.c_str();
const char* const kPemEc = pemEc.c_str();
const Bytes der2048 = number("public2048");
const Bytes n512 = number("n"), p512 = number("p"), q512 = number("q");
const Bytes dp512 = number("dp"), dq512 = number("dq"), qInv512 = number("qinv");

const uint8_t* u8(const char* s) {
    return reinterpret_cast<const uint8_t*>(s);
}
uint32_t len(const char* s) {
    return static_cast<uint32_t>(strlen(s));
}

const RsaKey* rsaOf(const KeyObject& k) {
    return static_cast<const RsaKey*>(k.key);
}

const Bytes kRsaAlgorithm = tlv(
    0x30, cat({tlv(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01}), {0x05, 0x00}}));

Bytes spki(const Bytes& algorithm, const Bytes& modulus, const Bytes& exponent) {
    const Bytes key = tlv(0x30, cat({tlv(0x02, modulus), tlv(0x02, exponent)}));
    return tlv(0x30, cat({algorithm, tlv(0x03, cat({{0x00}, key}))}));
}

Bytes modulusOf2048() {
    return Bytes(der2048.begin() + 33, der2048.begin() + 33 + 256);
}

// Owns what the toolkit hands out.
struct Blob {
    uint8_t* data = nullptr;
    uint32_t length = 0;
    ~Blob() {
        if (data != nullptr) PLATFORM_free(data);
    }
    Bytes bytes() const { return Bytes(data, data + length); }
};

struct Key {
    KeyObject k;
    Key() { KEY_init(&k); }
    ~Key() { KEY_release(&k); }
};

MSTATUS derToBlob(const Bytes& der, Blob* blob) {
    return KEYBLOB_fromDer(der.data(), static_cast<uint32_t>(der.size()), &blob->data,
                           &blob->length);
}

MSTATUS importDer(const Bytes& der, KeyObject* key) {
    return CA_MGMT_convertPublicKey(der.data(), static_cast<uint32_t>(der.size()), key);
}

// Splits a new-form RSA blob into its fields.
std::vector<Bytes> blobFields(const Bytes& blob) {
    std::vector<Bytes> fields;
    size_t at = 14;
    while (at + 4 <= blob.size()) {
        const size_t n = (size_t(blob[at]) << 24) | (size_t(blob[at + 1]) << 16) |
                         (size_t(blob[at + 2]) << 8) | blob[at + 3];
        at += 4;
        if (at + n > blob.size()) break;
        fields.push_back(Bytes(blob.begin() + at, blob.begin() + at + n));
        at += n;
    }
    return fields;
}

void putU32(Bytes& b, uint32_t v) {
    b.insert(b.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
}

Bytes rsaBlob(uint8_t format, uint8_t isPrivate, std::initializer_list<Bytes> fields) {
    Bytes b;
    putU32(b, 0);
    putU32(b, 1);
    putU32(b, 1);
    b.push_back(format);
    b.push_back(isPrivate);
    for (const Bytes& f : fields) {
        putU32(b, static_cast<uint32_t>(f.size()));
        b.insert(b.end(), f.begin(), f.end());
    }
    return b;
}

MSTATUS blobToKey(const Bytes& blob, KeyObject* key) {
    static const uint8_t nothing = 0;
    return KEYBLOB_toKey(blob.empty() ? &nothing : blob.data(), static_cast<uint32_t>(blob.size()),
                         key);
}

class KeyImport : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(BASE64_initTable(), OK); }
};

} // namespace

TEST_F(KeyImport, SystemKeyPemImports) {
    ASSERT_EQ(len(kPem2048), 451u);
    Blob blob;
    ASSERT_EQ(KEYBLOB_fromPem(u8(kPem2048), len(kPem2048), &blob.data, &blob.length), OK);
    ASSERT_EQ(blob.length, 281u);
    const Bytes head{0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 0, 0, 3, 1, 0, 1, 0, 0, 1, 0};
    EXPECT_EQ(Bytes(blob.data, blob.data + head.size()), head);
    EXPECT_EQ(Bytes(blob.data + 25, blob.data + 281), modulusOf2048());

    Key key;
    ASSERT_EQ(CA_MGMT_convertPublicKey(u8(kPem2048), len(kPem2048), &key.k), OK);
    ASSERT_EQ(key.k.type, KEY_TYPE_RSA);
    const RsaKey* rsa = rsaOf(key.k);
    EXPECT_EQ(rsa->privateKey, 0u);
    EXPECT_EQ(vlongBytes(rsa->n), modulusOf2048());
    EXPECT_EQ(VLONG_compareUnsigned(rsa->e, 65537), 0);
    int32_t modulusLength = 0;
    ASSERT_EQ(RSA_getModulusLength(rsa, &modulusLength), OK);
    EXPECT_EQ(modulusLength, 256);
    // Only checking.
    EXPECT_EQ(CA_MGMT_convertPublicKey(u8(kPem2048), len(kPem2048), nullptr), OK);
}

TEST_F(KeyImport, SameKeyInEveryForm) {
    // DER SubjectPublicKeyInfo and RSAPublicKey, and the PEM key with CR LF line ends and with
    // blank lines between its lines (RSAPublicKey in PEM is imported in the oracle tests).
    std::string crlf, blanks;
    for (const char* c = kPem2048; *c; ++c) {
        crlf += *c == '\n' ? std::string("\r\n") : std::string(1, *c);
        blanks += *c == '\n' ? std::string("\n  \n") : std::string(1, *c);
    }
    ASSERT_EQ(der2048.size(), 294u);
    const std::string forms[] = {std::string(der2048.begin(), der2048.end()),
                                 std::string(der2048.begin() + 24, der2048.end()), crlf, blanks};
    for (const std::string& text : forms) {
        Key key;
        ASSERT_EQ(CA_MGMT_convertPublicKey(u8(text.c_str()), uint32_t(text.size()), &key.k), OK)
            << text.size();
        ASSERT_EQ(key.k.type, KEY_TYPE_RSA);
        EXPECT_EQ(vlongBytes(rsaOf(key.k)->n), modulusOf2048());
        EXPECT_EQ(VLONG_compareUnsigned(rsaOf(key.k)->e, 65537), 0);
    }
    Blob fromPemAttempt; // DER is not PEM
    EXPECT_NE(KEYBLOB_fromPem(der2048.data(), uint32_t(der2048.size()), &fromPemAttempt.data,
                              &fromPemAttempt.length),
              OK);
    EXPECT_EQ(fromPemAttempt.data, nullptr);
}

TEST_F(KeyImport, BrokenPemReportsDerAttempt) {
    // Drop one base64 character: the PEM attempt fails with -6501, the DER attempt on the raw
    // text gives its own status (the armour's '-' reads as a constructed item of 45 bytes
    // whose children overrun it).
    std::string text = kPem2048;
    text.erase(text.find("MIIB"), 1);
    Blob blob;
    EXPECT_EQ(KEYBLOB_fromPem(u8(text.c_str()), uint32_t(text.size()), &blob.data, &blob.length),
              ERR_BASE64_BAD_INPUT);
    Key key;
    EXPECT_EQ(CA_MGMT_convertPublicKey(u8(text.c_str()), uint32_t(text.size()), &key.k),
              ERR_ASN_CHILD_OVERRUN);
    EXPECT_EQ(key.k.type, KEY_TYPE_EMPTY);
    EXPECT_EQ(CA_MGMT_convertPublicKey(nullptr, 10, &key.k), ERR_NULL_POINTER);
    EXPECT_EQ(CA_MGMT_convertPublicKey(u8(""), 0, &key.k), ERR_ASN_MALFORMED);
}

TEST_F(KeyImport, RsaPublicKeyFormRules) {
    // Exponent of five bytes, or not an INTEGER.
    Key bad;
    EXPECT_EQ(
        importDer(tlv(0x30, cat({tlv(0x02, {0x00, 0xC3}), tlv(0x02, {1, 0, 0, 0, 1})})), &bad.k),
        ERR_RSA_NOT_RSA_KEY);
    EXPECT_EQ(importDer(tlv(0x30, cat({tlv(0x02, {0x00, 0xC3}), tlv(0x04, {3})})), &bad.k),
              ERR_RSA_NOT_RSA_KEY);
    EXPECT_EQ(importDer(tlv(0x30, cat({tlv(0x02, {0x00, 0xC3}), tlv(0x02, {1})})), &bad.k),
              ERR_BAD_EXPONENT);
    EXPECT_EQ(importDer(tlv(0x30, tlv(0x02, {0x00, 0xC3})), &bad.k), ERR_RSA_NOT_RSA_KEY);
    EXPECT_EQ(importDer(tlv(0x31, cat({tlv(0x02, {0xC3}), tlv(0x02, {3})})), &bad.k),
              ERR_RSA_NOT_RSA_KEY);
    EXPECT_EQ(bad.k.type, KEY_TYPE_EMPTY);
}

TEST_F(KeyImport, SubjectPublicKeyInfoRules) {
    const Bytes n = modulusOf2048();
    // Leading zeros do not count toward the 512-byte limit.
    Bytes padded(300 + n.size(), 0);
    std::copy(n.begin(), n.end(), padded.begin() + 300);
    Key key;
    ASSERT_EQ(importDer(spki(kRsaAlgorithm, padded, {1, 0, 1}), &key.k), OK);
    EXPECT_EQ(vlongBytes(rsaOf(key.k)->n), n);
    Bytes max(512, 0xC5);
    Key largest;
    ASSERT_EQ(importDer(spki(kRsaAlgorithm, max, {3}), &largest.k), OK);
    EXPECT_EQ(vlongBytes(rsaOf(largest.k)->n).size(), 512u);
    EXPECT_EQ(VLONG_compareUnsigned(rsaOf(largest.k)->e, 3), 0);

    // Longer than 512 bytes: refused (reported through the RSAPublicKey fallback).
    Blob blob;
    EXPECT_EQ(derToBlob(spki(kRsaAlgorithm, Bytes(513, 0xC5), {3}), &blob), ERR_RSA_NOT_RSA_KEY);
    // Exponent of five bytes, exponent below 2, no exponent.
    EXPECT_EQ(derToBlob(spki(kRsaAlgorithm, n, {1, 0, 0, 0, 1}), &blob), ERR_RSA_NOT_RSA_KEY);
    Key one;
    EXPECT_EQ(importDer(spki(kRsaAlgorithm, n, {1}), &one.k), ERR_RSA_NOT_RSA_KEY);
    EXPECT_EQ(one.k.type, KEY_TYPE_EMPTY);
    // RSASSA-PSS (1.2.840.113549.1.1.10) is not rsaEncryption.
    const Bytes pss = tlv(0x30, tlv(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0A}));
    EXPECT_EQ(derToBlob(spki(pss, n, {1, 0, 1}), &blob), ERR_CERT_INVALID_OID);
    EXPECT_EQ(blob.data, nullptr);
}

TEST_F(KeyImport, EllipticCurveKeyRefused) {
    Blob blob;
    EXPECT_EQ(KEYBLOB_fromPem(u8(kPemEc), len(kPemEc), &blob.data, &blob.length),
              ERR_CERT_INVALID_OID);
    Key key;
    EXPECT_LT(CA_MGMT_convertPublicKey(u8(kPemEc), len(kPemEc), &key.k), 0);
    EXPECT_EQ(key.k.type, KEY_TYPE_EMPTY);
}

TEST_F(KeyImport, PrivateKeyPemAndBlobRoundTrip) {
    Blob blob;
    ASSERT_EQ(KEYBLOB_fromPem(u8(kPemPrivate512), len(kPemPrivate512), &blob.data, &blob.length),
              OK);
    const Bytes b = blob.bytes();
    ASSERT_GT(b.size(), 14u);
    EXPECT_EQ(b[12], 1);
    EXPECT_EQ(b[13], 1);
    const std::vector<Bytes> f = blobFields(b);
    ASSERT_EQ(f.size(), 9u);
    EXPECT_EQ(f[0], (Bytes{1, 0, 1}));
    EXPECT_EQ(f[1], n512);
    EXPECT_EQ(f[2], p512);
    EXPECT_EQ(f[3], q512);
    EXPECT_EQ(f[4], dp512);
    EXPECT_EQ(f[5], dq512);
    EXPECT_EQ(f[6], qInv512);
    EXPECT_FALSE(f[7].empty());
    EXPECT_FALSE(f[8].empty());

    Key key;
    ASSERT_EQ(blobToKey(b, &key.k), OK);
    EXPECT_EQ(rsaOf(key.k)->privateKey, 1u);
    ASSERT_NE(rsaOf(key.k)->montP, nullptr);
    ASSERT_NE(rsaOf(key.k)->montQ, nullptr);
    Blob again;
    ASSERT_EQ(KEYBLOB_fromKey(&key.k, &again.data, &again.length), OK);
    EXPECT_EQ(again.bytes(), b);

    // A copy is deep and serialises the same.
    Key copy;
    ASSERT_EQ(KEY_copy(&copy.k, &key.k), OK);
    EXPECT_NE(copy.k.key, key.k.key);
    EXPECT_NE(rsaOf(copy.k)->p, rsaOf(key.k)->p);
    ASSERT_EQ(KEY_release(&key.k), OK);
    Blob third;
    ASSERT_EQ(KEYBLOB_fromKey(&copy.k, &third.data, &third.length), OK);
    EXPECT_EQ(third.bytes(), b);

    // Empty Montgomery fields are rebuilt; a wrong one is refused.
    Key rebuilt;
    ASSERT_EQ(
        blobToKey(rsaBlob(1, 1, {f[0], f[1], f[2], f[3], f[4], f[5], f[6], {}, {}}), &rebuilt.k),
        OK);
    Blob fourth;
    ASSERT_EQ(KEYBLOB_fromKey(&rebuilt.k, &fourth.data, &fourth.length), OK);
    EXPECT_EQ(fourth.bytes(), b);
    Bytes wrong = f[7];
    wrong.back() ^= 2;
    EXPECT_EQ(blobToKey(rsaBlob(1, 1, {f[0], f[1], f[2], f[3], f[4], f[5], f[6], wrong, f[8]}),
                        &rebuilt.k),
              ERR_BAD_KEY_BLOB);
    EXPECT_EQ(rebuilt.k.type, KEY_TYPE_EMPTY);
}

TEST_F(KeyImport, PublicBlobRoundTrip) {
    Blob blob;
    ASSERT_EQ(derToBlob(der2048, &blob), OK);
    Key key;
    ASSERT_EQ(KEYBLOB_toKey(blob.data, blob.length, &key.k), OK);
    Blob again;
    ASSERT_EQ(KEYBLOB_fromKey(&key.k, &again.data, &again.length), OK);
    EXPECT_EQ(again.bytes(), blob.bytes());
    // Bytes after the last field are ignored.
    Bytes longer = blob.bytes();
    longer.insert(longer.end(), {1, 2, 3});
    ASSERT_EQ(blobToKey(longer, &key.k), OK);
    EXPECT_EQ(vlongBytes(rsaOf(key.k)->n), modulusOf2048());
}

TEST_F(KeyImport, HostileNewFormBlobs) {
    const Bytes e{1, 0, 1};
    const Bytes n = modulusOf2048();
    Key key;
    ASSERT_EQ(blobToKey(rsaBlob(1, 0, {e, n}), &key.k), OK);
    // Loading again releases the previous key first.
    ASSERT_EQ(blobToKey(rsaBlob(1, 0, {{3}, {0xC5}}), &key.k), OK);
    EXPECT_EQ(VLONG_compareUnsigned(rsaOf(key.k)->e, 3), 0);

    Bytes good = rsaBlob(1, 0, {e, n});
    struct Case {
        const char* what;
        Bytes blob;
        MSTATUS expected;
    };
    auto with = [&](size_t at, uint8_t v) {
        Bytes b = good;
        b[at] = v;
        return b;
    };
    const std::vector<Case> cases = {
        {"empty", {}, ERR_BAD_KEY_BLOB},
        {"three bytes", {0, 0, 0}, ERR_BAD_KEY_BLOB},
        {"short header", Bytes(good.begin(), good.begin() + 11), ERR_BAD_KEY_BLOB},
        {"no body", Bytes(good.begin(), good.begin() + 12), ERR_BAD_KEY_BLOB},
        {"one body byte", Bytes(good.begin(), good.begin() + 13), ERR_BAD_KEY_BLOB},
        {"version 2", with(7, 2), ERR_BAD_KEY_BLOB_VERSION},
        {"version high byte", with(4, 1), ERR_BAD_KEY_BLOB_VERSION},
        {"type 2", with(11, 2), ERR_BAD_KEY_BLOB},
        {"type 3", with(11, 3), ERR_BAD_KEY_BLOB},
        {"type 0", with(11, 0), ERR_BAD_KEY_BLOB},
        {"type high byte", with(8, 1), ERR_BAD_KEY_BLOB},
        {"format 2", with(12, 2), ERR_BAD_KEY_BLOB_VERSION},
        {"truncated n", Bytes(good.begin(), good.end() - 1), ERR_BAD_KEY_BLOB},
        {"cut length", Bytes(good.begin(), good.begin() + 23), ERR_BAD_KEY_BLOB},
        {"no n", Bytes(good.begin(), good.begin() + 21), ERR_BAD_KEY_BLOB},
        {"huge length", with(14, 0xFF), ERR_BAD_KEY_BLOB},
        {"exponent 1", rsaBlob(1, 0, {{1}, n}), ERR_BAD_EXPONENT},
        {"exponent 0", rsaBlob(1, 0, {{}, n}), ERR_BAD_EXPONENT},
        {"modulus 0", rsaBlob(1, 0, {e, {0, 0}}), ERR_BAD_KEY_BLOB},
        {"private, 2 fields", rsaBlob(1, 1, {e, n}), ERR_BAD_KEY_BLOB},
        {"private, even p", rsaBlob(1, 1, {e, n, {0x10}, {0x0B}, {1}, {1}, {1}, {}, {}}),
         ERR_BAD_KEY_BLOB},
        {"private, p = 1", rsaBlob(1, 1, {e, n, {0, 1}, {0x0B}, {1}, {1}, {1}, {}, {}}),
         ERR_BAD_KEY_BLOB},
        {"private, huge p", rsaBlob(1, 1, {e, n, Bytes(513, 0xFF), {0x0B}, {1}, {1}, {1}, {}, {}}),
         ERR_BAD_KEY_BLOB},
    };
    for (const Case& c : cases) {
        Key k;
        EXPECT_EQ(blobToKey(c.blob, &k.k), c.expected) << c.what;
        EXPECT_EQ(k.k.type, KEY_TYPE_EMPTY) << c.what;
        EXPECT_EQ(k.k.key, nullptr) << c.what;
    }
    EXPECT_EQ(KEYBLOB_toKey(nullptr, 10, &key.k), ERR_NULL_POINTER);
    EXPECT_EQ(KEYBLOB_toKey(good.data(), uint32_t(good.size()), nullptr), ERR_NULL_POINTER);
}

TEST_F(KeyImport, OldFormBlobs) {
    auto number = [](Bytes& b, const Bytes& v) {
        putU32(b, uint32_t(v.size()));
        b.insert(b.end(), v.begin(), v.end());
    };
    const Bytes p = cat({{0}, p512});
    const Bytes q = cat({{0}, q512});
    const Bytes n = cat({{0}, n512});
    Bytes blob;
    number(blob, q); // either order: the key is completed with p the larger prime
    number(blob, p);
    number(blob, n);
    number(blob, {1, 0, 1});
    Key key;
    ASSERT_EQ(blobToKey(blob, &key.k), OK);
    const RsaKey* rsa = rsaOf(key.k);
    EXPECT_EQ(rsa->privateKey, 1u);
    EXPECT_EQ(vlongBytes(rsa->n), n512);
    EXPECT_EQ(vlongBytes(rsa->p), p512);
    EXPECT_EQ(vlongBytes(rsa->dP), dp512);
    EXPECT_EQ(vlongBytes(rsa->qInv), qInv512);

    Bytes trailing = blob;
    trailing.push_back(0);
    EXPECT_EQ(blobToKey(trailing, &key.k), ERR_BAD_KEY_BLOB);
    EXPECT_EQ(key.k.type, KEY_TYPE_EMPTY);
    EXPECT_EQ(blobToKey(Bytes(blob.begin(), blob.end() - 1), &key.k), ERR_BAD_LENGTH);
    Bytes huge = blob;
    huge[0] = 0xFF;
    EXPECT_EQ(blobToKey(huge, &key.k), ERR_BAD_LENGTH);
    EXPECT_EQ(blobToKey({0, 0, 0, 9, 1, 2}, &key.k), ERR_BAD_LENGTH);
    EXPECT_EQ(blobToKey({0, 0, 0, 1, 5, 0, 0, 0}, &key.k), ERR_BAD_LENGTH);
    // Negative (two's-complement) numbers are refused.
    Bytes negative;
    number(negative, q512);
    number(negative, p);
    number(negative, n);
    number(negative, {1, 0, 1});
    EXPECT_EQ(blobToKey(negative, &key.k), ERR_BAD_KEY_BLOB);
}

TEST_F(KeyImport, KeyObjectOperations) {
    KeyObject k;
    k.type = 7;
    k.key = &k;
    EXPECT_EQ(KEY_release(&k), ERR_BAD_KEY_TYPE);
    EXPECT_EQ(k.type, 7u);
    EXPECT_EQ(k.key, &k);
    Key dst;
    EXPECT_EQ(KEY_copy(&dst.k, &k), ERR_BAD_KEY_TYPE);
    Blob blob;
    EXPECT_EQ(KEYBLOB_fromKey(&k, &blob.data, &blob.length), ERR_BAD_KEY_BLOB_TYPE);
    ASSERT_EQ(KEY_init(&k), OK);
    EXPECT_EQ(KEYBLOB_fromKey(&k, &blob.data, &blob.length), ERR_BAD_KEY_BLOB_TYPE);
    k.type = KEY_TYPE_ECC;
    EXPECT_EQ(KEYBLOB_fromKey(&k, &blob.data, &blob.length), ERR_BAD_KEY_BLOB_TYPE);
    k.type = KEY_TYPE_EMPTY;
    EXPECT_EQ(KEY_release(&k), OK);
    EXPECT_EQ(KEY_release(nullptr), ERR_NULL_POINTER);
    EXPECT_EQ(KEY_init(nullptr), ERR_NULL_POINTER);

    const Bytes n = modulusOf2048();
    Key key;
    EXPECT_EQ(KEY_setRsa(&key.k, 1, n.data(), 256, nullptr, 0, nullptr, 0), ERR_BAD_EXPONENT);
    ASSERT_EQ(KEY_setRsa(&key.k, 65537, n.data(), 256, nullptr, 0, nullptr, 0), OK);
    const void* record = key.k.key;
    ASSERT_EQ(KEY_setRsa(&key.k, 3, n.data(), 256, nullptr, 0, nullptr, 0), OK);
    EXPECT_EQ(key.k.key, record); // an RSA object keeps its record
    EXPECT_EQ(VLONG_compareUnsigned(rsaOf(key.k)->e, 3), 0);
    const uint8_t even[] = {0x10};
    const uint8_t odd[] = {0x0B};
    EXPECT_EQ(KEY_setRsa(&key.k, 3, n.data(), 256, even, 1, odd, 1), ERR_RSA_NOT_RSA_KEY);
    EXPECT_EQ(KEY_setRsa(&key.k, 3, n.data(), 256, odd, 1, odd, 1), ERR_RSA_NOT_RSA_KEY);
    // Copying an empty object empties the destination.
    Key empty;
    ASSERT_EQ(KEY_copy(&key.k, &empty.k), OK);
    EXPECT_EQ(key.k.type, KEY_TYPE_EMPTY);
    EXPECT_EQ(key.k.key, nullptr);
    ASSERT_EQ(KEY_makeRsa(&key.k), OK);
    EXPECT_EQ(key.k.type, KEY_TYPE_RSA);
    EXPECT_NE(key.k.key, nullptr);
}

TEST_F(KeyImport, RsaPrivateKeyStructure) {
    const Bytes p = p512;
    const Bytes q = q512;
    const Bytes n = cat({{0}, n512});
    auto priv = [&](const Bytes& version, const Bytes& e) {
        return tlv(0x30, cat({tlv(0x02, version), tlv(0x02, n), tlv(0x02, e), tlv(0x02, {1}),
                              tlv(0x02, cat({{0}, p})), tlv(0x02, cat({{0}, q}))}));
    };
    Key key;
    ASSERT_EQ(importDer(priv({1}, {1, 0, 1}), &key.k), OK);
    EXPECT_EQ(rsaOf(key.k)->privateKey, 1u);
    EXPECT_EQ(importDer(priv({2}, {1, 0, 1}), &key.k), ERR_RSA_BAD_VERSION);
    EXPECT_EQ(importDer(priv({0, 0, 0, 0, 0}, {1, 0, 1}), &key.k), ERR_RSA_BAD_VERSION);
    EXPECT_EQ(importDer(priv({0}, {1, 0, 0, 0, 1}), &key.k), ERR_RSA_NOT_RSA_KEY);
    const Bytes three =
        tlv(0x30, cat({tlv(0x02, {0}), tlv(0x02, n), tlv(0x02, {3}), tlv(0x02, {1})}));
    Key untouched;
    EXPECT_EQ(importDer(three, &untouched.k), ERR_RSA_NOT_RSA_KEY);
    EXPECT_EQ(untouched.k.type, KEY_TYPE_EMPTY);
}

TEST_F(KeyImport, ImportTraceAtLevelFour) {
    const uint32_t saved = g_debugLevelMask;
    g_debugLevelMask = DEBUG_DEFAULT_MASK;
    Key quiet;
    testing::internal::CaptureStdout();
    EXPECT_EQ(CA_MGMT_convertPublicKey(u8(kPemPrivate512), len(kPemPrivate512), &quiet.k), OK);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    g_debugLevelMask = DEBUG_DEFAULT_MASK | 4;
    std::string expected = "CA_MGMT_convertPublicKey: key type = 1, private key = 1\r\n"
                           "Modulus: length = 64\r\n";
    char hex[4];
    for (size_t i = 0; i < n512.size(); ++i) {
        snprintf(hex, sizeof hex, "%02x ", n512[i]);
        expected += hex;
        if (i % 16 == 15) expected += "\r\n";
    }
    expected += "Exponent: length = 3\r\n01 00 01 \r\n";
    Key key;
    testing::internal::CaptureStdout();
    EXPECT_EQ(CA_MGMT_convertPublicKey(u8(kPemPrivate512), len(kPemPrivate512), &key.k), OK);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);

    testing::internal::CaptureStdout();
    EXPECT_EQ(CA_MGMT_convertPublicKey(nullptr, 0, &key.k), ERR_NULL_POINTER);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "CA_MGMT_convertPublicKey: status = -6001\r\n");
    g_debugLevelMask = saved;
}
