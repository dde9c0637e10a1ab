// Modular arithmetic: Barrett reduction, Montgomery multiplication and
// windowed exponentiation, and VLONG_powerMod's choice between them.
#include <cstring>

#include "crypto/platform/platform.h"
#include "crypto/vlong/vlong.h"
#include "crypto/vlong/vlong_internal.h"

namespace {

MSTATUS setOne(vlong* v) {
    v->used = 0;
    v->negative = 0;
    return VLONG_setUnit(v, 0, 1);
}

// Keeps the low units of v.
void truncateUnits(vlong* v, uint32_t units) {
    if (v->used > units) {
        v->used = units;
        vlongNormalize(v);
    }
}

// out = x reduced into [0, m) for a positive m.
MSTATUS reduce(const vlong* x, const vlong* m, vlong** out, vlong** queue) {
    VlongHold r(queue);
    MSTATUS status = VLONG_modulo(x, m, &r.v, queue);
    if (status == OK && r.v->negative) {
        status = VLONG_add(r.v, m, queue);
        r.v->negative = 0;
    }
    if (status != OK) return status;
    *out = r.v;
    r.v = nullptr;
    return OK;
}

// q2 = q1 mu for a modulus of k units, without the columns that cannot move q3 = q2 / b^(k+1)
// by more than one: the partial products left out sum to less than b^(k+1).
MSTATUS highProduct(vlong* q2, const vlong* q1, const vlong* mu, uint32_t k) {
    if (!q1->used || !mu->used) {
        q2->used = 0;
        q2->negative = 0;
        return OK;
    }
    uint32_t n = q1->used + mu->used;
    MSTATUS status = VLONG_reserve(q2, n);
    if (status != OK) return status;
    status = vlongMulColumnsHigh(q2->units, q1->units, q1->used, mu->units, mu->used,
                                 k >= 3 ? k - 2 : 0);
    if (status != OK) return status;
    q2->used = n;
    q2->negative = 0;
    vlongNormalize(q2);
    return OK;
}

} // namespace

// ---------------------------------------------------------------- Barrett

MSTATUS BARRETT_setup(vlong** mu, const vlong* m, vlong** queue) {
    if (!mu || !m) return ERR_NULL_POINTER;
    if (!m->used) return ERR_DIVIDE_BY_ZERO;
    uint32_t k = m->used;
    if (2 * k + 1 > VLONG_MAX_UNITS) return ERR_BAD_LENGTH;
    VlongHold power(queue), q(queue);
    MSTATUS status = VLONG_alloc(&power.v, queue);
    if (status == OK) status = VLONG_setUnit(power.v, 2 * k, 1);
    if (status == OK) status = VLONG_alloc(&q.v, queue);
    if (status == OK) status = VLONG_divide(q.v, power.v, m, nullptr, queue);
    if (status != OK) return status;
    *mu = q.v;
    q.v = nullptr;
    return OK;
}

MSTATUS BARRETT_mulMod(vlong* result, const vlong* a, const vlong* b, const vlong* m,
                       const vlong* mu, vlong** queue) {
    if (!result || !a || !b || !m || !mu) return ERR_NULL_POINTER;
    if (!m->used) return ERR_DIVIDE_BY_ZERO;
    uint32_t k = m->used;
    VlongHold t(queue), q(queue), r2(queue);
    MSTATUS status = VLONG_alloc(&t.v, queue);
    if (status == OK) status = VLONG_multiply(t.v, a, b);
    if (status != OK) return status;
    if (VLONG_compareMagnitude(t.v, m) < 0) return VLONG_copy(result, t.v);
    if (t.v->used > 2 * k) {
        // operands were not reduced: the estimate below would not hold
        return VLONG_divide(nullptr, t.v, m, result, queue);
    }
    status = VLONG_alloc(&q.v, queue);
    if (status == OK) status = VLONG_alloc(&r2.v, queue);
    if (status == OK) status = VLONG_copy(q.v, t.v);
    if (status == OK) status = VLONG_shiftRight(q.v, 32 * (k - 1));  // q1
    if (status == OK) status = highProduct(r2.v, q.v, mu, k);        // q2, low columns left out
    if (status == OK) status = VLONG_shiftRight(r2.v, 32 * (k + 1)); // q3
    if (status == OK) status = VLONG_multiplyLow(q.v, r2.v, m, 32 * (k + 1)); // r2
    if (status != OK) return status;
    truncateUnits(t.v, k + 1); // r1
    if (VLONG_compareMagnitude(t.v, q.v) < 0) {
        status = VLONG_setUnit(t.v, k + 1, 1);
        if (status != OK) return status;
    }
    status = VLONG_subtractMagnitude(t.v, q.v);
    if (status != OK) return status;
    // at most three corrections for reduced operands
    for (int i = 0; VLONG_compareMagnitude(t.v, m) >= 0; i++) {
        if (i == 3) return VLONG_divide(nullptr, t.v, m, result, queue);
        status = VLONG_subtractMagnitude(t.v, m);
        if (status != OK) return status;
    }
    return VLONG_copy(result, t.v);
}

