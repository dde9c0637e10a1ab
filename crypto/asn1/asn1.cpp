// BER/DER reader: a memory cursor and a depth-first item reader that builds a tree of
// Asn1Item records pointing into the input by offset, plus the tree walkers.
#include <cstring>

#include "crypto/asn1/asn1.h"
#include "crypto/platform/platform.h"

// ---------------------------------------------------------------------------------------------
// Memory cursor

namespace {

MSTATUS memReadByte(Asn1Cursor* c, uint8_t* out) {
    if (c->position >= c->length) return ERR_EOF;
    *out = c->data[c->position++];
    return OK;
}

MSTATUS memUnreadByte(Asn1Cursor* c) {
    if (c->position == 0) return ERR_EOF;
    --c->position;
    return OK;
}

uint32_t memTell(const Asn1Cursor* c) {
    return c->position;
}

MSTATUS memSeek(Asn1Cursor* c, int64_t offset, int relative) {
    const int64_t target = relative ? static_cast<int64_t>(c->position) + offset : offset;
    if (target < 0 || target > static_cast<int64_t>(c->length)) return ERR_EOF;
    c->position = static_cast<uint32_t>(target);
    return OK;
}

int memAtEnd(const Asn1Cursor* c) {
    return c->position >= c->length ? 1 : 0;
}

const uint8_t* memBorrow(Asn1Cursor* c, uint32_t offset, uint32_t length) {
    if (c->data == nullptr || offset > c->length || length > c->length - offset) return nullptr;
    return c->data + offset;
}

void memGiveBack(Asn1Cursor*, const uint8_t*) {}

const Asn1CursorOps kMemCursorOps = {memReadByte, memUnreadByte, memTell,    memSeek,
                                     memAtEnd,    memBorrow,     memGiveBack};

} // namespace

void ASN1_memCursorInit(Asn1Cursor* cursor, const uint8_t* data, uint32_t length) {
    if (cursor == nullptr) return;
    cursor->ops = &kMemCursorOps;
    cursor->data = data;
    cursor->length = data == nullptr ? 0 : length;
    cursor->position = 0;
}

// ---------------------------------------------------------------------------------------------
// Item reader

