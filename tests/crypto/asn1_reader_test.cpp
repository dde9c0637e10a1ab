// ASN.1 reader: identifier and length forms, item rules, limits and the tree walkers.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "crypto/asn1/asn1.h"
#include "tests/common/bytes.h"

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

MSTATUS parseStatus(const Bytes& in) {
    return Parsed(in).status;
}

Bytes nested(int levels, const Bytes& inner) {
    Bytes out = inner;
    for (int i = 0; i < levels; ++i) out = tlv(0x30, out);
    return out;
}

} // namespace

TEST(Asn1Reader, SequenceOfPrimitivesBuildsTree) {
    Parsed p(
        Bytes{0x30, 0x0C, 0x02, 0x02, 0x01, 0x00, 0x05, 0x00, 0x01, 0x01, 0xFF, 0x06, 0x01, 0x2A});
    ASSERT_EQ(p.status, OK);
    ASSERT_NE(p.root, nullptr);
    EXPECT_EQ(p.root->headerSize, 0u);
    const Asn1Item* seq = p.top();
    ASSERT_NE(seq, nullptr);
    EXPECT_EQ(seq->parent, p.root);
    EXPECT_EQ(seq->form, ASN1_CONSTRUCTED);
    EXPECT_EQ(seq->tag, ASN1_SEQUENCE);
    EXPECT_EQ(seq->length, 12u);
    EXPECT_EQ(seq->headerSize, 2u);
    EXPECT_EQ(seq->header[0], 0x30);
    EXPECT_EQ(seq->header[1], 0x0C);
    EXPECT_EQ(seq->contentOffset, 2u);
    EXPECT_EQ(seq->next, nullptr);

    Asn1Item* c = nullptr;
    ASSERT_EQ(ASN1_getChild(seq, 1, &c), OK);
    EXPECT_EQ(c->tag, ASN1_INTEGER);
    EXPECT_EQ(c->value, 0x0100u);
    EXPECT_EQ(c->contentOffset, 4u);
    EXPECT_EQ(c->parent, seq);
    ASSERT_EQ(ASN1_getChild(seq, 2, &c), OK);
    EXPECT_EQ(c->tag, ASN1_NULL);
    ASSERT_EQ(ASN1_getChild(seq, 3, &c), OK);
    EXPECT_EQ(c->tag, ASN1_BOOLEAN);
    EXPECT_EQ(c->value, 0xFFu);
    ASSERT_EQ(ASN1_getChild(seq, 4, &c), OK);
    EXPECT_EQ(c->tag, ASN1_OID);
    EXPECT_EQ(c->contentOffset, 13u);
    EXPECT_EQ(ASN1_getChild(seq, 5, &c), ERR_CERT_INVALID_STRUCT);
    EXPECT_EQ(c, nullptr);
}

TEST(Asn1Reader, LongLengthForms) {
    for (int octets = 1; octets <= 4; ++octets) {
        const size_t len = 200;
        Bytes in{0x04, static_cast<uint8_t>(0x80 | octets)};
        for (int i = octets - 1; i >= 0; --i) in.push_back(static_cast<uint8_t>(len >> (8 * i)));
        in.resize(in.size() + len, 0xAB);
        Parsed p(in);
        ASSERT_EQ(p.status, OK) << octets;
        EXPECT_EQ(p.top()->length, len);
        EXPECT_EQ(p.top()->headerSize, 2u + octets);
        EXPECT_EQ(p.top()->contentOffset, 2u + octets);
        EXPECT_EQ(0, memcmp(p.top()->header, in.data(), 2 + octets));
    }
    // Five length octets are refused, whatever follows.
    EXPECT_EQ(parseStatus({0x04, 0x85, 0, 0, 0, 0, 1, 0xAA}), ERR_ASN_LENGTH_TOO_LONG);
    EXPECT_EQ(parseStatus({0x04, 0xFF}), ERR_ASN_LENGTH_TOO_LONG);
}