// ---------------------------------------------------------------- Montgomery

namespace {

// x = m^-1 mod 2^bits for odd m, by Newton's iteration x = x (2 - m x).
MSTATUS inversePowerOfTwo(const vlong* m, uint32_t bits, vlong** out, vlong** queue) {
    uint32_t m0 = m->units[0];
    uint32_t w = m0; // correct to 3 bits; each step doubles
    for (int i = 0; i < 4; i++) w *= 2 - m0 * w;
    VlongHold x(queue), t(queue), u(queue);
    MSTATUS status = VLONG_fromUnsigned(w, &x.v, queue);
    if (status == OK) status = VLONG_alloc(&t.v, queue);
    if (status == OK) status = VLONG_alloc(&u.v, queue);
    if (status != OK) return status;
    for (uint32_t have = 32; have < bits;) {
        have *= 2;
        // u = 2 - m x  modulo 2^have
        status = VLONG_multiplyLow(t.v, m, x.v, have);
        if (status == OK) status = setOne(u.v);
        if (status == OK) status = VLONG_shiftLeft(u.v, have);
        if (status == OK) status = VLONG_addUnsigned(u.v, 2, queue);
        if (status == OK) status = VLONG_subtractMagnitude(u.v, t.v);
        if (status == OK) status = VLONG_multiplyLow(t.v, x.v, u.v, have);
        if (status == OK) status = VLONG_copy(x.v, t.v);
        if (status != OK) return status;
    }
    // keep exactly bits bits
    uint32_t units = bits / 32 + (bits % 32 ? 1 : 0);
    truncateUnits(x.v, units);
    if (bits % 32 && x.v->used == units) {
        x.v->units[units - 1] &= (1u << (bits % 32)) - 1;
        vlongNormalize(x.v);
    }
    *out = x.v;
    x.v = nullptr;
    return OK;
}

// a = a R^-1 mod m given t = a b.
MSTATUS montReduce(const MontContext* ctx, vlong* a, const vlong* t, vlong** queue) {
    VlongHold u(queue);
    MSTATUS status = VLONG_alloc(&u.v, queue);
    if (status == OK) status = VLONG_multiplyLow(u.v, t, ctx->mPrime, ctx->r);
    if (status == OK) status = VLONG_multiply(a, u.v, ctx->m);
    if (status == OK) status = VLONG_addMagnitude(a, t);
    if (status == OK) status = VLONG_shiftRight(a, ctx->r);
    if (status == OK && VLONG_compareMagnitude(a, ctx->m) >= 0)
        status = VLONG_subtractMagnitude(a, ctx->m);
    return status;
}

} // namespace

