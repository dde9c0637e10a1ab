// Unit-array kernels shared by the vlong sources. Not for use outside crypto/vlong.
#pragma once
#include <cstdint>

#include "crypto/vlong/vlong.h"

// On hosts with a 128-bit integer type the leaf kernels work on pairs of units
// (64-bit limbs); everywhere else on single 32-bit units. Both give the same result.
#if defined(__SIZEOF_INT128__) && !defined(VLONG_NO_WIDE)
#define VLONG_WIDE 1
#else
#define VLONG_WIDE 0
#endif

// Drops zero units from the top of v.
void vlongNormalize(vlong* v);

// r[0 .. na+nb) = a[0 .. na) * b[0 .. nb); r must not overlap a or b.
// The column kernels may need working memory on wide hosts: -6101 when it cannot be had.
MSTATUS vlongMulColumns(uint32_t* r, const uint32_t* a, uint32_t na, const uint32_t* b,
                        uint32_t nb);
// r[0 .. 2n) = a[0 .. n)^2; r must not overlap a.
MSTATUS vlongSqrColumns(uint32_t* r, const uint32_t* a, uint32_t n);
// r[0 .. nr) = low nr units of a * b; r must not overlap a or b.
MSTATUS vlongMulColumnsLow(uint32_t* r, uint32_t nr, const uint32_t* a, uint32_t na,
                           const uint32_t* b, uint32_t nb);
// r[0 .. na+nb) = a * b less the partial products of the columns below unit dropBelow
// (on wide hosts: of the 64-bit columns below dropBelow / 2). The shortfall is below
// dropBelow * 2^(32 (dropBelow + 2)).
MSTATUS vlongMulColumnsHigh(uint32_t* r, const uint32_t* a, uint32_t na, const uint32_t* b,
                            uint32_t nb, uint32_t dropBelow);
// Montgomery arithmetic on limbs of the host's widest product (64-bit limbs on wide hosts,
// 32-bit units elsewhere), least significant first, for an odd modulus m of n limbs with a
// non-zero top limb and mPrime = -m^-1 mod 2^(limb bits); R = 2^(n limb bits).
#if VLONG_WIDE
typedef uint64_t vlongLimb;
#else
typedef uint32_t vlongLimb;
#endif
// r = a b R^-1 mod m for a, b below m, fully reduced; r may be a or b; u holds n limbs.
void vlongMontMul(vlongLimb* r, const vlongLimb* a, const vlongLimb* b, const vlongLimb* m,
                  vlongLimb mPrime, uint32_t n, vlongLimb* u);
// r = a a R^-1 mod m, the same way.
void vlongMontSqr(vlongLimb* r, const vlongLimb* a, const vlongLimb* m, vlongLimb mPrime,
                  uint32_t n, vlongLimb* u);

// 8 x 8 unit product and 8-unit square into 16 units.
void vlongMul8(uint32_t* r, const uint32_t* a, const uint32_t* b);
void vlongSqr8(uint32_t* r, const uint32_t* a);

// Owning handle for a temporary vlong: releases it into the queue when it leaves scope.
struct VlongHold {
    vlong* v = nullptr;
    vlong** queue = nullptr;
    explicit VlongHold(vlong** q) : queue(q) {}
    ~VlongHold() {
        if (v) VLONG_release(&v, queue);
    }
    VlongHold(const VlongHold&) = delete;
    VlongHold& operator=(const VlongHold&) = delete;
};