namespace {

// Where the reader may go: `limit` is the end of the innermost enclosing item of definite
// length (or the end of the input when there is none); `bounded` tells which of the two it is.
struct Bounds {
    uint32_t limit;
    bool bounded;
};

struct Reader {
    Asn1Cursor* cursor;
    uint32_t inputEnd;
};

void freeChain(Asn1Item* item) {
    while (item != nullptr) {
        Asn1Item* next = item->next;
        freeChain(item->firstChild); // depth is bounded by the reader's nesting limit
        memset(item, 0, sizeof(*item));
        PLATFORM_free(item);
        item = next;
    }
}

MSTATUS readOctet(Reader& r, const Bounds& b, uint8_t* out) {
    if (r.cursor->ops->tell(r.cursor) >= b.limit) return ERR_EOF;
    return r.cursor->ops->readByte(r.cursor, out);
}

// Reads identifier and length octets into item. A header that runs out inside a definite-length
// item gives ERR_ASN_CHILD_OVERRUN; otherwise running out inside the identifier gives
// ERR_ASN_TAG_TOO_LONG and elsewhere the cursor's ERR_EOF.
MSTATUS readHeader(Reader& r, const Bounds& b, Asn1Item* item) {
    const MSTATUS eof = b.bounded ? ERR_ASN_CHILD_OVERRUN : ERR_EOF;
    uint8_t octet = 0;
    uint32_t n = 0;

    if (readOctet(r, b, &octet) != OK) return eof;
    item->header[n++] = octet;
    item->form = octet & 0xE0u;
    item->tag = octet & 0x1Fu;
    if (item->tag == 0x1Fu) {
        // High tag number: at most four base-128 continuation octets.
        uint32_t tag = 0;
        for (uint32_t i = 0;; ++i) {
            if (readOctet(r, b, &octet) != OK) return b.bounded ? eof : ERR_ASN_TAG_TOO_LONG;
            item->header[n++] = octet;
            tag = (tag << 7) | (octet & 0x7Fu);
            if ((octet & 0x80u) == 0) break;
            if (i == 3) return ERR_ASN_TAG_TOO_LONG;
        }
        item->tag = tag;
    }

    if (readOctet(r, b, &octet) != OK) return eof;
    item->header[n++] = octet;
    item->indefinite = 0;
    if (octet < 0x80u) {
        item->length = octet;
    } else if (octet == 0x80u) {
        item->indefinite = 1;
        item->length = 0;
    } else if (octet <= 0x84u) {
        uint32_t length = 0;
        for (uint32_t i = 0; i < (octet & 0x7Fu); ++i) {
            uint8_t lo = 0;
            if (readOctet(r, b, &lo) != OK) return eof;
            item->header[n++] = lo;
            length = (length << 8) | lo;
        }
        item->length = length;
    } else {
        return ERR_ASN_LENGTH_TOO_LONG;
    }
    item->headerSize = n;
    return OK;
}

bool emptyPrimitiveAllowed(uint32_t tag) {
    switch (tag) {
    case 0:
    case 4:
    case 5:
    case 7:
    case 9:
    case 12:
    case 16:
    case 17:
    case 18:
    case 19:
    case 20:
    case 21:
    case 22:
    case 25:
    case 26:
    case 27:
    case 28:
    case 30:
        return true;
    default:
        return false;
    }
}

bool isUniversalOrContext(uint32_t form) {
    const uint32_t cls = form & 0xC0u;
    return cls == ASN1_CLASS_UNIVERSAL || cls == ASN1_CLASS_CONTEXT;
}

MSTATUS readItem(Reader& r, Asn1Item* parent, Asn1Item** tail, uint32_t depth, const Bounds& b);

// Reads items as children of parent until the cursor reaches end (definite content).
MSTATUS readDefiniteChildren(Reader& r, Asn1Item* parent, uint32_t depth, uint32_t end) {
    const Bounds inner = {end, true};
    Asn1Item* tail = nullptr;
    while (r.cursor->ops->tell(r.cursor) < end) {
        const MSTATUS status = readItem(r, parent, &tail, depth + 1, inner);
        if (status != OK) return status;
    }
    return OK;
}

// Looks ahead, without consuming, whether [start, end) holds nested items.
bool looksEncapsulated(Reader& r, uint32_t tag, uint32_t start, uint32_t end) {
    const Bounds inner = {end, true};
    Asn1Item probe;
    memset(&probe, 0, sizeof(probe));
    bool result = false;
    if (readHeader(r, inner, &probe) == OK && !probe.indefinite &&
        isUniversalOrContext(probe.form)) {
        const uint32_t afterHeader = r.cursor->ops->tell(r.cursor);
        const bool fills = probe.length == end - afterHeader;
        if (tag == ASN1_OCTET_STRING) {
            result = fills && probe.tag >= 1 && probe.tag <= 49;
        } else if (fills && probe.tag == ASN1_SEQUENCE) {
            Asn1Item second;
            memset(&second, 0, sizeof(second));
            if (readHeader(r, inner, &second) == OK && !second.indefinite &&
                isUniversalOrContext(second.form) && second.tag == ASN1_INTEGER) {
                const uint32_t left = end - r.cursor->ops->tell(r.cursor);
                result = second.length < left;
            }
        }
    }
    r.cursor->ops->seek(r.cursor, start, 0);
    return result;
}

// BIT STRING or OCTET STRING content: nested items when it looks like them, else plain bytes.
MSTATUS readStringContent(Reader& r, Asn1Item* item, uint32_t depth) {
    const uint32_t start = item->contentOffset;
    const uint32_t end = start + item->length;
    if (item->length > 0 && looksEncapsulated(r, item->tag, start, end)) {
        item->encapsulates = 1;
        const MSTATUS status = readDefiniteChildren(r, item, depth, end);
        if (status == OK) return OK;
        if (status == ERR_MEM_ALLOC_FAIL) return status;
        // Not nested items after all: drop them and take the content as bytes.
        freeChain(item->firstChild);
        item->firstChild = nullptr;
        item->encapsulates = 0;
        r.cursor->ops->seek(r.cursor, start, 0);
    }
    return r.cursor->ops->seek(r.cursor, end, 0);
}

MSTATUS readPrimitiveUniversal(Reader& r, Asn1Item* item, uint32_t depth) {
    Asn1Cursor* c = r.cursor;
    const uint32_t start = item->contentOffset;
    const uint32_t end = start + item->length;
    switch (item->tag) {
    case ASN1_EOC:
    case ASN1_NULL:
        // These carry no content; a length would leave the reader inside it.
        return item->length == 0 ? OK : ERR_ASN_MALFORMED;
    case ASN1_BOOLEAN: {
        uint8_t octet = 0;
        const MSTATUS status = c->ops->readByte(c, &octet);
        if (status != OK) return status;
        item->value = octet;
        return c->ops->seek(c, end, 0);
    }
    case ASN1_INTEGER:
    case ASN1_ENUMERATED:
        if (item->length <= 4) {
            uint32_t value = 0;
            for (uint32_t i = 0; i < item->length; ++i) {
                uint8_t octet = 0;
                const MSTATUS status = c->ops->readByte(c, &octet);
                if (status != OK) return status;
                value = (value << 8) | octet;
            }
            item->value = value;
        }
        return c->ops->seek(c, end, 0);
    case ASN1_BIT_STRING: {
        uint8_t unused = 0;
        const MSTATUS status = c->ops->readByte(c, &unused);
        if (status != OK) return status;
        item->value = unused;
        item->contentOffset = start + 1;
        item->length -= 1;
        if (item->length == 0 && unused != 0) return ERR_ASN_MALFORMED;
        return readStringContent(r, item, depth);
    }
    case ASN1_OCTET_STRING:
        return readStringContent(r, item, depth);
    case 6:
    case 7:
    case 12:
    case 18:
    case 19:
    case 20:
    case 21:
    case 22:
    case 23:
    case 24:
    case 25:
    case 26:
    case 27:
    case 28:
    case 30:
        return c->ops->seek(c, end, 0);
    default: {
        const MSTATUS status = c->ops->seek(c, end, 0);
        return status != OK ? status : ERR_ASN_UNSUPPORTED_TAG;
    }
    }
}

MSTATUS readItem(Reader& r, Asn1Item* parent, Asn1Item** tail, uint32_t depth, const Bounds& b) {
    if (depth > ASN1_MAX_DEPTH) return ERR_ASN_NESTING_TOO_DEEP;
    Asn1Cursor* c = r.cursor;

    Asn1Item* item = static_cast<Asn1Item*>(PLATFORM_malloc(sizeof(Asn1Item)));
    if (item == nullptr) return ERR_MEM_ALLOC_FAIL;
    memset(item, 0, sizeof(*item));
    item->parent = parent;
    // Linked at once, so that releasing the tree on failure also releases this item.
    if (*tail != nullptr) {
        (*tail)->next = item;
    } else {
        parent->firstChild = item;
    }
    *tail = item;

    MSTATUS status = readHeader(r, b, item);
    if (status != OK) return status;
    const uint32_t start = c->ops->tell(c);
    item->contentOffset = start;
    const bool constructed = (item->form & ASN1_CONSTRUCTED) != 0;
    const uint32_t cls = item->form & 0xC0u;

    if (item->indefinite) {
        // Only constructed items can be closed by end-of-contents.
        if (!constructed) return ERR_ASN_MALFORMED;
    } else {
        if (item->length > b.limit - start) {
            return b.bounded ? ERR_ASN_CHILD_OVERRUN : ERR_EOF;
        }
        if (item->length == 0) {
            bool allowed;
            if (cls == ASN1_CLASS_UNIVERSAL) {
                allowed = constructed || emptyPrimitiveAllowed(item->tag);
            } else {
                allowed = cls == ASN1_CLASS_CONTEXT;
            }
            if (!allowed) return ERR_ASN_MALFORMED;
        }
    }

    if (constructed) {
        if (!item->indefinite) return readDefiniteChildren(r, item, depth, start + item->length);
        Asn1Item* childTail = nullptr;
        const MSTATUS eof = b.bounded ? ERR_ASN_CHILD_OVERRUN : ERR_EOF;
        for (;;) {
            uint8_t octet = 0;
            if (readOctet(r, b, &octet) != OK) return eof;
            if (octet == 0) {
                // End-of-contents: 00 00.
                if (readOctet(r, b, &octet) != OK) return eof;
                if (octet != 0) return ERR_ASN_MALFORMED;
                break;
            }
            c->ops->unreadByte(c);
            status = readItem(r, item, &childTail, depth + 1, b);
            if (status != OK) return status;
        }
        item->length = c->ops->tell(c) - 2 - start;
        return OK;
    }

    if (cls != ASN1_CLASS_UNIVERSAL) return c->ops->seek(c, start + item->length, 0);
    return readPrimitiveUniversal(r, item, depth);
}

} // namespace

