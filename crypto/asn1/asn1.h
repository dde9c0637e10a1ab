// BER/DER reader: turns bytes into a tree of items that point into the input by offset.
#pragma once
#include <cstdint>

#include "crypto/platform/errors.h"

enum : uint32_t {
    ASN1_CLASS_UNIVERSAL = 0x00,
    ASN1_CLASS_APPLICATION = 0x40,
    ASN1_CLASS_CONTEXT = 0x80,
    ASN1_CLASS_PRIVATE = 0xC0,
    ASN1_CONSTRUCTED = 0x20,

    ASN1_EOC = 0,
    ASN1_BOOLEAN = 1,
    ASN1_INTEGER = 2,
    ASN1_BIT_STRING = 3,
    ASN1_OCTET_STRING = 4,
    ASN1_NULL = 5,
    ASN1_OID = 6,
    ASN1_ENUMERATED = 10,
    ASN1_SEQUENCE = 16,
    ASN1_SET = 17,

    ASN1_MAX_DEPTH = 40,
};

struct Asn1Item {
    Asn1Item* parent;
    Asn1Item* firstChild;
    Asn1Item* next;
    uint32_t form; // class bits plus ASN1_CONSTRUCTED
    uint32_t tag;
    uint32_t length; // content length (BIT STRING: without the unused-bits octet)
    uint8_t indefinite;
    uint32_t headerSize;
    uint8_t header[10];
    uint8_t encapsulates;
    uint32_t value;
    uint32_t contentOffset;
};

// Read cursor. The memory cursor is the only one in use.
struct Asn1Cursor;
struct Asn1CursorOps {
    MSTATUS (*readByte)(Asn1Cursor* c, uint8_t* out);
    MSTATUS (*unreadByte)(Asn1Cursor* c);
    uint32_t (*tell)(const Asn1Cursor* c);
    MSTATUS (*seek)(Asn1Cursor* c, int64_t offset, int relative);
    int (*atEnd)(const Asn1Cursor* c);
    // lends a pointer to length bytes at offset, or null when they are not all inside the input
    const uint8_t* (*borrow)(Asn1Cursor* c, uint32_t offset, uint32_t length);
    void (*giveBack)(Asn1Cursor* c, const uint8_t* p);
};
struct Asn1Cursor {
    const Asn1CursorOps* ops;
    const uint8_t* data;
    uint32_t length;
    uint32_t position;
};

void ASN1_memCursorInit(Asn1Cursor* cursor, const uint8_t* data, uint32_t length);

MSTATUS ASN1_parse(Asn1Cursor* cursor, Asn1Item** root);
MSTATUS ASN1_checkTag(const Asn1Item* item, uint32_t tag);
MSTATUS ASN1_getChild(const Asn1Item* item, uint32_t index, Asn1Item** child);
MSTATUS ASN1_findContextTag(const Asn1Item* item, uint32_t tag, Asn1Item** found);
// expected: count byte k, then k OID content bytes. extraArc null: exact match.
MSTATUS ASN1_compareOid(const Asn1Item* item, Asn1Cursor* cursor, const uint8_t* expected,
                        uint8_t* extraArc, Asn1Item** match);
MSTATUS ASN1_freeTree(Asn1Item** root);
