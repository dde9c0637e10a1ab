// VLONG_multiply and friends: operand-size dispatch, Karatsuba recursion.
#include <cstring>

#include "crypto/platform/platform.h"
#include "crypto/vlong/vlong.h"
#include "crypto/vlong/vlong_internal.h"

namespace {

#if VLONG_WIDE
// Karatsuba sizes are even: the linear steps go two units at a time.
inline uint64_t limbAt(const uint32_t* u, uint32_t i) {
    return uint64_t(u[2 * i]) | uint64_t(u[2 * i + 1]) << 32;
}
inline void setLimb(uint32_t* u, uint32_t i, uint64_t w) {
    u[2 * i] = uint32_t(w);
    u[2 * i + 1] = uint32_t(w >> 32);
}

uint32_t subUnits(uint32_t* r, const uint32_t* x, const uint32_t* y, uint32_t n) {
    uint64_t borrow = 0;
    for (uint32_t i = 0; i < n / 2; i++) {
        unsigned __int128 d = (unsigned __int128)limbAt(x, i) - limbAt(y, i) - borrow;
        setLimb(r, i, uint64_t(d));
        borrow = uint64_t(d >> 127);
    }
    return uint32_t(borrow);
}

int compareUnits(const uint32_t* x, const uint32_t* y, uint32_t n) {
    for (uint32_t i = n / 2; i-- > 0;) {
        uint64_t a = limbAt(x, i), b = limbAt(y, i);
        if (a != b) return a > b ? 1 : -1;
    }
    return 0;
}

#else
uint32_t subUnits(uint32_t* r, const uint32_t* x, const uint32_t* y, uint32_t n) {
    uint32_t borrow = 0;
    for (uint32_t i = 0; i < n; i++) {
        uint64_t d = uint64_t(x[i]) - y[i] - borrow;
        r[i] = uint32_t(d);
        borrow = uint32_t(d >> 63);
    }
    return borrow;
}

int compareUnits(const uint32_t* x, const uint32_t* y, uint32_t n) {
    for (uint32_t i = n; i-- > 0;) {
        if (x[i] != y[i]) return x[i] > y[i] ? 1 : -1;
    }
    return 0;
}

#endif

#if VLONG_WIDE
typedef uint64_t Limb;
typedef __int128 SignedAcc;
const uint32_t kUnitsPerLimb = 2;
inline Limb limbOf(const uint32_t* u, uint32_t i) {
    return limbAt(u, i);
}
inline void putLimb(uint32_t* u, uint32_t i, Limb w) {
    setLimb(u, i, w);
}
#else
typedef uint32_t Limb;
typedef int64_t SignedAcc;
const uint32_t kUnitsPerLimb = 1;
inline Limb limbOf(const uint32_t* u, uint32_t i) {
    return u[i];
}
inline void putLimb(uint32_t* u, uint32_t i, Limb w) {
    u[i] = w;
}
#endif
const uint32_t kLimbBits = 32 * kUnitsPerLimb;

// Adds a signed carry into r[from .. end), in units.
void ripple(uint32_t* r, uint32_t from, uint32_t end, int64_t carry) {
    for (uint32_t i = from; i < end && carry; i++) {
        int64_t s = int64_t(r[i]) + carry;
        r[i] = uint32_t(uint64_t(s));
        carry = s >> 32;
    }
}

// Adds the Karatsuba middle term into r = L + H b^n, in place. With the halves
// L = L1:L0, H = H1:H0 and t = T1:T0 (sign: +1 add, -1 subtract, 0 absent), the middle term
// M = L + H + sign t enters at unit h = n / 2:
//   r[h .. 2h)  = L1 + (L0 + H0 + sign T0)
//   r[2h .. 3h) = H0 + (L1 + H1 + sign T1) + carry
// both sums sharing L1 + H0, in one pass.
void combine(uint32_t* r, uint32_t n, const uint32_t* t, int sign) {
    const uint32_t h = n / 2;
    const uint32_t limbs = h / kUnitsPerLimb;
    const uint32_t* l0 = r;
    uint32_t* l1 = r + h;
    uint32_t* h0 = r + n;
    const uint32_t* h1 = r + n + h;
    SignedAcc carryLow = 0, carryHigh = 0;
    for (uint32_t i = 0; i < limbs; i++) {
        SignedAcc shared = SignedAcc(limbOf(l1, i)) + limbOf(h0, i);
        SignedAcc low = shared + limbOf(l0, i) + carryLow;
        SignedAcc high = shared + limbOf(h1, i) + carryHigh;
        if (sign > 0) {
            low += limbOf(t, i);
            high += limbOf(t + h, i);
        } else if (sign < 0) {
            low -= limbOf(t, i);
            high -= limbOf(t + h, i);
        }
        putLimb(l1, i, Limb(low));
        putLimb(h0, i, Limb(high));
        carryLow = low >> kLimbBits;
        carryHigh = high >> kLimbBits;
    }
    // the whole product fits in 2n units, so the carries only ripple upward
    ripple(r, 2 * h, 2 * n, int64_t(carryLow));
    ripple(r, 3 * h, 2 * n, int64_t(carryHigh));
}

// r[0 .. 2n) = a * b for n a power of two from 8 up; s holds 4n units of scratch.
void karatsubaMul(uint32_t* r, const uint32_t* a, const uint32_t* b, uint32_t n, uint32_t* s) {
    if (n == 8) {
        vlongMul8(r, a, b);
        return;
    }
    uint32_t h = n / 2;
    karatsubaMul(r, a, b, h, s);
    karatsubaMul(r + n, a + h, b + h, h, s);
    int ca = compareUnits(a, a + h, h);
    int cb = compareUnits(b + h, b, h);
    bool haveMiddle = ca != 0 && cb != 0;
    uint32_t* t = s + n;
    if (haveMiddle) {
        if (ca > 0)
            subUnits(s, a, a + h, h);
        else
            subUnits(s, a + h, a, h);
        if (cb > 0)
            subUnits(s + h, b + h, b, h);
        else
            subUnits(s + h, b, b + h, h);
        karatsubaMul(t, s, s + h, h, s + 2 * n);
    }
    combine(r, n, t, haveMiddle ? ((ca > 0) == (cb > 0) ? 1 : -1) : 0);
}

void karatsubaSqr(uint32_t* r, const uint32_t* a, uint32_t n, uint32_t* s) {
    if (n == 8) {
        vlongSqr8(r, a);
        return;
    }
    uint32_t h = n / 2;
    karatsubaSqr(r, a, h, s);
    karatsubaSqr(r + n, a + h, h, s);
    int ca = compareUnits(a, a + h, h);
    uint32_t* t = s + n;
    if (ca) {
        if (ca > 0)
            subUnits(s, a, a + h, h);
        else
            subUnits(s, a + h, a, h);
        karatsubaSqr(t, s, h, s + 2 * n);
    }
    combine(r, n, t, ca ? -1 : 0);
}

bool isPowerOfTwo(uint32_t n) {
    return n && !(n & (n - 1));
}

// r[0 .. na+nb) = a * b; r does not overlap a or b.
MSTATUS multiplyUnits(uint32_t* r, const uint32_t* a, uint32_t na, const uint32_t* b, uint32_t nb,
                      bool square) {
    if (na == 8 && nb == 8) {
        if (square)
            vlongSqr8(r, a);
        else
            vlongMul8(r, a, b);
        return OK;
    }
    if (na == nb && na >= 16 && isPowerOfTwo(na)) {
        uint32_t* scratch =
            static_cast<uint32_t*>(PLATFORM_malloc(size_t(4) * na * sizeof(uint32_t)));
        if (!scratch) return ERR_MEM_ALLOC_FAIL;
        if (square)
            karatsubaSqr(r, a, na, scratch);
        else
            karatsubaMul(r, a, b, na, scratch);
        memset(scratch, 0, size_t(4) * na * sizeof(uint32_t));
        PLATFORM_free(scratch);
        return OK;
    }
    if (square) return vlongSqrColumns(r, a, na);
    return vlongMulColumns(r, a, na, b, nb);
}

// Gives product room for n units; when product is also an operand, the result goes to a
// fresh array that *fresh receives and that replaces the product's array afterwards.
MSTATUS productArea(vlong* product, bool alias, uint32_t n, uint32_t** area) {
    if (!alias) {
        MSTATUS status = VLONG_reserve(product, n);
        if (status != OK) return status;
        *area = product->units;
        return OK;
    }
    *area = static_cast<uint32_t*>(PLATFORM_malloc(size_t(n + 1) * sizeof(uint32_t)));
    return *area ? OK : ERR_MEM_ALLOC_FAIL;
}

void productDone(vlong* product, bool alias, uint32_t* area, uint32_t n) {
    if (alias) {
        if (product->units) {
            memset(product->units, 0, size_t(product->allocated) * sizeof(uint32_t));
            PLATFORM_free(product->units);
        }
        product->units = area;
        product->allocated = n + 1;
    }
    product->used = n;
    product->negative = 0;
    vlongNormalize(product);
}

} // namespace

