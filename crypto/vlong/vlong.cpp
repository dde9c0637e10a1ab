// vlong records, the release queue, byte-string conversion, comparison,
// shifts, and addition and subtraction.
#include <cstring>

#include "crypto/platform/platform.h"
#include "crypto/vlong/vlong.h"
#include "crypto/vlong/vlong_internal.h"

void (*g_vlongScrubHook)(const uint32_t* units, uint32_t count) = nullptr;

namespace {

const uint8_t kBitLengthOfByte[256] = {
    0, 1, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5,
    6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6,
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8,
    8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8,
    8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8,
    8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8};

uint32_t unitBitLength(uint32_t w) {
    if (w >> 24) return 24 + kBitLengthOfByte[w >> 24];
    if (w >> 16) return 16 + kBitLengthOfByte[w >> 16];
    if (w >> 8) return 8 + kBitLengthOfByte[w >> 8];
    return kBitLengthOfByte[w];
}

void freeUnits(uint32_t* units, uint32_t count) {
    if (!units) return;
    for (uint32_t i = 0; i < count; i++) units[i] = 0x00000067u;
    if (g_vlongScrubHook) g_vlongScrubHook(units, count);
    PLATFORM_free(units);
}

// Replaces the unit array of v by one of capacity units, keeping the first keep units.
MSTATUS replaceUnits(vlong* v, uint32_t capacity, uint32_t keep) {
    uint32_t* fresh = static_cast<uint32_t*>(PLATFORM_malloc(size_t(capacity) * sizeof(uint32_t)));
    if (!fresh) return ERR_MEM_ALLOC_FAIL;
    if (keep) memcpy(fresh, v->units, size_t(keep) * sizeof(uint32_t));
    freeUnits(v->units, v->allocated);
    v->units = fresh;
    v->allocated = capacity;
    return OK;
}

} // namespace

void vlongNormalize(vlong* v) {
    while (v->used && v->units[v->used - 1] == 0) v->used--;
    if (!v->used) v->negative = 0;
}

// ---------------------------------------------------------------- records

MSTATUS VLONG_alloc(vlong** out, vlong** queue) {
    if (!out) return ERR_NULL_POINTER;
    vlong* v;
    if (queue && *queue) {
        v = *queue;
        *queue = v->next;
    } else {
        v = static_cast<vlong*>(PLATFORM_malloc(sizeof(vlong)));
        if (!v) return ERR_MEM_ALLOC_FAIL;
        v->units = nullptr;
        v->allocated = 0;
    }
    v->used = 0;
    v->negative = 0;
    v->next = nullptr;
    *out = v;
    return OK;
}

MSTATUS VLONG_release(vlong** pv, vlong** queue) {
    if (!pv || !*pv) return ERR_NULL_POINTER;
    vlong* v = *pv;
    *pv = nullptr;
    if (queue) {
        v->next = *queue;
        *queue = v;
        return OK;
    }
    freeUnits(v->units, v->allocated);
    v->units = nullptr;
    v->allocated = v->used = v->negative = 0;
    v->next = nullptr;
    PLATFORM_free(v);
    return OK;
}

MSTATUS VLONG_drainQueue(vlong** queue) {
    if (!queue) return OK;
    while (*queue) {
        vlong* v = *queue;
        *queue = v->next;
        v->next = nullptr;
        VLONG_release(&v, nullptr);
    }
    return OK;
}

MSTATUS VLONG_reserve(vlong* v, uint32_t n) {
    if (!v) return ERR_NULL_POINTER;
    if (n > VLONG_MAX_UNITS) return ERR_BAD_LENGTH;
    if (n <= v->allocated) return OK;
    MSTATUS status = replaceUnits(v, n + 1, 0);
    if (status != OK) return status;
    v->used = 0;
    v->negative = 0;
    return OK;
}

MSTATUS VLONG_grow(vlong* v, uint32_t n) {
    if (!v) return ERR_NULL_POINTER;
    if (n > VLONG_MAX_UNITS) return ERR_BAD_LENGTH;
    if (n <= v->allocated) return OK;
    return replaceUnits(v, n + 3, v->used);
}

