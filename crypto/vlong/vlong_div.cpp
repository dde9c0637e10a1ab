// Long division (Knuth's algorithm D), modulo, quotient and modular inverse.
#include <cstring>

#include "crypto/platform/platform.h"
#include "crypto/vlong/vlong.h"
#include "crypto/vlong/vlong_internal.h"

namespace {

uint32_t leadingZeros(uint32_t w) {
    uint32_t n = 0;
    while (!(w & 0x80000000u)) {
        w <<= 1;
        n++;
    }
    return n;
}

// Sets out to a copy of source (magnitude) when out is given.
MSTATUS store(vlong* out, const vlong* source) {
    if (!out) return OK;
    return VLONG_copy(out, source);
}

MSTATUS setZero(vlong* out) {
    if (out) {
        out->used = 0;
        out->negative = 0;
    }
    return OK;
}

// q = u / v, r = u % v for magnitudes with |u| >= |v| and v of at least two units.
MSTATUS divideLong(vlong* q, vlong* r, const vlong* dividend, const vlong* divisor, vlong** queue) {
    uint32_t n = divisor->used;
    uint32_t m = dividend->used;
    uint32_t s = leadingZeros(divisor->units[n - 1]);
    VlongHold u(queue), v(queue);
    MSTATUS status = VLONG_alloc(&u.v, queue);
    if (status == OK) status = VLONG_alloc(&v.v, queue);
    if (status == OK) status = VLONG_reserve(u.v, m + 1);
    if (status == OK) status = VLONG_reserve(v.v, n);
    if (status == OK) status = VLONG_reserve(q, m - n + 1);
    if (status != OK) return status;
    uint32_t* un = u.v->units;
    uint32_t* vn = v.v->units;
    uint32_t* qn = q->units;
    const uint32_t* du = dividend->units;
    const uint32_t* dv = divisor->units;
    // normalise so that the divisor's top bit is set
    if (s) {
        for (uint32_t i = n - 1; i > 0; i--) vn[i] = dv[i] << s | dv[i - 1] >> (32 - s);
        vn[0] = dv[0] << s;
        un[m] = du[m - 1] >> (32 - s);
        for (uint32_t i = m - 1; i > 0; i--) un[i] = du[i] << s | du[i - 1] >> (32 - s);
        un[0] = du[0] << s;
    } else {
        memcpy(vn, dv, size_t(n) * sizeof(uint32_t));
        memcpy(un, du, size_t(m) * sizeof(uint32_t));
        un[m] = 0;
    }
    const uint64_t base = uint64_t(1) << 32;
    const uint32_t vTop = vn[n - 1], vNext = vn[n - 2];
    for (uint32_t j = m - n + 1; j-- > 0;) {
        uint64_t num = uint64_t(un[j + n]) << 32 | un[j + n - 1];
        uint64_t qhat, rhat;
        if (un[j + n] >= vTop) {
            // the quotient digit cannot exceed b - 1
            qhat = base - 1;
            rhat = num - qhat * vTop;
        } else {
            qhat = num / vTop;
            rhat = num - qhat * vTop;
        }
        while (rhat < base && qhat * vNext > (rhat << 32 | un[j + n - 2])) {
            qhat--;
            rhat += vTop;
        }
        // multiply and subtract
        uint64_t borrow = 0;
        uint64_t carry = 0;
        uint32_t i = 0;
#if VLONG_WIDE
        for (; i + 1 < n; i += 2) {
            uint64_t vPair = uint64_t(vn[i]) | uint64_t(vn[i + 1]) << 32;
            uint64_t uPair = uint64_t(un[i + j]) | uint64_t(un[i + j + 1]) << 32;
            unsigned __int128 p = (unsigned __int128)qhat * vPair + carry;
            carry = uint64_t(p >> 64);
            unsigned __int128 d = (unsigned __int128)uPair - uint64_t(p) - borrow;
            un[i + j] = uint32_t(uint64_t(d));
            un[i + j + 1] = uint32_t(uint64_t(d) >> 32);
            borrow = uint64_t(d >> 127);
        }
#endif
        for (; i < n; i++) {
            uint64_t p = qhat * vn[i] + carry;
            carry = p >> 32;
            uint64_t t = uint64_t(un[i + j]) - uint32_t(p) - borrow;
            un[i + j] = uint32_t(t);
            borrow = t >> 63;
        }
        uint64_t t = uint64_t(un[j + n]) - carry - borrow;
        un[j + n] = uint32_t(t);
        qn[j] = uint32_t(qhat);
        if (t >> 63) {
            // estimate one too large: add the divisor back
            qn[j]--;
            uint64_t c = 0;
            for (uint32_t i = 0; i < n; i++) {
                c += uint64_t(un[i + j]) + vn[i];
                un[i + j] = uint32_t(c);
                c >>= 32;
            }
            un[j + n] += uint32_t(c);
        }
    }
    q->used = m - n + 1;
    q->negative = 0;
    vlongNormalize(q);
    if (r) {
        status = VLONG_reserve(r, n);
        if (status != OK) return status;
        if (s) {
            for (uint32_t i = 0; i + 1 < n; i++) r->units[i] = un[i] >> s | un[i + 1] << (32 - s);
            r->units[n - 1] = un[n - 1] >> s;
        } else {
            memcpy(r->units, un, size_t(n) * sizeof(uint32_t));
        }
        r->used = n;
        r->negative = 0;
        vlongNormalize(r);
    }
    return OK;
}

#if VLONG_WIDE
typedef unsigned __int128 u128;

// The same long division with 64-bit digits, for divisors of three units or more on hosts
// with a 128-bit type: half the digits, each one pass over half as many limbs.
MSTATUS divideWide(vlong* q, vlong* r, const vlong* dividend, const vlong* divisor) {
    const uint32_t n = (divisor->used + 1) / 2;  // divisor limbs, at least 2
    const uint32_t m = (dividend->used + 1) / 2; // dividend limbs, at least n
    const uint32_t count = (m + 1) + n + (m - n + 1);
    uint64_t local[400];
    uint64_t* area = local;
    if (count > sizeof local / sizeof local[0]) {
        area = static_cast<uint64_t*>(PLATFORM_malloc(size_t(count) * sizeof(uint64_t)));
        if (!area) return ERR_MEM_ALLOC_FAIL;
    }
    struct AreaGuard {
        uint64_t* p;
        uint64_t* local;
        ~AreaGuard() {
            if (p != local) PLATFORM_free(p);
        }
    } guard{area, local};
    uint64_t* u = area;      // m + 1 limbs
    uint64_t* v = u + m + 1; // n limbs
    uint64_t* qw = v + n;    // m - n + 1 limbs
    auto limb = [](const vlong* x, uint32_t i) {
        uint64_t lo = x->units[2 * i];
        uint64_t hi = 2 * i + 1 < x->used ? x->units[2 * i + 1] : 0;
        return lo | hi << 32;
    };
    for (uint32_t i = 0; i < n; i++) v[i] = limb(divisor, i);
    for (uint32_t i = 0; i < m; i++) u[i] = limb(dividend, i);
    const int s = __builtin_clzll(v[n - 1]);
    if (s) {
        for (uint32_t i = n - 1; i > 0; i--) v[i] = v[i] << s | v[i - 1] >> (64 - s);
        v[0] <<= s;
        u[m] = u[m - 1] >> (64 - s);
        for (uint32_t i = m - 1; i > 0; i--) u[i] = u[i] << s | u[i - 1] >> (64 - s);
        u[0] <<= s;
    } else {
        u[m] = 0;
    }
    const uint64_t vTop = v[n - 1], vNext = v[n - 2];
    for (uint32_t j = m - n + 1; j-- > 0;) {
        u128 num = u128(u[j + n]) << 64 | u[j + n - 1];
        u128 qhat, rhat;
        if (u[j + n] >= vTop) {
            qhat = ~uint64_t(0);
            rhat = num - qhat * vTop;
        } else {
            qhat = num / vTop;
            rhat = num - qhat * vTop;
        }
        while (!(rhat >> 64) && qhat * vNext > (rhat << 64 | u[j + n - 2])) {
            qhat--;
            rhat += vTop;
        }
        // multiply and subtract, the borrow folded into the carry: the high half of
        // q v_i + carry is at most 2^64 - 2
        const uint64_t q64 = uint64_t(qhat);
        uint64_t carry = 0;
        for (uint32_t i = 0; i < n; i++) {
            u128 p = u128(q64) * v[i] + carry;
            uint64_t low = uint64_t(p), ui = u[i + j];
            u[i + j] = ui - low;
            carry = uint64_t(p >> 64) + (ui < low);
        }
        const uint64_t top = u[j + n];
        u[j + n] = top - carry;
        qw[j] = q64;
        if (top < carry) {
            // estimate one too large: add the divisor back
            qw[j]--;
            u128 c = 0;
            for (uint32_t i = 0; i < n; i++) {
                c += u128(u[i + j]) + v[i];
                u[i + j] = uint64_t(c);
                c >>= 64;
            }
            u[j + n] += uint64_t(c);
        }
    }
    uint32_t qUnits = 2 * (m - n + 1);
    MSTATUS status = VLONG_reserve(q, qUnits);
    if (status != OK) return status;
    for (uint32_t i = 0; i < m - n + 1; i++) {
        q->units[2 * i] = uint32_t(qw[i]);
        q->units[2 * i + 1] = uint32_t(qw[i] >> 32);
    }
    q->used = qUnits;
    q->negative = 0;
    vlongNormalize(q);
    if (r) {
        status = VLONG_reserve(r, 2 * n);
        if (status != OK) return status;
        for (uint32_t i = 0; i < n; i++) {
            uint64_t w = s ? (u[i] >> s | (i + 1 < n ? u[i + 1] << (64 - s) : 0)) : u[i];
            r->units[2 * i] = uint32_t(w);
            r->units[2 * i + 1] = uint32_t(w >> 32);
        }
        r->used = 2 * n;
        r->negative = 0;
        vlongNormalize(r);
    }
    return OK;
}
#endif

// Short division by one unit.
MSTATUS divideShort(vlong* q, vlong* r, const vlong* dividend, uint32_t d) {
    uint32_t m = dividend->used;
    MSTATUS status = VLONG_reserve(q, m);
    if (status != OK) return status;
    uint64_t rem = 0;
    for (uint32_t i = m; i-- > 0;) {
        uint64_t num = rem << 32 | dividend->units[i];
        q->units[i] = uint32_t(num / d);
        rem = num % d;
    }
    q->used = m;
    q->negative = 0;
    vlongNormalize(q);
    if (r) {
        r->used = 0;
        r->negative = 0;
        return VLONG_setUnit(r, 0, uint32_t(rem));
    }
    return OK;
}

} // namespace