MSTATUS VLONG_multiply(vlong* product, const vlong* a, const vlong* b) {
    if (!product || !a || !b) return ERR_NULL_POINTER;
    if (!a->used || !b->used) {
        product->used = 0;
        product->negative = 0;
        return OK;
    }
    uint32_t n = a->used + b->used;
    if (n > VLONG_MAX_UNITS) return ERR_BAD_LENGTH;
    bool alias = product == a || product == b;
    uint32_t* area = nullptr;
    MSTATUS status = productArea(product, alias, n, &area);
    if (status != OK) return status;
    status = multiplyUnits(area, a->units, a->used, b->units, b->used, a == b);
    if (status != OK) {
        if (alias)
            PLATFORM_free(area);
        else
            product->used = 0;
        return status;
    }
    productDone(product, alias, area, n);
    return OK;
}

MSTATUS VLONG_multiplySigned(const vlong* a, const vlong* b, vlong** out, vlong** queue) {
    if (!a || !b || !out) return ERR_NULL_POINTER;
    vlong* v = nullptr;
    MSTATUS status = VLONG_alloc(&v, queue);
    if (status == OK) status = VLONG_multiply(v, a, b);
    if (status != OK) {
        if (v) VLONG_release(&v, queue);
        return status;
    }
    uint32_t an = a->used ? a->negative : 0;
    uint32_t bn = b->used ? b->negative : 0;
    v->negative = v->used ? (an ^ bn) : 0;
    *out = v;
    return OK;
}

MSTATUS VLONG_multiplyLow(vlong* product, const vlong* a, const vlong* b, uint32_t bits) {
    if (!product || !a || !b) return ERR_NULL_POINTER;
    uint32_t n = bits / 32 + (bits % 32 ? 1 : 0);
    if (!a->used || !b->used || !n) {
        product->used = 0;
        product->negative = 0;
        return OK;
    }
    if (n > a->used + b->used) {
        n = a->used + b->used;
        bits = 32 * n;
    }
    if (n > VLONG_MAX_UNITS) return ERR_BAD_LENGTH;
    bool alias = product == a || product == b;
    uint32_t* area = nullptr;
    MSTATUS status = productArea(product, alias, n, &area);
    if (status != OK) return status;
    status = vlongMulColumnsLow(area, n, a->units, a->used, b->units, b->used);
    if (status != OK) {
        if (alias)
            PLATFORM_free(area);
        else
            product->used = 0;
        return status;
    }
    if (bits % 32) area[n - 1] &= (1u << (bits % 32)) - 1;
    productDone(product, alias, area, n);
    return OK;
}