MSTATUS VLONG_setUnit(vlong* v, uint32_t index, uint32_t value) {
    if (!v) return ERR_NULL_POINTER;
    if (index >= v->used) {
        if (!value) return OK;
        if (index >= VLONG_MAX_UNITS) return ERR_BAD_LENGTH;
        MSTATUS status = VLONG_grow(v, index + 1);
        if (status != OK) return status;
        for (uint32_t i = v->used; i < index; i++) v->units[i] = 0;
        v->units[index] = value;
        v->used = index + 1;
        return OK;
    }
    v->units[index] = value;
    if (index == v->used - 1 && !value) vlongNormalize(v);
    return OK;
}

MSTATUS VLONG_fromUnsigned(uint32_t value, vlong** out, vlong** queue) {
    if (!out) return ERR_NULL_POINTER;
    vlong* v = nullptr;
    MSTATUS status = VLONG_alloc(&v, queue);
    if (status != OK) return status;
    status = VLONG_setUnit(v, 0, value);
    if (status != OK) {
        VLONG_release(&v, queue);
        return status;
    }
    *out = v;
    return OK;
}

MSTATUS VLONG_copy(vlong* destination, const vlong* source) {
    if (!destination || !source) return ERR_NULL_POINTER;
    if (destination == source) {
        destination->negative = 0;
        return OK;
    }
    MSTATUS status = VLONG_reserve(destination, source->used);
    if (status != OK) return status;
    if (source->used)
        memcpy(destination->units, source->units, size_t(source->used) * sizeof(uint32_t));
    destination->used = source->used;
    destination->negative = 0;
    return OK;
}

MSTATUS VLONG_copySigned(vlong* destination, const vlong* source) {
    if (!destination || !source) return ERR_NULL_POINTER;
    uint32_t negative = source->used ? source->negative : 0;
    MSTATUS status = VLONG_copy(destination, source);
    if (status != OK) return status;
    destination->negative = negative;
    return OK;
}

MSTATUS VLONG_duplicate(const vlong* source, vlong** out, vlong** queue) {
    if (!source || !out) return ERR_NULL_POINTER;
    vlong* v = nullptr;
    MSTATUS status = VLONG_alloc(&v, queue);
    if (status != OK) return status;
    status = VLONG_copySigned(v, source);
    if (status != OK) {
        VLONG_release(&v, queue);
        return status;
    }
    *out = v;
    return OK;
}

// ---------------------------------------------------------------- conversion

MSTATUS VLONG_fromByteString(const uint8_t* bytes, int32_t length, vlong** out, vlong** queue) {
    if (!out) return ERR_NULL_POINTER;
    if (length < 0) return ERR_BAD_LENGTH;
    if (length > 0 && !bytes) return ERR_NULL_POINTER;
    uint32_t units = uint32_t(length) / 4 + 1;
    if (units > VLONG_MAX_UNITS) return ERR_BAD_LENGTH;
    vlong* v = nullptr;
    MSTATUS status = VLONG_alloc(&v, queue);
    if (status != OK) return status;
    status = VLONG_reserve(v, units);
    if (status != OK) {
        VLONG_release(&v, queue);
        return status;
    }
    uint32_t n = 0;
    int32_t end = length;
    while (end >= 4) {
        const uint8_t* p = bytes + end - 4;
        v->units[n++] = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
        end -= 4;
    }
    if (end > 0) {
        uint32_t w = 0;
        for (int32_t i = 0; i < end; i++) w = w << 8 | bytes[i];
        v->units[n++] = w;
    }
    v->used = n;
    v->negative = 0;
    vlongNormalize(v);
    *out = v;
    return OK;
}

uint32_t VLONG_bitLength(const vlong* v) {
    if (!v || !v->used) return 0;
    return (v->used - 1) * 32 + unitBitLength(v->units[v->used - 1]);
}

MSTATUS VLONG_byteStringFromVlong(const vlong* v, uint8_t* buffer, int32_t* length) {
    if (!v || !length) return ERR_NULL_POINTER;
    uint32_t need = (VLONG_bitLength(v) + 7) / 8;
    if (!buffer) {
        *length = int32_t(need);
        return OK;
    }
    if (*length < 0 || need > uint32_t(*length)) return ERR_BUFFER_OVERFLOW;
    uint32_t size = uint32_t(*length);
    uint32_t front = size - need;
    memset(buffer, 0, front);
    for (uint32_t i = 0; i < need; i++) {
        uint32_t byteIndex = need - 1 - i; // counted from the least significant byte
        buffer[front + i] = uint8_t(v->units[byteIndex / 4] >> (8 * (byteIndex % 4)));
    }
    return OK;
}

