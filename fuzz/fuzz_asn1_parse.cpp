// libFuzzer target: ASN1_parse and the tree walkers over arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "crypto/asn1/asn1.h"

namespace {

const uint8_t kRsaArc[] = {8, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01};

void walk(const Asn1Item* item, Asn1Cursor* cursor, const uint8_t* data, size_t size,
          unsigned depth) {
    for (; item != nullptr; item = item->next) {
        if (depth > ASN1_MAX_DEPTH + 1 || item->headerSize > sizeof(item->header)) abort();
        // Every definite item lies inside the input.
        if (!item->indefinite &&
            (item->contentOffset > size || item->length > size - item->contentOffset)) {
            abort();
        }
        if (item->contentOffset <= size && item->length <= size - item->contentOffset) {
            volatile uint8_t sink = 0;
            for (uint32_t i = 0; i < item->length; ++i) sink ^= data[item->contentOffset + i];
            (void)sink;
        }
        uint8_t arc = 0;
        Asn1Item* match = nullptr;
        ASN1_compareOid(item, cursor, kRsaArc, &arc, &match);
        Asn1Item* child = nullptr;
        ASN1_getChild(item, 2, &child);
        ASN1_findContextTag(item, 0, &child);
        ASN1_checkTag(item, ASN1_SEQUENCE);
        walk(item->firstChild, cursor, data, size, depth + 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0xFFFFFFFFu) return 0;
    Asn1Cursor cursor;
    ASN1_memCursorInit(&cursor, data, static_cast<uint32_t>(size));
    Asn1Item* root = nullptr;
    if (ASN1_parse(&cursor, &root) == OK) {
        walk(root->firstChild, &cursor, data, size, 1);
        ASN1_freeTree(&root);
    } else if (root != nullptr) {
        abort(); // a failed parse hands out no tree
    }
    return 0;
}