MSTATUS MONT_setup(MontContext** out, const vlong* m, vlong** queue) {
    if (!out || !m) return ERR_NULL_POINTER;
    if (!m->used) return ERR_ZERO_MODULUS;
    if (!VLONG_testBit(m, 0)) return ERR_INVALID_ARG;
    MontContext* ctx = static_cast<MontContext*>(PLATFORM_malloc(sizeof(MontContext)));
    if (!ctx) return ERR_MEM_ALLOC_FAIL;
    ctx->r = 0;
    ctx->R = ctx->Rinv = ctx->m = ctx->mPrime = nullptr;
    VlongHold rm(queue), inv(queue);
    MSTATUS status = VLONG_alloc(&ctx->R, queue);
    if (status == OK) status = VLONG_reserve(ctx->R, m->used + 1);
    if (status == OK) status = setOne(ctx->R);
    if (status == OK) {
        ctx->r = VLONG_bitLength(m);
        if (ctx->r == 1) ctx->r = 0; // m = 1: R = 1 already
        status = VLONG_shiftLeft(ctx->R, ctx->r);
    }
    if (status == OK) status = VLONG_duplicate(m, &ctx->m, queue);
    if (status == OK) {
        ctx->m->negative = 0;
        status = VLONG_duplicate(ctx->R, &rm.v, queue);
    }
    if (status == OK) status = VLONG_subtract(rm.v, ctx->m, queue); // R - m = R mod m
    if (status == OK) status = VLONG_modInverse(rm.v, ctx->m, &ctx->Rinv, queue);
    if (status == OK) status = inversePowerOfTwo(ctx->m, ctx->r, &inv.v, queue);
    if (status == OK) status = VLONG_duplicate(ctx->R, &ctx->mPrime, queue);
    if (status == OK && inv.v->used) status = VLONG_subtract(ctx->mPrime, inv.v, queue);
    if (status == OK && VLONG_compareMagnitude(ctx->mPrime, ctx->R) == 0) ctx->mPrime->used = 0;
    if (status != OK) {
        MONT_dispose(&ctx, queue);
        return status;
    }
    *out = ctx;
    return OK;
}

MSTATUS MONT_dispose(MontContext** pctx, vlong** queue) {
    if (!pctx || !*pctx) return ERR_NULL_POINTER;
    MontContext* ctx = *pctx;
    vlong** fields[] = {&ctx->R, &ctx->Rinv, &ctx->m, &ctx->mPrime};
    for (vlong** f : fields) {
        if (*f) VLONG_release(f, queue);
    }
    ctx->r = 0;
    PLATFORM_free(ctx);
    *pctx = nullptr;
    return OK;
}

MSTATUS MONT_multiply(const MontContext* ctx, vlong* a, const vlong* b, vlong** queue) {
    if (!ctx || !a || !b) return ERR_NULL_POINTER;
    VlongHold t(queue);
    MSTATUS status = VLONG_alloc(&t.v, queue);
    if (status == OK) status = VLONG_multiply(t.v, a, b);
    if (status == OK) status = montReduce(ctx, a, t.v, queue);
    return status;
}

MSTATUS MONT_square(const MontContext* ctx, vlong* a, vlong** queue) {
    return MONT_multiply(ctx, a, a, queue);
}

MSTATUS MONT_power(const MontContext* ctx, const vlong* x, const vlong* e, vlong** out,
                   vlong** queue) {
    if (!ctx || !x || !e || !out) return ERR_NULL_POINTER;
    uint32_t bits = VLONG_bitLength(e);
    uint32_t w = bits < 24 ? 1 : bits < 80 ? 3 : bits < 240 ? 4 : bits < 672 ? 5 : 6;
    const uint32_t entries = 1u << (w - 1);
    vlong* table[32] = {};
    struct TableGuard {
        vlong** t;
        uint32_t n;
        vlong** queue;
        ~TableGuard() {
            for (uint32_t i = 0; i < n; i++) {
                if (t[i]) VLONG_release(&t[i], queue);
            }
        }
    } guard{table, 32, queue};
    VlongHold acc(queue), base(queue), square(queue), product(queue);

    // first entry: x R mod m
    MSTATUS status = reduce(x, ctx->m, &base.v, queue);
    if (status == OK) status = VLONG_shiftLeft(base.v, ctx->r);
    if (status == OK) status = reduce(base.v, ctx->m, &table[0], queue);
    // accumulator: one in Montgomery form
    if (status == OK) status = VLONG_duplicate(ctx->R, &acc.v, queue);
    if (status == OK) status = VLONG_subtract(acc.v, ctx->m, queue);
    if (status != OK) return status;
    if (bits == 0) {
        // x^0 = 1; nothing to multiply
    } else if (w == 1) {
        status = VLONG_copy(base.v, table[0]);
        for (uint32_t i = 0; status == OK && i < bits; i++) {
            if (VLONG_testBit(e, i)) status = MONT_multiply(ctx, acc.v, base.v, queue);
            if (status == OK && i + 1 < bits) status = MONT_square(ctx, base.v, queue);
        }
    } else {
        status = VLONG_duplicate(table[0], &square.v, queue);
        if (status == OK) status = MONT_square(ctx, square.v, queue);
        for (uint32_t i = 1; status == OK && i < entries; i++) {
            status = VLONG_duplicate(table[i - 1], &table[i], queue);
            if (status == OK) status = MONT_multiply(ctx, table[i], square.v, queue);
        }
        int32_t i = int32_t(bits) - 1;
        while (status == OK && i >= 0) {
            if (!VLONG_testBit(e, uint32_t(i))) {
                status = MONT_square(ctx, acc.v, queue);
                i--;
                continue;
            }
            int32_t limit = int32_t(w);
            if (limit > i + 1) limit = i;
            if (limit < 2 || i == 0) limit = 1;
            // bits i down to i - limit + 1, shortened to end at the last set bit
            int32_t low = i - limit + 1;
            while (!VLONG_testBit(e, uint32_t(low))) low++;
            uint32_t value = 0;
            for (int32_t j = i; j >= low; j--) {
                value = value << 1 | uint32_t(VLONG_testBit(e, uint32_t(j)));
                status = MONT_square(ctx, acc.v, queue);
                if (status != OK) return status;
            }
            status = MONT_multiply(ctx, acc.v, table[value >> 1], queue);
            i = low - 1;
        }
    }
    // back from Montgomery form
    if (status == OK) status = VLONG_alloc(&product.v, queue);
    if (status == OK) status = VLONG_multiply(product.v, acc.v, ctx->Rinv);
    if (status == OK) status = VLONG_divide(nullptr, product.v, ctx->m, product.v, queue);
    if (status != OK) return status;
    *out = product.v;
    product.v = nullptr;
    return OK;
}