// ---------------------------------------------------------------- comparison and bits

int VLONG_compareMagnitude(const vlong* a, const vlong* b) {
    if (a->used != b->used) return a->used > b->used ? 1 : -1;
    for (uint32_t i = a->used; i-- > 0;) {
        if (a->units[i] != b->units[i]) return a->units[i] > b->units[i] ? 1 : -1;
    }
    return 0;
}

int VLONG_compare(const vlong* a, const vlong* b) {
    bool an = a->negative && a->used;
    bool bn = b->negative && b->used;
    if (an != bn) return an ? -1 : 1;
    int c = VLONG_compareMagnitude(a, b);
    return an ? -c : c;
}

int VLONG_compareUnsigned(const vlong* a, uint32_t w) {
    if (a->negative && a->used) return -1;
    if (a->used > 1) return 1;
    uint32_t x = a->used ? a->units[0] : 0;
    return x == w ? 0 : (x > w ? 1 : -1);
}

int VLONG_testBit(const vlong* v, uint32_t i) {
    if (!v || i / 32 >= v->used) return 0;
    return int(v->units[i / 32] >> (i % 32) & 1);
}

MSTATUS VLONG_setBit(vlong* v, uint32_t i) {
    if (!v) return ERR_NULL_POINTER;
    uint32_t index = i / 32;
    uint32_t bit = 1u << (i % 32);
    if (index < v->used) {
        v->units[index] |= bit;
        return OK;
    }
    return VLONG_setUnit(v, index, bit);
}

MSTATUS VLONG_shiftLeft(vlong* v, uint32_t bits) {
    if (!v) return ERR_NULL_POINTER;
    if (!v->used || !bits) return OK;
    uint32_t unitShift = bits / 32;
    uint32_t bitShift = bits % 32;
    uint32_t n = v->used;
    uint32_t spill = bitShift ? v->units[n - 1] >> (32 - bitShift) : 0;
    if (unitShift >= VLONG_MAX_UNITS) return ERR_BAD_LENGTH;
    uint32_t newUsed = n + unitShift + (spill ? 1 : 0);
    if (newUsed > VLONG_MAX_UNITS) return ERR_BAD_LENGTH;
    MSTATUS status = VLONG_grow(v, newUsed);
    if (status != OK) return status;
    uint32_t* u = v->units;
    if (spill) u[n + unitShift] = spill;
    if (bitShift) {
        for (uint32_t i = n - 1; i > 0; i--)
            u[i + unitShift] = u[i] << bitShift | u[i - 1] >> (32 - bitShift);
        u[unitShift] = u[0] << bitShift;
    } else {
        for (uint32_t i = n; i-- > 0;) u[i + unitShift] = u[i];
    }
    for (uint32_t i = 0; i < unitShift; i++) u[i] = 0;
    v->used = newUsed;
    return OK;
}

MSTATUS VLONG_shiftRight(vlong* v, uint32_t bits) {
    if (!v) return ERR_NULL_POINTER;
    uint32_t unitShift = bits / 32;
    uint32_t bitShift = bits % 32;
    if (unitShift >= v->used) {
        v->used = 0;
        v->negative = 0;
        return OK;
    }
    uint32_t* u = v->units;
    uint32_t n = v->used - unitShift;
    if (bitShift) {
        for (uint32_t i = 0; i + 1 < n; i++)
            u[i] = u[i + unitShift] >> bitShift | u[i + unitShift + 1] << (32 - bitShift);
        u[n - 1] = u[n - 1 + unitShift] >> bitShift;
    } else if (unitShift) {
        for (uint32_t i = 0; i < n; i++) u[i] = u[i + unitShift];
    }
    v->used = n;
    vlongNormalize(v);
    return OK;
}

MSTATUS VLONG_shiftLeftOne(vlong* v) {
    return VLONG_shiftLeft(v, 1);
}
MSTATUS VLONG_shiftRightOne(vlong* v) {
    return VLONG_shiftRight(v, 1);
}

// ---------------------------------------------------------------- addition