TEST(Asn1Reader, HugeLengthFailsWithoutReadingPastInput) {
    EXPECT_EQ(parseStatus({0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}), ERR_EOF);
    EXPECT_EQ(parseStatus({0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xF0, 0x05, 0x00}), ERR_EOF);
    // Inside a parent the same claim is a child overrun.
    EXPECT_EQ(parseStatus({0x30, 0x06, 0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF}), ERR_ASN_CHILD_OVERRUN);
}

TEST(Asn1Reader, HighTagNumbers) {
    Parsed p1(Bytes{0x9F, 0x1F, 0x01, 0x00});
    ASSERT_EQ(p1.status, OK);
    EXPECT_EQ(p1.top()->form, ASN1_CLASS_CONTEXT);
    EXPECT_EQ(p1.top()->tag, 31u);
    EXPECT_EQ(p1.top()->headerSize, 3u);

    Parsed p2(Bytes{0xBF, 0xFF, 0x7F, 0x02, 0x05, 0x00});
    ASSERT_EQ(p2.status, OK);
    EXPECT_EQ(p2.top()->form, ASN1_CLASS_CONTEXT | ASN1_CONSTRUCTED);
    EXPECT_EQ(p2.top()->tag, 0x3FFFu);

    // Four continuation octets are the most a tag may take.
    Parsed p4(Bytes{0x5F, 0xFF, 0xFF, 0xFF, 0x7F, 0x01, 0xEE});
    ASSERT_EQ(p4.status, OK);
    EXPECT_EQ(p4.top()->tag, 0x0FFFFFFFu);
    EXPECT_EQ(p4.top()->headerSize, 6u);
    EXPECT_EQ(parseStatus({0x5F, 0x81, 0x81, 0x81, 0x81, 0x01, 0x01, 0xEE}), ERR_ASN_TAG_TOO_LONG);
    // Input ending inside the identifier.
    EXPECT_EQ(parseStatus({0x1F}), ERR_ASN_TAG_TOO_LONG);
    EXPECT_EQ(parseStatus({0x1F, 0x81}), ERR_ASN_TAG_TOO_LONG);
    // A universal primitive item with a high tag number is unsupported.
    EXPECT_EQ(parseStatus({0x1F, 0x20, 0x01, 0x00}), ERR_ASN_UNSUPPORTED_TAG);
}

TEST(Asn1Reader, DepthLimit) {
    Parsed forty(nested(40, {}));
    ASSERT_EQ(forty.status, OK);
    int depth = 0;
    for (const Asn1Item* i = forty.top(); i != nullptr; i = i->firstChild) ++depth;
    EXPECT_EQ(depth, 40);
    EXPECT_EQ(parseStatus(nested(41, {})), ERR_ASN_NESTING_TOO_DEEP);
    EXPECT_EQ(parseStatus(nested(39, {0x05, 0x00})), OK);
    EXPECT_EQ(parseStatus(nested(40, {0x05, 0x00})), ERR_ASN_NESTING_TOO_DEEP);
    // Indefinite nesting counts the same way.
    Bytes deep;
    for (int i = 0; i < 41; ++i) deep.insert(deep.end(), {0x30, 0x80});
    for (int i = 0; i < 41; ++i) deep.insert(deep.end(), {0x00, 0x00});
    EXPECT_EQ(parseStatus(deep), ERR_ASN_NESTING_TOO_DEEP);
    // Far deeper input is refused at the limit, not by running out of stack.
    Bytes huge;
    for (int i = 0; i < 100000; ++i) huge.insert(huge.end(), {0x30, 0x80});
    EXPECT_EQ(parseStatus(huge), ERR_ASN_NESTING_TOO_DEEP);
}

TEST(Asn1Reader, OnlyFirstItemIsRead) {
    Parsed p(Bytes{0x30, 0x03, 0x02, 0x01, 0x07, 0x04, 0x02, 0xAA, 0xBB, 0xFF});
    ASSERT_EQ(p.status, OK);
    EXPECT_EQ(p.top()->next, nullptr);
    EXPECT_EQ(p.top()->length, 3u);
    EXPECT_EQ(p.top()->firstChild->value, 7u);
}

