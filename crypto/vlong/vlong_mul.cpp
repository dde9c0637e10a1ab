// VLONG_multiply and friends: operand-size dispatch, Karatsuba recursion.
#include <cstring>

#include "crypto/platform/platform.h"
#include "crypto/vlong/vlong.h"
#include "crypto/vlong/vlong_internal.h"

namespace {

uint32_t addUnits(uint32_t* r, const uint32_t* x, const uint32_t* y, uint32_t n) {
    uint64_t carry = 0;
    for (uint32_t i = 0; i < n; i++) {
        carry += uint64_t(x[i]) + y[i];
        r[i] = uint32_t(carry);
        carry >>= 32;
    }
    return uint32_t(carry);
}

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

// r[h .. 2n) += m[0 .. n) plus a signed carry above m.
void addMiddle(uint32_t* r, uint32_t n, const uint32_t* m, int64_t carry) {
    uint32_t h = n / 2;
    uint64_t c = 0;
    for (uint32_t i = 0; i < n; i++) {
        c += uint64_t(r[h + i]) + m[i];
        r[h + i] = uint32_t(c);
        c >>= 32;
    }
    int64_t top = carry + int64_t(c);
    // the whole product fits in 2n units, so what is left only ripples upward
    for (uint32_t i = h + n; i < 2 * n && top; i++) {
        int64_t s = int64_t(r[i]) + top;
        r[i] = uint32_t(uint64_t(s));
        top = s >> 32;
    }
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
    uint32_t* m = s + 2 * n;
    int64_t carry = addUnits(m, r, r + n, n);
    if (haveMiddle) {
        if ((ca > 0) == (cb > 0))
            carry += addUnits(m, m, t, n);
        else
            carry -= subUnits(m, m, t, n);
    }
    addMiddle(r, n, m, carry);
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
    uint32_t* m = s + 2 * n;
    int64_t carry = addUnits(m, r, r + n, n);
    if (ca) carry -= subUnits(m, m, t, n);
    addMiddle(r, n, m, carry);
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