MSTATUS VLONG_addMagnitude(vlong* a, const vlong* b) {
    if (!a || !b) return ERR_NULL_POINTER;
    uint32_t n = a->used > b->used ? a->used : b->used;
    uint32_t negative = a->negative;
    MSTATUS status = VLONG_grow(a, n + 1 > VLONG_MAX_UNITS ? VLONG_MAX_UNITS : n + 1);
    if (status != OK) return status;
    uint32_t* u = a->units;
    const uint32_t* w = b->units; // read after the grow: a and b may be one record
    uint32_t aUsed = a->used, bUsed = b->used;
    uint32_t carry = 0;
    for (uint32_t i = 0; i < n; i++) {
        uint64_t s = uint64_t(i < aUsed ? u[i] : 0) + (i < bUsed ? w[i] : 0) + carry;
        u[i] = uint32_t(s);
        carry = uint32_t(s >> 32);
    }
    if (carry) {
        if (n >= VLONG_MAX_UNITS) {
            // too long: give a back its value
            if (a == b) {
                for (uint32_t i = 0; i < n; i++)
                    u[i] = u[i] >> 1 | (i + 1 < n ? u[i + 1] << 31 : carry << 31);
            } else {
                uint32_t borrow = 0;
                for (uint32_t i = 0; i < n; i++) {
                    uint64_t d = uint64_t(u[i]) - (i < bUsed ? w[i] : 0) - borrow;
                    u[i] = uint32_t(d);
                    borrow = uint32_t(d >> 63);
                }
            }
            return ERR_BAD_LENGTH;
        }
        u[n++] = carry;
    }
    a->used = n;
    a->negative = negative;
    vlongNormalize(a);
    return OK;
}

MSTATUS VLONG_subtractMagnitude(vlong* a, const vlong* b) {
    if (!a || !b) return ERR_NULL_POINTER;
    if (VLONG_compareMagnitude(a, b) < 0) return ERR_INVALID_ARG;
    uint32_t* u = a->units;
    const uint32_t* w = b->units;
    uint32_t borrow = 0;
    for (uint32_t i = 0; i < a->used; i++) {
        uint64_t d = uint64_t(u[i]) - (i < b->used ? w[i] : 0) - borrow;
        u[i] = uint32_t(d);
        borrow = uint32_t(d >> 63);
        if (i >= b->used && !borrow) break;
    }
    vlongNormalize(a);
    return OK;
}

namespace {

// a = a + (bNegative ? -|b| : |b|)
MSTATUS addSigned(vlong* a, const vlong* b, uint32_t bNegative, vlong** queue) {
    uint32_t aNegative = a->used ? a->negative : 0;
    if (!b->used) return OK;
    if (aNegative == bNegative) {
        MSTATUS status = VLONG_addMagnitude(a, b);
        if (status == OK) a->negative = a->used ? aNegative : 0;
        return status;
    }
    if (VLONG_compareMagnitude(a, b) >= 0) {
        MSTATUS status = VLONG_subtractMagnitude(a, b);
        if (status == OK) a->negative = a->used ? aNegative : 0;
        return status;
    }
    VlongHold t(queue);
    MSTATUS status = VLONG_alloc(&t.v, queue);
    if (status == OK) status = VLONG_copy(t.v, b);
    if (status == OK) status = VLONG_subtractMagnitude(t.v, a);
    if (status == OK) status = VLONG_copy(a, t.v);
    if (status == OK) a->negative = a->used ? bNegative : 0;
    return status;
}

MSTATUS addWord(vlong* a, uint32_t w, uint32_t negative, vlong** queue) {
    if (!a) return ERR_NULL_POINTER;
    VlongHold t(queue);
    MSTATUS status = VLONG_fromUnsigned(w, &t.v, queue);
    if (status == OK) status = addSigned(a, t.v, negative, queue);
    return status;
}

} // namespace

MSTATUS VLONG_add(vlong* a, const vlong* b, vlong** queue) {
    if (!a || !b) return ERR_NULL_POINTER;
    return addSigned(a, b, b->used ? b->negative : 0, queue);
}

MSTATUS VLONG_subtract(vlong* a, const vlong* b, vlong** queue) {
    if (!a || !b) return ERR_NULL_POINTER;
    if (a == b) {
        a->used = 0;
        a->negative = 0;
        return OK;
    }
    return addSigned(a, b, b->used ? !b->negative : 0, queue);
}

MSTATUS VLONG_increment(vlong* a, vlong** queue) {
    return addWord(a, 1, 0, queue);
}
MSTATUS VLONG_decrement(vlong* a, vlong** queue) {
    return addWord(a, 1, 1, queue);
}
MSTATUS VLONG_addUnsigned(vlong* a, uint32_t w, vlong** queue) {
    return addWord(a, w, 0, queue);
}