TEST(Asn1Reader, ChildOverrunAndTruncation) {
    // INTEGER ends one byte past its SEQUENCE.
    EXPECT_EQ(parseStatus({0x30, 0x03, 0x02, 0x02, 0x01, 0x01}), ERR_ASN_CHILD_OVERRUN);
    // Header cut by the parent's end (input has more bytes).
    EXPECT_EQ(parseStatus({0x30, 0x01, 0x02, 0x01, 0x01}), ERR_ASN_CHILD_OVERRUN);
    EXPECT_EQ(parseStatus({0x30, 0x03, 0x02, 0x81, 0x01, 0x01}), ERR_ASN_CHILD_OVERRUN);
    EXPECT_EQ(parseStatus({0x30, 0x02, 0x1F, 0x81, 0x01, 0x00}), ERR_ASN_CHILD_OVERRUN);
    // Truncated top-level content and header.
    EXPECT_EQ(parseStatus({0x02, 0x05, 0x01, 0x02}), ERR_EOF);
    EXPECT_EQ(parseStatus({0x30, 0x82, 0x01}), ERR_EOF);
    EXPECT_EQ(parseStatus({0x30}), ERR_EOF);
    EXPECT_EQ(parseStatus({0x30, 0x05, 0x02, 0x01}), ERR_EOF);
    // Empty input.
    EXPECT_EQ(parseStatus({}), ERR_ASN_MALFORMED);
    Asn1Item* root = nullptr;
    Asn1Cursor cursor;
    ASN1_memCursorInit(&cursor, nullptr, 10);
    EXPECT_EQ(ASN1_parse(&cursor, &root), ERR_ASN_MALFORMED);
    EXPECT_EQ(ASN1_parse(nullptr, &root), ERR_NULL_POINTER);
    EXPECT_EQ(ASN1_parse(&cursor, nullptr), ERR_NULL_POINTER);
}

TEST(Asn1Reader, EmptyItemRules) {
    // Allowed empty: end-of-contents, OCTET STRING, NULL, strings, any constructed universal
    // item, and the context class (0x9F with a high tag number).
    for (uint8_t id : {0x00, 0x04, 0x05, 0x07, 0x0C, 0x13, 0x16, 0x19, 0x1C, 0x1E, 0x30, 0x31, 0x2A,
                       0x80, 0xA0, 0x9F}) {
        const Bytes in = id == 0x9F ? Bytes{0x9F, 0x40, 0x00} : Bytes{id, 0x00};
        EXPECT_EQ(parseStatus(in), OK) << std::hex << int(id);
    }
    for (uint8_t id : {0x01, 0x02, 0x03, 0x06, 0x0A, 0x17, 0x18, 0x1D, 0x40, 0x60, 0xC0, 0xE0}) {
        EXPECT_EQ(parseStatus({id, 0x00}), ERR_ASN_MALFORMED) << std::hex << int(id);
    }
    // Allowed empty, but not a supported universal tag.
    for (uint8_t id : {0x09, 0x10, 0x11}) {
        EXPECT_EQ(parseStatus({id, 0x00}), ERR_ASN_UNSUPPORTED_TAG) << std::hex << int(id);
    }
}

TEST(Asn1Reader, UniversalTagTable) {
    for (uint8_t tag : {6, 7, 12, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 30}) {
        EXPECT_EQ(parseStatus({tag, 0x02, 0x41, 0x42}), OK) << int(tag);
    }
    for (uint8_t tag : {8, 9, 11, 13, 14, 15, 16, 17, 29}) {
        EXPECT_EQ(parseStatus({tag, 0x02, 0x41, 0x42}), ERR_ASN_UNSUPPORTED_TAG) << int(tag);
    }
    // An unsupported primitive inside a SEQUENCE fails the whole parse.
    EXPECT_EQ(parseStatus({0x30, 0x04, 0x0D, 0x02, 0x41, 0x42}), ERR_ASN_UNSUPPORTED_TAG);
    // Primitive items of the other classes are skipped whatever their tag.
    EXPECT_EQ(parseStatus({0x30, 0x08, 0x41, 0x01, 0x00, 0x8D, 0x01, 0x00, 0xDD, 0x01, 0x00}),
              ERR_ASN_CHILD_OVERRUN);
    EXPECT_EQ(parseStatus({0x30, 0x09, 0x41, 0x01, 0x00, 0x8D, 0x01, 0x00, 0xDD, 0x01, 0x00}), OK);
}