// ---------------------------------------------------------------- short exponents

namespace {

const uint32_t kUnitsPerMontLimb = sizeof(vlongLimb) / sizeof(uint32_t);
// the working arrays of moduli up to 4096 bits stay on the stack
const uint32_t kLocalMontLimbs = 6 * 128 / kUnitsPerMontLimb;

void unitsToLimbs(vlongLimb* out, uint32_t n, const vlong* v) {
    for (uint32_t i = 0; i < n; i++) {
        vlongLimb w = 0;
        for (uint32_t j = kUnitsPerMontLimb; j-- > 0;) {
            uint32_t index = i * kUnitsPerMontLimb + j;
            w = vlongLimb(w << 16 << 16) | (index < v->used ? v->units[index] : 0);
        }
        out[i] = w;
    }
}

// x^e mod m by left-to-right square-and-multiply on the Montgomery kernels, for an odd m,
// x already below m and non-zero, and e non-zero. The accumulator starts at x R mod m
// (one division); a final multiply by the plain x (e odd) or by 1 leaves Montgomery form.
MSTATUS powerModShort(const vlong* x, const vlong* e, const vlong* m, vlong* result,
                      vlong** queue) {
    const uint32_t n = (m->used + kUnitsPerMontLimb - 1) / kUnitsPerMontLimb;
    vlongLimb local[kLocalMontLimbs];
    vlongLimb* area = local;
    if (size_t(6) * n > kLocalMontLimbs) {
        area = static_cast<vlongLimb*>(PLATFORM_malloc(size_t(6) * n * sizeof(vlongLimb)));
        if (!area) return ERR_MEM_ALLOC_FAIL;
    }
    struct AreaGuard {
        vlongLimb* p;
        size_t limbs;
        const vlongLimb* local;
        ~AreaGuard() {
            memset(p, 0, limbs * sizeof(vlongLimb));
            if (p != local) PLATFORM_free(p);
        }
    } guard{area, size_t(6) * n, local};
    vlongLimb* ml = area;
    vlongLimb* xl = ml + n;  // x
    vlongLimb* xr = xl + n;  // x R mod m
    vlongLimb* acc = xr + n; // accumulator
    vlongLimb* u = acc + n;  // reduction multiples
    vlongLimb* one = u + n;

    // x R mod m
    VlongHold shifted(queue), xm(queue);
    MSTATUS status = VLONG_duplicate(x, &shifted.v, queue);
    if (status == OK) status = VLONG_shiftLeft(shifted.v, n * kUnitsPerMontLimb * 32);
    if (status == OK) status = VLONG_alloc(&xm.v, queue);
    if (status == OK) status = VLONG_divide(nullptr, shifted.v, m, xm.v, queue);
    if (status != OK) return status;
    unitsToLimbs(ml, n, m);
    unitsToLimbs(xl, n, x);
    unitsToLimbs(xr, n, xm.v);
    for (uint32_t i = 0; i < n; i++) one[i] = 0;
    one[0] = 1;

    // -m^-1 mod 2^(limb bits) by Newton's iteration, each step doubling the good bits
    vlongLimb inv = ml[0];
    for (int i = 0; i < 6; i++) inv *= 2 - ml[0] * inv;
    const vlongLimb mPrime = vlongLimb(0) - inv;

    for (uint32_t i = 0; i < n; i++) acc[i] = xr[i];
    bool plain = false;
    for (uint32_t i = VLONG_bitLength(e) - 1; i-- > 0;) {
        vlongMontSqr(acc, acc, ml, mPrime, n, u);
        if (VLONG_testBit(e, i)) {
            plain = i == 0;
            vlongMontMul(acc, acc, plain ? xl : xr, ml, mPrime, n, u);
        }
    }
    if (!plain) vlongMontMul(acc, acc, one, ml, mPrime, n, u);

    status = VLONG_reserve(result, n * kUnitsPerMontLimb);
    if (status != OK) return status;
    for (uint32_t i = 0; i < n; i++) {
        vlongLimb w = acc[i];
        for (uint32_t j = 0; j < kUnitsPerMontLimb; j++) {
            result->units[i * kUnitsPerMontLimb + j] = uint32_t(w);
            w = vlongLimb(w >> 16 >> 16);
        }
    }
    result->used = n * kUnitsPerMontLimb;
    result->negative = 0;
    vlongNormalize(result);
    return OK;
}

} // namespace