MSTATUS ASN1_parse(Asn1Cursor* cursor, Asn1Item** root) {
    if (cursor == nullptr || root == nullptr || cursor->ops == nullptr) return ERR_NULL_POINTER;
    *root = nullptr;
    if (cursor->ops->atEnd(cursor)) return ERR_ASN_MALFORMED;

    Asn1Item* top = static_cast<Asn1Item*>(PLATFORM_malloc(sizeof(Asn1Item)));
    if (top == nullptr) return ERR_MEM_ALLOC_FAIL;
    memset(top, 0, sizeof(*top));
    top->contentOffset = cursor->ops->tell(cursor);
    top->length = cursor->length - top->contentOffset;

    Reader r = {cursor, cursor->length};
    const Bounds b = {r.inputEnd, false};
    Asn1Item* tail = nullptr;
    const MSTATUS status = readItem(r, top, &tail, 1, b);
    if (status != OK) {
        ASN1_freeTree(&top);
        return status;
    }
    *root = top;
    return OK;
}

MSTATUS ASN1_freeTree(Asn1Item** root) {
    if (root == nullptr || *root == nullptr) return ERR_NULL_POINTER;
    Asn1Item* top = *root;
    freeChain(top->firstChild);
    memset(top, 0, sizeof(*top));
    PLATFORM_free(top);
    *root = nullptr;
    return OK;
}