TEST(Asn1Reader, IntegerAndBooleanValues) {
    // INTEGER of four bytes, of five (too long for a value), ENUMERATED, BOOLEAN of two bytes.
    const struct {
        Bytes in;
        uint32_t value;
    } cases[] = {{{0x02, 0x04, 0xFF, 0x00, 0x00, 0x01}, 0xFF000001u},
                 {{0x02, 0x05, 0x01, 0x02, 0x03, 0x04, 0x05}, 0},
                 {{0x0A, 0x01, 0x03}, 3},
                 {{0x01, 0x02, 0x5A, 0x00}, 0x5A}};
    for (const auto& c : cases) {
        Parsed p(c.in);
        ASSERT_EQ(p.status, OK);
        EXPECT_EQ(p.top()->value, c.value) << std::hex << c.value;
        EXPECT_EQ(p.top()->length, c.in.size() - 2);
    }
}

TEST(Asn1Reader, NullAndEndOfContentsCarryNoContent) {
    EXPECT_EQ(parseStatus({0x05, 0x02, 0x02, 0x01}), ERR_ASN_MALFORMED);
    EXPECT_EQ(parseStatus({0x30, 0x05, 0x05, 0x03, 0x02, 0x01, 0x01}), ERR_ASN_MALFORMED);
    EXPECT_EQ(parseStatus({0x00, 0x01, 0x00}), ERR_ASN_MALFORMED);
}

TEST(Asn1Reader, BitStringUnusedBits) {
    Parsed p(Bytes{0x03, 0x02, 0x07, 0x80});
    ASSERT_EQ(p.status, OK);
    EXPECT_EQ(p.top()->value, 7u);
    EXPECT_EQ(p.top()->length, 1u);
    EXPECT_EQ(p.top()->contentOffset, 3u);
    EXPECT_EQ(p.top()->encapsulates, 0);
    Parsed empty(Bytes{0x03, 0x01, 0x00});
    ASSERT_EQ(empty.status, OK);
    EXPECT_EQ(empty.top()->length, 0u);
    EXPECT_EQ(parseStatus({0x03, 0x01, 0x05}), ERR_ASN_MALFORMED);
}

TEST(Asn1Reader, EncapsulatedBitString) {
    const Bytes rsaPublicKey =
        tlv(0x30, cat({tlv(0x02, {0x00, 0xC1, 0x23}), tlv(0x02, {0x01, 0x00, 0x01})}));
    Parsed p(tlv(0x03, cat({{0x00}, rsaPublicKey})));
    ASSERT_EQ(p.status, OK);
    const Asn1Item* bits = p.top();
    EXPECT_EQ(bits->encapsulates, 1);
    EXPECT_EQ(bits->contentOffset, 3u);
    EXPECT_EQ(bits->length, rsaPublicKey.size());
    ASSERT_NE(bits->firstChild, nullptr);
    EXPECT_EQ(bits->firstChild->tag, ASN1_SEQUENCE);
    EXPECT_EQ(bits->firstChild->parent, bits);
    const Asn1Item* n = bits->firstChild->firstChild;
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->value, 0xC123u);
    ASSERT_NE(n->next, nullptr);
    EXPECT_EQ(n->next->value, 65537u);

    // Not a SEQUENCE filling the rest, or no INTEGER first: plain bytes.
    Parsed extra(tlv(0x03, cat({{0x00}, rsaPublicKey, {0x00}})));
    ASSERT_EQ(extra.status, OK);
    EXPECT_EQ(extra.top()->encapsulates, 0);
    EXPECT_EQ(extra.top()->firstChild, nullptr);
    Parsed noInt(tlv(0x03, cat({{0x00}, tlv(0x30, tlv(0x04, {0x01, 0x02}))})));
    ASSERT_EQ(noInt.status, OK);
    EXPECT_EQ(noInt.top()->encapsulates, 0);
    // INTEGER as long as everything left: not taken as nested.
    Parsed tight(tlv(0x03, cat({{0x00}, tlv(0x30, tlv(0x02, {0x01}))})));
    ASSERT_EQ(tight.status, OK);
    EXPECT_EQ(tight.top()->encapsulates, 0);
}