// ---------------------------------------------------------------- exponentiation

MSTATUS VLONG_powerMod(const vlong* x, const vlong* e, const vlong* m, vlong** out, vlong** queue) {
    if (!x || !e || !m || !out) return ERR_NULL_POINTER;
    if (!m->used) return ERR_ZERO_MODULUS;
    VlongHold result(queue), base(queue), modulus(queue), mu(queue);
    MSTATUS status = VLONG_alloc(&result.v, queue);
    if (status != OK) return status;
    if (!x->used || (m->used == 1 && m->units[0] == 1)) {
        // 0^e = 0, and everything is 0 modulo 1
        *out = result.v;
        result.v = nullptr;
        return OK;
    }
    if (!e->used) {
        status = setOne(result.v);
        if (status != OK) return status;
        *out = result.v;
        result.v = nullptr;
        return OK;
    }
    status = VLONG_duplicate(m, &modulus.v, queue);
    if (status == OK) {
        modulus.v->negative = 0;
        status = reduce(x, modulus.v, &base.v, queue);
    }
    if (status != OK) return status;

    if (VLONG_testBit(modulus.v, 0) && e->used > 13) {
        PLATFORM_yield(10000);
        MontContext* ctx = nullptr;
        status = MONT_setup(&ctx, modulus.v, queue);
        if (status != OK) return status;
        vlong* r = nullptr;
        status = MONT_power(ctx, base.v, e, &r, queue);
        MONT_dispose(&ctx, queue);
        if (status != OK) return status;
        *out = r;
        return OK;
    }

    if (VLONG_testBit(modulus.v, 0) && modulus.v->used < VLONG_MAX_UNITS / 2 - 2) {
        // short exponents (public RSA exponents among them) on the Montgomery kernels
        if (!base.v->used)
            status = OK;
        else
            status = powerModShort(base.v, e, modulus.v, result.v, queue);
        if (status != OK) return status;
        PLATFORM_yield(10000);
        *out = result.v;
        result.v = nullptr;
        return OK;
    }

    status = BARRETT_setup(&mu.v, modulus.v, queue);
    if (status == OK) status = setOne(result.v);
    if (status != OK) return status;
    uint32_t top = VLONG_bitLength(e) - 1;
    for (uint32_t i = 0;; i++) {
        if (VLONG_testBit(e, i)) {
            status = BARRETT_mulMod(result.v, result.v, base.v, modulus.v, mu.v, queue);
            if (status != OK) return status;
        }
        if (i == top) break;
        status = BARRETT_mulMod(base.v, base.v, base.v, modulus.v, mu.v, queue);
        if (status != OK) return status;
    }
    PLATFORM_yield(10000);
    *out = result.v;
    result.v = nullptr;
    return OK;
}
