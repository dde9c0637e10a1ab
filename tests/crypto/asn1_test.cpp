// ASN.1 reader: the inputs of tests/data/crypto/asn1.txt with their statuses and the items they
// give; generated inputs too large for a table, the cursor and the tree walkers. Base64 and PEM
// armour: the texts of tests/data/crypto/base64.txt, the buffers handed back on failure and the
// decoding table's life. Key import: the rows of tests/data/crypto/keys.txt (PEM and DER forms,
// the test keys as OpenSSL writes them, key blobs, hostile inputs), KeyObject and the trace.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "crypto/asn1/asn1.h"
#include "crypto/asn1/keys.h"
#include "crypto/platform/platform.h"
#include "crypto/vlong/rsa.h"
#include "tests/common/rows.h"
#include "tests/common/vlong_bytes.h"

namespace {

using namespace testutil;

struct Parsed {
    Bytes input;
    Asn1Cursor cursor{};
    Asn1Item* root = nullptr;
    MSTATUS status = 0;
    explicit Parsed(Bytes in) : input(std::move(in)) {
        ASN1_memCursorInit(&cursor, input.data(), static_cast<uint32_t>(input.size()));
        status = ASN1_parse(&cursor, &root);
    }
    ~Parsed() {
        if (root != nullptr) ASN1_freeTree(&root);
    }
    const Asn1Item* top() const { return root != nullptr ? root->firstChild : nullptr; }
};

std::string field(const Asn1Item* i, const std::string& name) {
    if (name == "form") return std::to_string(i->form);
    if (name == "tag") return std::to_string(i->tag);
    if (name == "len") return std::to_string(i->length);
    if (name == "hdr") return std::to_string(i->headerSize);
    if (name == "head") return hexOf(i->header, i->headerSize);
    if (name == "off") return std::to_string(i->contentOffset);
    if (name == "value") return std::to_string(i->value);
    if (name == "enc") return std::to_string(i->encapsulates);
    if (name == "indef") return std::to_string(i->indefinite);
    return "unknown field " + name;
}

class Asn1Table : public testing::TestWithParam<Row> {};

// parse name input status path.field=value...: t is the first item, c a first child, n a next
// sibling; path=none asks that there be no such item.
TEST_P(Asn1Table, Row) {
    const Row& r = GetParam();
    SCOPED_TRACE(r.where);
    Parsed p(r.hex(2));
    ASSERT_EQ(r.num(3), p.status) << r[1];
    for (size_t k = 4; k < r.f.size(); ++k) {
        const std::string& check = r[k];
        const size_t eq = check.find('='), dot = check.find('.');
        const Asn1Item* item = p.top();
        EXPECT_EQ(p.root, item ? item->parent : p.root);
        for (size_t s = 1; s < std::min(eq, dot) && item; ++s) {
            const Asn1Item* next = check[s] == 'c' ? item->firstChild : item->next;
            if (next && check[s] == 'c') {
                EXPECT_EQ(item, next->parent) << check;
            }
            item = next;
        }
        if (check.substr(eq + 1) == "none") {
            EXPECT_EQ(nullptr, item) << check;
            continue;
        }
        ASSERT_NE(nullptr, item) << check;
        EXPECT_EQ(check.substr(eq + 1), field(item, check.substr(dot + 1, eq - dot - 1))) << check;
    }
}
INSTANTIATE_TEST_SUITE_P(Table, Asn1Table, testing::ValuesIn(rows("crypto/asn1.txt", "parse")),
                         rowName);

TEST(Asn1Reader, DepthAndBreadthAtScale) {
    Bytes huge; // far deeper input is refused at the limit, not by running out of stack
    for (int i = 0; i < 100000; ++i) huge.insert(huge.end(), {0x30, 0x80});
    EXPECT_EQ(ERR_ASN_NESTING_TOO_DEEP, Parsed(huge).status);
    Bytes content;
    for (int i = 0; i < 60000; ++i) content.insert(content.end(), {0x05, 0x00});
    Parsed p(tlv(0x30, content));
    ASSERT_EQ(OK, p.status);
    size_t count = 0;
    for (const Asn1Item* i = p.top()->firstChild; i != nullptr; i = i->next) ++count;
    EXPECT_EQ(60000u, count);
    Parsed forty(rows("crypto/asn1.txt", "parse")[0].hex(2)); // a sequence of four items
    Asn1Item* c = nullptr;
    EXPECT_EQ(ERR_CERT_INVALID_STRUCT, ASN1_getChild(forty.top(), 5, &c));
    EXPECT_EQ(nullptr, c);
}

TEST(Asn1Reader, CursorAndArguments) {
    const Bytes in{0xEE, 0xEE, 0x02, 0x01, 0x09};
    Asn1Cursor cursor;
    ASN1_memCursorInit(&cursor, in.data(), static_cast<uint32_t>(in.size()));
    ASSERT_EQ(OK, cursor.ops->seek(&cursor, 2, 0));
    Asn1Item* root = nullptr;
    ASSERT_EQ(OK, ASN1_parse(&cursor, &root));
    EXPECT_EQ(4u, root->firstChild->contentOffset);
    EXPECT_EQ(9u, root->firstChild->value);
    ASN1_freeTree(&root);
    EXPECT_EQ(nullptr, root);
    EXPECT_EQ(ERR_NULL_POINTER, ASN1_freeTree(&root));
    EXPECT_EQ(ERR_NULL_POINTER, ASN1_freeTree(nullptr));
    EXPECT_EQ(ERR_EOF, cursor.ops->seek(&cursor, 6, 0));
    EXPECT_EQ(ERR_EOF, cursor.ops->seek(&cursor, -1, 0));
    EXPECT_EQ(OK, cursor.ops->seek(&cursor, 5, 0));
    EXPECT_TRUE(cursor.ops->atEnd(&cursor));
    uint8_t b = 0;
    EXPECT_EQ(ERR_EOF, cursor.ops->readByte(&cursor, &b));
    EXPECT_EQ(in.data() + 4, cursor.ops->borrow(&cursor, 4, 1));
    EXPECT_EQ(nullptr, cursor.ops->borrow(&cursor, 4, 2));
    EXPECT_EQ(nullptr, cursor.ops->borrow(&cursor, 1, 0xFFFFFFFFu));
    ASN1_memCursorInit(&cursor, nullptr, 10);
    EXPECT_EQ(ERR_ASN_MALFORMED, ASN1_parse(&cursor, &root));
    EXPECT_EQ(ERR_NULL_POINTER, ASN1_parse(nullptr, &root));
    EXPECT_EQ(ERR_NULL_POINTER, ASN1_parse(&cursor, nullptr));
}

TEST(Asn1Walkers, CheckTagGetChildFindContextTag) {
    Parsed p(Bytes{0x30, 0x0A, 0x02, 0x01, 0x01, 0xA1, 0x00, 0x81, 0x01, 0x07, 0xA3, 0x00});
    ASSERT_EQ(OK, p.status);
    EXPECT_EQ(OK, ASN1_checkTag(p.top(), ASN1_SEQUENCE));
    EXPECT_EQ(ERR_ASN_BAD_TAG, ASN1_checkTag(p.top(), ASN1_SET));
    EXPECT_EQ(ERR_NULL_POINTER, ASN1_checkTag(nullptr, ASN1_SEQUENCE));
    Asn1Item *c0 = nullptr, *c1 = nullptr, *ctx = nullptr, *found = nullptr, *leaf = nullptr;
    ASSERT_EQ(OK, ASN1_getChild(p.top(), 0, &c0));
    ASSERT_EQ(OK, ASN1_getChild(p.top(), 1, &c1));
    EXPECT_EQ(c0, c1);
    ASSERT_EQ(OK, ASN1_getChild(p.top(), 2, &ctx));
    EXPECT_EQ(ERR_ASN_BAD_TAG, ASN1_checkTag(ctx, ASN1_BOOLEAN)); // [1] is not a BOOLEAN
    ASSERT_EQ(OK, ASN1_findContextTag(p.top(), 1, &found));
    EXPECT_EQ(ctx, found);
    ASSERT_EQ(OK, ASN1_findContextTag(p.top(), 3, &found));
    ASSERT_NE(nullptr, found);
    EXPECT_EQ(ASN1_CLASS_CONTEXT | ASN1_CONSTRUCTED, found->form);
    ASSERT_EQ(OK, ASN1_findContextTag(p.top(), 2, &found));
    EXPECT_EQ(nullptr, found);
    EXPECT_EQ(ERR_CERT_INVALID_STRUCT, ASN1_getChild(c0, 1, &leaf));
}

TEST(Asn1Walkers, CompareOid) {
    const Bytes rsaOid{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
    Parsed p(tlv(0x30, cat({tlv(0x06, rsaOid), {0x05, 0x00}})));
    ASSERT_EQ(OK, p.status);
    const uint8_t arc[] = {8, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01};
    const uint8_t exact[] = {9, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
    const uint8_t other[] = {9, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B};
    uint8_t extra = 0;
    Asn1Item* match = nullptr;
    EXPECT_EQ(OK, ASN1_compareOid(p.top(), &p.cursor, arc, &extra, &match));
    EXPECT_EQ(1, extra);
    EXPECT_EQ(p.top()->firstChild, match);
    EXPECT_EQ(OK, ASN1_compareOid(p.top(), &p.cursor, exact, nullptr, nullptr));
    EXPECT_EQ(ERR_CERT_INVALID_OID, ASN1_compareOid(p.top(), &p.cursor, other, nullptr, nullptr));
    EXPECT_EQ(ERR_CERT_INVALID_OID, ASN1_compareOid(p.top(), &p.cursor, arc, nullptr, nullptr));
    EXPECT_EQ(ERR_CERT_INVALID_OID, ASN1_compareOid(p.top(), &p.cursor, exact, &extra, nullptr));
    EXPECT_EQ(ERR_CERT_INVALID_STRUCT,
              ASN1_compareOid(p.top()->firstChild, &p.cursor, exact, nullptr, nullptr));
    for (const Bytes& in : {tlv(0x30, cat({{0x05, 0x00}, tlv(0x06, rsaOid)})), Bytes{0x30, 0}}) {
        Parsed q(in);
        EXPECT_EQ(ERR_CERT_INVALID_STRUCT,
                  ASN1_compareOid(q.top(), &q.cursor, exact, nullptr, nullptr));
    }
    // An item whose content lies outside the cursor's input is never compared.
    Asn1Cursor small;
    ASN1_memCursorInit(&small, p.input.data(), 6);
    EXPECT_EQ(ERR_CERT_INVALID_STRUCT, ASN1_compareOid(p.top(), &small, exact, nullptr, nullptr));
}

struct Decoded {
    MSTATUS status = 0;
    Bytes bytes;
    bool buffer = false;
};

Decoded decode(bool pem, const std::string& text) {
    Decoded d;
    uint8_t* out = nullptr;
    uint32_t outLength = 0xDEAD;
    d.status = (pem ? PEM_decode : BASE64_decode)(reinterpret_cast<const uint8_t*>(text.data()),
                                                  uint32_t(text.size()), &out, &outLength);
    d.buffer = out != nullptr;
    if (d.status == OK) d.bytes.assign(out, out + outLength);
    if (out != nullptr) PLATFORM_free(out);
    return d;
}

class Base64 : public testing::TestWithParam<Row> {
  protected:
    void SetUp() override { ASSERT_EQ(OK, BASE64_initTable()); }
};

TEST_P(Base64, Row) {
    const Row& r = GetParam();
    SCOPED_TRACE(r.where);
    const Decoded d = decode(r[0] == "pem", r.text(2));
    EXPECT_EQ(r.num(3), d.status);
    EXPECT_BYTES(r.hex(4), d.bytes);
    EXPECT_FALSE(r[0] == "pem" && d.status != OK && d.buffer); // nothing handed back
}
INSTANTIATE_TEST_SUITE_P(Table, Base64, testing::ValuesIn(rows("crypto/base64.txt")), rowName);

TEST(Base64Table, BuffersArgumentsAndMissingTable) {
    ASSERT_EQ(OK, BASE64_initTable());
    // A buffer handed back by a decode that failed part-way is the caller's to release.
    EXPECT_TRUE(decode(false, "TWFuT*==").buffer);
    EXPECT_FALSE(decode(false, "TWF").buffer);
    uint8_t* out = nullptr;
    uint32_t len = 0;
    const uint8_t text[] = "TWFu";
    EXPECT_EQ(ERR_NULL_POINTER, BASE64_decode(nullptr, 4, &out, &len));
    EXPECT_EQ(ERR_NULL_POINTER, BASE64_decode(text, 4, nullptr, &len));
    EXPECT_EQ(ERR_NULL_POINTER, BASE64_decode(text, 4, &out, nullptr));
    EXPECT_EQ(ERR_NULL_POINTER, PEM_decode(nullptr, 4, &out, &len));
    ASSERT_EQ(OK, BASE64_freeTable());
    EXPECT_EQ(ERR_NULL_POINTER, BASE64_freeTable());
    EXPECT_EQ(ERR_BASE64_NO_TABLE, BASE64_decode(text, 4, &out, &len));
    EXPECT_EQ(nullptr, out);
    ASSERT_EQ(OK, BASE64_initTable());
    ASSERT_EQ(OK, BASE64_initTable()); // a second start-up keeps one table
    EXPECT_EQ((Bytes{'M', 'a', 'n'}), decode(false, "TWFu").bytes);
}

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