TEST(Asn1Reader, EncapsulationRollsBack) {
    // Looks like SEQUENCE { INTEGER, ... } but holds an unsupported tag: the nested items are
    // dropped and the content read as plain bytes; the following NULL is still found.
    const Bytes inner = tlv(0x30, cat({tlv(0x02, {0x05}), tlv(0x0D, {0x41, 0x42})}));
    Parsed p(tlv(0x30, cat({tlv(0x03, cat({{0x00}, inner})), {0x05, 0x00}})));
    ASSERT_EQ(p.status, OK);
    const Asn1Item* bits = p.top()->firstChild;
    EXPECT_EQ(bits->encapsulates, 0);
    EXPECT_EQ(bits->firstChild, nullptr);
    ASSERT_NE(bits->next, nullptr);
    EXPECT_EQ(bits->next->tag, ASN1_NULL);
    EXPECT_EQ(bits->next->contentOffset, p.input.size());

    // The same for an OCTET STRING whose content would nest too deeply.
    Parsed deep(tlv(0x04, nested(40, {})));
    ASSERT_EQ(deep.status, OK);
    EXPECT_EQ(deep.top()->encapsulates, 0);
    EXPECT_EQ(deep.top()->firstChild, nullptr);
    Parsed ok(tlv(0x04, nested(39, {})));
    ASSERT_EQ(ok.status, OK);
    EXPECT_EQ(ok.top()->encapsulates, 1);
}

TEST(Asn1Reader, EncapsulatedOctetString) {
    Parsed p(Bytes{0x04, 0x03, 0x02, 0x01, 0x07});
    ASSERT_EQ(p.status, OK);
    EXPECT_EQ(p.top()->encapsulates, 1);
    ASSERT_NE(p.top()->firstChild, nullptr);
    EXPECT_EQ(p.top()->firstChild->value, 7u);
    const struct {
        Bytes in;
        int encapsulates;
    } cases[] = {
        {{0x04, 0x04, 0x02, 0x01, 0x07, 0x00}, 0}, // content not filled exactly by one item
        {{0x04, 0x04, 0x9F, 0x32, 0x01, 0x00}, 0}, // tag 50 is above the range taken as nested
        {{0x04, 0x04, 0x9F, 0x31, 0x01, 0x00}, 1}, // context class tag 49 is inside it
        {{0x04, 0x03, 0x41, 0x01, 0x00}, 0},       // application class is never nested
    };
    for (const auto& c : cases) {
        Parsed q(c.in);
        ASSERT_EQ(q.status, OK);
        EXPECT_EQ(q.top()->encapsulates, c.encapsulates) << hexOf(c.in);
    }
}