MSTATUS ASN1_checkTag(const Asn1Item* item, uint32_t tag) {
    if (item == nullptr) return ERR_NULL_POINTER;
    if ((item->form & 0xC0u) != ASN1_CLASS_UNIVERSAL || item->tag != tag) return ERR_ASN_BAD_TAG;
    return OK;
}

MSTATUS ASN1_getChild(const Asn1Item* item, uint32_t index, Asn1Item** child) {
    if (item == nullptr || child == nullptr) return ERR_NULL_POINTER;
    Asn1Item* found = item->firstChild;
    for (uint32_t i = 1; found != nullptr && i < index; ++i) found = found->next;
    *child = found;
    return found == nullptr ? ERR_CERT_INVALID_STRUCT : OK;
}

MSTATUS ASN1_findContextTag(const Asn1Item* item, uint32_t tag, Asn1Item** found) {
    if (item == nullptr || found == nullptr) return ERR_NULL_POINTER;
    *found = nullptr;
    for (Asn1Item* child = item->firstChild; child != nullptr; child = child->next) {
        if ((child->form & 0xC0u) == ASN1_CLASS_CONTEXT && child->tag == tag) {
            *found = child;
            break;
        }
    }
    return OK;
}

MSTATUS ASN1_compareOid(const Asn1Item* item, Asn1Cursor* cursor, const uint8_t* expected,
                        uint8_t* extraArc, Asn1Item** match) {
    if (item == nullptr || cursor == nullptr || cursor->ops == nullptr || expected == nullptr) {
        return ERR_NULL_POINTER;
    }
    if (ASN1_checkTag(item, ASN1_SEQUENCE) != OK || (item->form & ASN1_CONSTRUCTED) == 0) {
        return ERR_CERT_INVALID_STRUCT;
    }
    const Asn1Item* oid = item->firstChild;
    if (oid == nullptr || ASN1_checkTag(oid, ASN1_OID) != OK ||
        (oid->form & ASN1_CONSTRUCTED) != 0 || oid->indefinite) {
        return ERR_CERT_INVALID_STRUCT;
    }
    if (match != nullptr) *match = const_cast<Asn1Item*>(oid);

    const uint32_t k = expected[0];
    const uint32_t wanted = extraArc != nullptr ? k + 1 : k;
    if (oid->length != wanted) return ERR_CERT_INVALID_OID;
    const uint8_t* content = cursor->ops->borrow(cursor, oid->contentOffset, oid->length);
    if (content == nullptr) return ERR_CERT_INVALID_STRUCT;
    MSTATUS status = OK;
    if (memcmp(content, expected + 1, k) != 0) {
        status = ERR_CERT_INVALID_OID;
    } else if (extraArc != nullptr) {
        *extraArc = content[k];
    }
    cursor->ops->giveBack(cursor, content);
    return status;
}