MSTATUS VLONG_divide(vlong* quotient, const vlong* dividend, const vlong* divisor, vlong* remainder,
                     vlong** queue) {
    if (!dividend || !divisor) return ERR_NULL_POINTER;
    if (!divisor->used) return ERR_DIVIDE_BY_ZERO;
    if (VLONG_compareMagnitude(dividend, divisor) < 0) {
        MSTATUS status = store(remainder, dividend);
        if (status == OK && quotient != remainder) setZero(quotient);
        return status;
    }
    // work in temporaries: the outputs may be the inputs
    VlongHold q(queue), r(queue);
    MSTATUS status = VLONG_alloc(&q.v, queue);
    if (status == OK) status = VLONG_alloc(&r.v, queue);
    if (status != OK) return status;
    if (divisor->used == 1) status = divideShort(q.v, r.v, dividend, divisor->units[0]);
#if VLONG_WIDE
    else if (divisor->used >= 3)
        status = divideWide(q.v, r.v, dividend, divisor);
#endif
    else
        status = divideLong(q.v, r.v, dividend, divisor, queue);
    if (status != OK) return status;
    status = store(quotient, q.v);
    if (status == OK && remainder != quotient) status = store(remainder, r.v);
    return status;
}

MSTATUS VLONG_modulo(const vlong* a, const vlong* m, vlong** out, vlong** queue) {
    if (!a || !m || !out) return ERR_NULL_POINTER;
    VlongHold r(queue);
    MSTATUS status = VLONG_alloc(&r.v, queue);
    if (status == OK) status = VLONG_divide(nullptr, a, m, r.v, queue);
    if (status != OK) return status;
    r.v->negative = r.v->used ? (a->used ? a->negative : 0) : 0;
    *out = r.v;
    r.v = nullptr;
    return OK;
}