TEST(Asn1Reader, IndefiniteLength) {
    Parsed p(Bytes{0x30, 0x80, 0x02, 0x01, 0x01, 0x05, 0x00, 0x00, 0x00, 0xEE});
    ASSERT_EQ(p.status, OK);
    EXPECT_EQ(p.top()->indefinite, 1);
    EXPECT_EQ(p.top()->length, 5u);
    Asn1Item* c = nullptr;
    ASSERT_EQ(ASN1_getChild(p.top(), 2, &c), OK);
    EXPECT_EQ(c->tag, ASN1_NULL);
    EXPECT_EQ(c->next, nullptr);
    // Nested indefinite items inside a definite one.
    EXPECT_EQ(parseStatus({0x30, 0x08, 0xA0, 0x80, 0x02, 0x01, 0x01, 0x00, 0x00, 0x05}),
              ERR_ASN_CHILD_OVERRUN);
    EXPECT_EQ(parseStatus({0x30, 0x07, 0xA0, 0x80, 0x02, 0x01, 0x01, 0x00, 0x00}), OK);
    // The end-of-contents octets must lie inside the enclosing definite item.
    EXPECT_EQ(parseStatus({0x30, 0x06, 0x30, 0x80, 0x02, 0x01, 0x01, 0x00, 0x00}),
              ERR_ASN_CHILD_OVERRUN);
    // Missing end-of-contents, a bad one, and a primitive item of indefinite length.
    EXPECT_EQ(parseStatus({0x30, 0x80, 0x02, 0x01, 0x01}), ERR_EOF);
    EXPECT_EQ(parseStatus({0x30, 0x80, 0x00, 0x01, 0x00}), ERR_ASN_MALFORMED);
    EXPECT_EQ(parseStatus({0x04, 0x80, 0x41, 0x00, 0x00}), ERR_ASN_MALFORMED);
}

TEST(Asn1Reader, ManySiblingsParseQuickly) {
    Bytes content;
    for (int i = 0; i < 60000; ++i) content.insert(content.end(), {0x05, 0x00});
    Parsed p(tlv(0x30, content));
    ASSERT_EQ(p.status, OK);
    size_t count = 0;
    for (const Asn1Item* i = p.top()->firstChild; i != nullptr; i = i->next) ++count;
    EXPECT_EQ(count, 60000u);
}

TEST(Asn1Reader, CursorStartingInsideInput) {
    const Bytes in{0xEE, 0xEE, 0x02, 0x01, 0x09};
    Asn1Cursor cursor;
    ASN1_memCursorInit(&cursor, in.data(), static_cast<uint32_t>(in.size()));
    ASSERT_EQ(cursor.ops->seek(&cursor, 2, 0), OK);
    Asn1Item* root = nullptr;
    ASSERT_EQ(ASN1_parse(&cursor, &root), OK);
    EXPECT_EQ(root->firstChild->contentOffset, 4u);
    EXPECT_EQ(root->firstChild->value, 9u);
    ASN1_freeTree(&root);
    EXPECT_EQ(root, nullptr);
    EXPECT_EQ(ASN1_freeTree(&root), ERR_NULL_POINTER);
    EXPECT_EQ(ASN1_freeTree(nullptr), ERR_NULL_POINTER);
    // Memory cursor bounds.
    EXPECT_EQ(cursor.ops->seek(&cursor, 6, 0), ERR_EOF);
    EXPECT_EQ(cursor.ops->seek(&cursor, -1, 0), ERR_EOF);
    EXPECT_EQ(cursor.ops->seek(&cursor, 5, 0), OK);
    EXPECT_TRUE(cursor.ops->atEnd(&cursor));
    uint8_t b = 0;
    EXPECT_EQ(cursor.ops->readByte(&cursor, &b), ERR_EOF);
    EXPECT_EQ(cursor.ops->borrow(&cursor, 4, 1), in.data() + 4);
    EXPECT_EQ(cursor.ops->borrow(&cursor, 4, 2), nullptr);
    EXPECT_EQ(cursor.ops->borrow(&cursor, 1, 0xFFFFFFFFu), nullptr);
}

