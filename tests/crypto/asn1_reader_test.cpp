// ASN.1 reader: the inputs of tests/data/crypto/asn1.txt with their statuses and the items
// they give; generated inputs too large for a table, the cursor and the tree walkers.
#include <gtest/gtest.h>

#include <string>

#include "crypto/asn1/asn1.h"
#include "tests/common/rows.h"

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

} // namespace
