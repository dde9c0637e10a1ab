// Arbitrary-precision integers in sign-magnitude form, 32-bit units, least
// significant first, with Barrett and Montgomery modular arithmetic.
#pragma once
#include <cstdint>

#include "crypto/platform/errors.h"

enum : uint32_t { VLONG_MAX_UNITS = 8192 };

struct vlong {
    uint32_t* units;
    uint32_t allocated;
    uint32_t used;
    uint32_t negative;
    vlong* next;
};

// A queue is the head pointer of a list of released records; operations take vlong** queue
// (null: allocate and free directly).

struct MontContext {
    uint32_t r;    // bit length of m
    vlong* R;      // 2^r
    vlong* Rinv;   // R^-1 mod m
    vlong* m;      // copy of the modulus
    vlong* mPrime; // -m^-1 mod R
};

// Record management
MSTATUS VLONG_alloc(vlong** out, vlong** queue);
MSTATUS VLONG_release(vlong** v, vlong** queue);
MSTATUS VLONG_drainQueue(vlong** queue);
MSTATUS VLONG_reserve(vlong* v, uint32_t n);
MSTATUS VLONG_grow(vlong* v, uint32_t n);
MSTATUS VLONG_setUnit(vlong* v, uint32_t index, uint32_t value);
MSTATUS VLONG_fromUnsigned(uint32_t value, vlong** out, vlong** queue);
MSTATUS VLONG_copy(vlong* destination, const vlong* source);
MSTATUS VLONG_copySigned(vlong* destination, const vlong* source);
MSTATUS VLONG_duplicate(const vlong* source, vlong** out, vlong** queue);

// Conversion
MSTATUS VLONG_fromByteString(const uint8_t* bytes, int32_t length, vlong** out, vlong** queue);
MSTATUS VLONG_byteStringFromVlong(const vlong* v, uint8_t* buffer, int32_t* length);
uint32_t VLONG_bitLength(const vlong* v);

// Comparison and bits
int VLONG_compareMagnitude(const vlong* a, const vlong* b);
int VLONG_compare(const vlong* a, const vlong* b);
int VLONG_compareUnsigned(const vlong* a, uint32_t w);
int VLONG_testBit(const vlong* v, uint32_t i);
MSTATUS VLONG_setBit(vlong* v, uint32_t i);
MSTATUS VLONG_shiftLeft(vlong* v, uint32_t bits);
MSTATUS VLONG_shiftRight(vlong* v, uint32_t bits);
MSTATUS VLONG_shiftLeftOne(vlong* v);
MSTATUS VLONG_shiftRightOne(vlong* v);

// Arithmetic
MSTATUS VLONG_addMagnitude(vlong* a, const vlong* b);
MSTATUS VLONG_subtractMagnitude(vlong* a, const vlong* b);
MSTATUS VLONG_add(vlong* a, const vlong* b, vlong** queue);
MSTATUS VLONG_subtract(vlong* a, const vlong* b, vlong** queue);
MSTATUS VLONG_increment(vlong* a, vlong** queue);
MSTATUS VLONG_decrement(vlong* a, vlong** queue);
MSTATUS VLONG_addUnsigned(vlong* a, uint32_t w, vlong** queue);
MSTATUS VLONG_multiply(vlong* product, const vlong* a, const vlong* b);
MSTATUS VLONG_multiplySigned(const vlong* a, const vlong* b, vlong** out, vlong** queue);
MSTATUS VLONG_multiplyLow(vlong* product, const vlong* a, const vlong* b, uint32_t bits);
MSTATUS VLONG_divide(vlong* quotient, const vlong* dividend, const vlong* divisor, vlong* remainder,
                     vlong** queue);
MSTATUS VLONG_modulo(const vlong* a, const vlong* m, vlong** out, vlong** queue);
MSTATUS VLONG_quotient(const vlong* a, const vlong* b, vlong** out, vlong** queue);
MSTATUS VLONG_modInverse(const vlong* a, const vlong* m, vlong** out, vlong** queue);
MSTATUS VLONG_powerMod(const vlong* x, const vlong* e, const vlong* m, vlong** out, vlong** queue);

MSTATUS BARRETT_setup(vlong** mu, const vlong* m, vlong** queue);
MSTATUS BARRETT_mulMod(vlong* result, const vlong* a, const vlong* b, const vlong* m,
                       const vlong* mu, vlong** queue);

MSTATUS MONT_setup(MontContext** out, const vlong* m, vlong** queue);
MSTATUS MONT_multiply(const MontContext* ctx, vlong* a, const vlong* b, vlong** queue);
MSTATUS MONT_square(const MontContext* ctx, vlong* a, vlong** queue);
MSTATUS MONT_power(const MontContext* ctx, const vlong* x, const vlong* e, vlong** out,
                   vlong** queue);
MSTATUS MONT_dispose(MontContext** ctx, vlong** queue);

// Called, when set, with a unit array that a release without a queue has just overwritten
// with 0x00000067 and is about to free (a seam for tests).
extern void (*g_vlongScrubHook)(const uint32_t* units, uint32_t count);