MSTATUS VLONG_quotient(const vlong* a, const vlong* b, vlong** out, vlong** queue) {
    if (!a || !b || !out) return ERR_NULL_POINTER;
    VlongHold q(queue);
    MSTATUS status = VLONG_alloc(&q.v, queue);
    if (status == OK) status = VLONG_divide(q.v, a, b, nullptr, queue);
    if (status != OK) return status;
    uint32_t an = a->used ? a->negative : 0;
    uint32_t bn = b->used ? b->negative : 0;
    q.v->negative = q.v->used ? (an ^ bn) : 0;
    *out = q.v;
    q.v = nullptr;
    return OK;
}

namespace {

// x = x / 2 modulo the odd m, for 0 <= x < m.
MSTATUS halveModulo(vlong* x, const vlong* m) {
    if (VLONG_testBit(x, 0)) {
        MSTATUS status = VLONG_addMagnitude(x, m);
        if (status != OK) return status;
    }
    return VLONG_shiftRightOne(x);
}

// x = x - y modulo m, for 0 <= x, y < m.
MSTATUS subtractModulo(vlong* x, const vlong* y, const vlong* m, vlong** queue) {
    MSTATUS status = VLONG_subtract(x, y, queue);
    if (status == OK && x->negative) status = VLONG_add(x, m, queue);
    return status;
}

// Binary extended Euclid for an odd modulus; a is reduced, non-zero.
MSTATUS inverseOdd(const vlong* a, const vlong* m, vlong** out, vlong** queue) {
    VlongHold u(queue), v(queue), x1(queue), x2(queue);
    MSTATUS status = VLONG_duplicate(a, &u.v, queue);
    if (status == OK) status = VLONG_duplicate(m, &v.v, queue);
    if (status == OK) status = VLONG_fromUnsigned(1, &x1.v, queue);
    if (status == OK) status = VLONG_fromUnsigned(0, &x2.v, queue);
    if (status != OK) return status;
    v.v->negative = 0;
    while (VLONG_compareUnsigned(u.v, 1) != 0 && VLONG_compareUnsigned(v.v, 1) != 0) {
        if (!u.v->used || !v.v->used) return ERR_INVALID_ARG; // not coprime
        while (!VLONG_testBit(u.v, 0)) {
            status = VLONG_shiftRightOne(u.v);
            if (status == OK) status = halveModulo(x1.v, m);
            if (status != OK) return status;
        }
        while (!VLONG_testBit(v.v, 0)) {
            status = VLONG_shiftRightOne(v.v);
            if (status == OK) status = halveModulo(x2.v, m);
            if (status != OK) return status;
        }
        if (VLONG_compareMagnitude(u.v, v.v) >= 0) {
            status = VLONG_subtractMagnitude(u.v, v.v);
            if (status == OK) status = subtractModulo(x1.v, x2.v, m, queue);
        } else {
            status = VLONG_subtractMagnitude(v.v, u.v);
            if (status == OK) status = subtractModulo(x2.v, x1.v, m, queue);
        }
        if (status != OK) return status;
    }
    VlongHold& result = VLONG_compareUnsigned(u.v, 1) == 0 ? x1 : x2;
    *out = result.v;
    result.v = nullptr;
    return OK;
}

// Extended Euclid by division, for any modulus; a is reduced, non-zero.
MSTATUS inverseGeneral(const vlong* a, const vlong* m, vlong** out, vlong** queue) {
    VlongHold r0(queue), r1(queue), t0(queue), t1(queue), q(queue), r(queue), t(queue);
    MSTATUS status = VLONG_duplicate(m, &r0.v, queue);
    if (status == OK) status = VLONG_duplicate(a, &r1.v, queue);
    if (status == OK) status = VLONG_fromUnsigned(0, &t0.v, queue);
    if (status == OK) status = VLONG_fromUnsigned(1, &t1.v, queue);
    if (status == OK) status = VLONG_alloc(&q.v, queue);
    if (status == OK) status = VLONG_alloc(&r.v, queue);
    if (status != OK) return status;
    r0.v->negative = 0;
    while (r1.v->used) {
        status = VLONG_divide(q.v, r0.v, r1.v, r.v, queue);
        if (status != OK) return status;
        // (r0, r1) = (r1, r)
        vlong* old = r0.v;
        r0.v = r1.v;
        r1.v = r.v;
        r.v = old;
        // (t0, t1) = (t1, t0 - q t1)
        status = VLONG_multiplySigned(q.v, t1.v, &t.v, queue);
        if (status == OK) status = VLONG_subtract(t0.v, t.v, queue);
        if (status != OK) return status;
        VLONG_release(&t.v, queue);
        old = t0.v;
        t0.v = t1.v;
        t1.v = old;
    }
    if (VLONG_compareUnsigned(r0.v, 1) != 0) return ERR_INVALID_ARG; // not coprime
    if (t0.v->negative) {
        status = VLONG_add(t0.v, m, queue);
        if (status != OK) return status;
        t0.v->negative = 0;
    }
    *out = t0.v;
    t0.v = nullptr;
    return OK;
}

} // namespace

MSTATUS VLONG_modInverse(const vlong* a, const vlong* m, vlong** out, vlong** queue) {
    if (!a || !m || !out) return ERR_NULL_POINTER;
    if (!m->used) return ERR_DIVIDE_BY_ZERO;
    VlongHold mm(queue), x(queue);
    MSTATUS status = VLONG_duplicate(m, &mm.v, queue);
    if (status == OK) status = VLONG_modulo(a, m, &x.v, queue);
    if (status != OK) return status;
    mm.v->negative = 0;
    if (x.v->negative) {
        status = VLONG_add(x.v, mm.v, queue);
        if (status != OK) return status;
    }
    if (VLONG_compareUnsigned(mm.v, 1) == 0) {
        // everything is congruent to 0 modulo 1
        *out = x.v;
        x.v = nullptr;
        return OK;
    }
    if (!x.v->used) return ERR_INVALID_ARG;
    if (VLONG_testBit(mm.v, 0)) return inverseOdd(x.v, mm.v, out, queue);
    return inverseGeneral(x.v, mm.v, out, queue);
}