TEST(Asn1Walkers, CheckTagGetChildFindContextTag) {
    Parsed p(Bytes{0x30, 0x0A, 0x02, 0x01, 0x01, 0xA1, 0x00, 0x81, 0x01, 0x07, 0xA3, 0x00});
    ASSERT_EQ(p.status, OK);
    EXPECT_EQ(ASN1_checkTag(p.top(), ASN1_SEQUENCE), OK);
    EXPECT_EQ(ASN1_checkTag(p.top(), ASN1_SET), ERR_ASN_BAD_TAG);
    EXPECT_EQ(ASN1_checkTag(nullptr, ASN1_SEQUENCE), ERR_NULL_POINTER);
    Asn1Item* c0 = nullptr;
    Asn1Item* c1 = nullptr;
    ASSERT_EQ(ASN1_getChild(p.top(), 0, &c0), OK);
    ASSERT_EQ(ASN1_getChild(p.top(), 1, &c1), OK);
    EXPECT_EQ(c0, c1);
    Asn1Item* ctx = nullptr;
    ASSERT_EQ(ASN1_getChild(p.top(), 2, &ctx), OK);
    // A context-specific [1] is not a universal BOOLEAN.
    EXPECT_EQ(ASN1_checkTag(ctx, ASN1_BOOLEAN), ERR_ASN_BAD_TAG);

    Asn1Item* found = nullptr;
    ASSERT_EQ(ASN1_findContextTag(p.top(), 1, &found), OK);
    EXPECT_EQ(found, ctx);
    ASSERT_EQ(ASN1_findContextTag(p.top(), 3, &found), OK);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->form, ASN1_CLASS_CONTEXT | ASN1_CONSTRUCTED);
    ASSERT_EQ(ASN1_findContextTag(p.top(), 2, &found), OK);
    EXPECT_EQ(found, nullptr);
    Asn1Item* leaf = nullptr;
    EXPECT_EQ(ASN1_getChild(c0, 1, &leaf), ERR_CERT_INVALID_STRUCT);
}

TEST(Asn1Walkers, CompareOid) {
    const Bytes rsaOid{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
    Parsed p(tlv(0x30, cat({tlv(0x06, rsaOid), {0x05, 0x00}})));
    ASSERT_EQ(p.status, OK);
    const uint8_t arc[] = {8, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01};
    const uint8_t exact[] = {9, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
    const uint8_t other[] = {9, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B};
    uint8_t extra = 0;
    Asn1Item* match = nullptr;
    EXPECT_EQ(ASN1_compareOid(p.top(), &p.cursor, arc, &extra, &match), OK);
    EXPECT_EQ(extra, 1);
    EXPECT_EQ(match, p.top()->firstChild);
    EXPECT_EQ(ASN1_compareOid(p.top(), &p.cursor, exact, nullptr, nullptr), OK);
    EXPECT_EQ(ASN1_compareOid(p.top(), &p.cursor, other, nullptr, nullptr), ERR_CERT_INVALID_OID);
    EXPECT_EQ(ASN1_compareOid(p.top(), &p.cursor, arc, nullptr, nullptr), ERR_CERT_INVALID_OID);
    EXPECT_EQ(ASN1_compareOid(p.top(), &p.cursor, exact, &extra, nullptr), ERR_CERT_INVALID_OID);
    // Wrong structure.
    EXPECT_EQ(ASN1_compareOid(p.top()->firstChild, &p.cursor, exact, nullptr, nullptr),
              ERR_CERT_INVALID_STRUCT);
    Parsed q(tlv(0x30, cat({{0x05, 0x00}, tlv(0x06, rsaOid)})));
    EXPECT_EQ(ASN1_compareOid(q.top(), &q.cursor, exact, nullptr, nullptr),
              ERR_CERT_INVALID_STRUCT);
    Parsed empty(Bytes{0x30, 0x00});
    EXPECT_EQ(ASN1_compareOid(empty.top(), &empty.cursor, exact, nullptr, nullptr),
              ERR_CERT_INVALID_STRUCT);
    // An item whose content lies outside the cursor's input is never compared.
    Asn1Cursor small;
    ASN1_memCursorInit(&small, p.input.data(), 6);
    EXPECT_EQ(ASN1_compareOid(p.top(), &small, exact, nullptr, nullptr), ERR_CERT_INVALID_STRUCT);
}
