// Multiplication: unrolled 8-unit products, Karatsuba for equal power-of-two
// sizes, and column-wise (product scanning) schoolbook for everything else.
#include <cstring>

#include "crypto/platform/platform.h"
#include "crypto/vlong/vlong.h"
#include "crypto/vlong/vlong_internal.h"

namespace {

// Column accumulators: (hi:acc) is a three-word accumulator, (xhi:xacc) collects the
// cross products of a squaring column before they are doubled.
#define N_MAC(x, y)                                                                                \
    do {                                                                                           \
        uint64_t p_ = uint64_t(x) * (y);                                                           \
        acc += p_;                                                                                 \
        hi += acc < p_;                                                                            \
    } while (0)
#define N_MAC2(x, y)                                                                               \
    do {                                                                                           \
        uint64_t p_ = uint64_t(x) * (y);                                                           \
        xacc += p_;                                                                                \
        xhi += xacc < p_;                                                                          \
    } while (0)
#define N_DOUBLE()                                                                                 \
    do {                                                                                           \
        hi += (xhi << 1) | uint32_t(xacc >> 63);                                                   \
        uint64_t d_ = xacc << 1;                                                                   \
        acc += d_;                                                                                 \
        hi += acc < d_;                                                                            \
        xacc = 0;                                                                                  \
        xhi = 0;                                                                                   \
    } while (0)
#define N_COLUMN(k)                                                                                \
    do {                                                                                           \
        r[k] = uint32_t(acc);                                                                      \
        acc = (acc >> 32) | (uint64_t(hi) << 32);                                                  \
        hi = 0;                                                                                    \
    } while (0)
#define N_LAST(k) r[k] = uint32_t(acc)

#if VLONG_WIDE
typedef unsigned __int128 u128;
#define W_MAC(x, y)                                                                                \
    do {                                                                                           \
        u128 p_ = u128(x) * (y);                                                                   \
        acc += p_;                                                                                 \
        hi += acc < p_;                                                                            \
    } while (0)
#define W_MAC2(x, y)                                                                               \
    do {                                                                                           \
        u128 p_ = u128(x) * (y);                                                                   \
        xacc += p_;                                                                                \
        xhi += xacc < p_;                                                                          \
    } while (0)
#define W_DOUBLE()                                                                                 \
    do {                                                                                           \
        hi += (xhi << 1) | uint64_t(xacc >> 127);                                                  \
        u128 d_ = xacc << 1;                                                                       \
        acc += d_;                                                                                 \
        hi += acc < d_;                                                                            \
        xacc = 0;                                                                                  \
        xhi = 0;                                                                                   \
    } while (0)
#define W_COLUMN(k)                                                                                \
    do {                                                                                           \
        rw[k] = uint64_t(acc);                                                                     \
        acc = (acc >> 64) | (u128(hi) << 64);                                                      \
        hi = 0;                                                                                    \
    } while (0)
#define W_LAST(k) rw[k] = uint64_t(acc)

inline uint64_t loadLimb(const uint32_t* u, uint32_t i) {
    return uint64_t(u[2 * i]) | uint64_t(u[2 * i + 1]) << 32;
}
inline void storeLimb(uint32_t* u, uint32_t i, uint64_t w) {
    u[2 * i] = uint32_t(w);
    u[2 * i + 1] = uint32_t(w >> 32);
}
#endif

} // namespace

void vlongMul8(uint32_t* r, const uint32_t* a, const uint32_t* b) {
#if VLONG_WIDE
    uint64_t a0 = loadLimb(a, 0), a1 = loadLimb(a, 1), a2 = loadLimb(a, 2), a3 = loadLimb(a, 3);
    uint64_t b0 = loadLimb(b, 0), b1 = loadLimb(b, 1), b2 = loadLimb(b, 2), b3 = loadLimb(b, 3);
    uint64_t rw[8];
    u128 acc = 0;
    uint64_t hi = 0;
    W_MAC(a0, b0);
    W_COLUMN(0);
    W_MAC(a0, b1);
    W_MAC(a1, b0);
    W_COLUMN(1);
    W_MAC(a0, b2);
    W_MAC(a1, b1);
    W_MAC(a2, b0);
    W_COLUMN(2);
    W_MAC(a0, b3);
    W_MAC(a1, b2);
    W_MAC(a2, b1);
    W_MAC(a3, b0);
    W_COLUMN(3);
    W_MAC(a1, b3);
    W_MAC(a2, b2);
    W_MAC(a3, b1);
    W_COLUMN(4);
    W_MAC(a2, b3);
    W_MAC(a3, b2);
    W_COLUMN(5);
    W_MAC(a3, b3);
    W_COLUMN(6);
    W_LAST(7);

    for (uint32_t i = 0; i < 8; i++) storeLimb(r, i, rw[i]);
#else
    uint32_t a0 = a[0], a1 = a[1], a2 = a[2], a3 = a[3], a4 = a[4], a5 = a[5], a6 = a[6], a7 = a[7];
    uint32_t b0 = b[0], b1 = b[1], b2 = b[2], b3 = b[3], b4 = b[4], b5 = b[5], b6 = b[6], b7 = b[7];
    uint64_t acc = 0;
    uint32_t hi = 0;
    N_MAC(a0, b0);
    N_COLUMN(0);
    N_MAC(a0, b1);
    N_MAC(a1, b0);
    N_COLUMN(1);
    N_MAC(a0, b2);
    N_MAC(a1, b1);
    N_MAC(a2, b0);
    N_COLUMN(2);
    N_MAC(a0, b3);
    N_MAC(a1, b2);
    N_MAC(a2, b1);
    N_MAC(a3, b0);
    N_COLUMN(3);
    N_MAC(a0, b4);
    N_MAC(a1, b3);
    N_MAC(a2, b2);
    N_MAC(a3, b1);
    N_MAC(a4, b0);
    N_COLUMN(4);
    N_MAC(a0, b5);
    N_MAC(a1, b4);
    N_MAC(a2, b3);
    N_MAC(a3, b2);
    N_MAC(a4, b1);
    N_MAC(a5, b0);
    N_COLUMN(5);
    N_MAC(a0, b6);
    N_MAC(a1, b5);
    N_MAC(a2, b4);
    N_MAC(a3, b3);
    N_MAC(a4, b2);
    N_MAC(a5, b1);
    N_MAC(a6, b0);
    N_COLUMN(6);
    N_MAC(a0, b7);
    N_MAC(a1, b6);
    N_MAC(a2, b5);
    N_MAC(a3, b4);
    N_MAC(a4, b3);
    N_MAC(a5, b2);
    N_MAC(a6, b1);
    N_MAC(a7, b0);
    N_COLUMN(7);
    N_MAC(a1, b7);
    N_MAC(a2, b6);
    N_MAC(a3, b5);
    N_MAC(a4, b4);
    N_MAC(a5, b3);
    N_MAC(a6, b2);
    N_MAC(a7, b1);
    N_COLUMN(8);
    N_MAC(a2, b7);
    N_MAC(a3, b6);
    N_MAC(a4, b5);
    N_MAC(a5, b4);
    N_MAC(a6, b3);
    N_MAC(a7, b2);
    N_COLUMN(9);
    N_MAC(a3, b7);
    N_MAC(a4, b6);
    N_MAC(a5, b5);
    N_MAC(a6, b4);
    N_MAC(a7, b3);
    N_COLUMN(10);
    N_MAC(a4, b7);
    N_MAC(a5, b6);
    N_MAC(a6, b5);
    N_MAC(a7, b4);
    N_COLUMN(11);
    N_MAC(a5, b7);
    N_MAC(a6, b6);
    N_MAC(a7, b5);
    N_COLUMN(12);
    N_MAC(a6, b7);
    N_MAC(a7, b6);
    N_COLUMN(13);
    N_MAC(a7, b7);
    N_COLUMN(14);
    N_LAST(15);

#endif
}

void vlongSqr8(uint32_t* r, const uint32_t* a) {
#if VLONG_WIDE
    uint64_t a0 = loadLimb(a, 0), a1 = loadLimb(a, 1), a2 = loadLimb(a, 2), a3 = loadLimb(a, 3);
    uint64_t rw[8];
    u128 acc = 0, xacc = 0;
    uint64_t hi = 0, xhi = 0;
    W_MAC(a0, a0);
    W_COLUMN(0);
    W_MAC2(a0, a1);
    W_DOUBLE();
    W_COLUMN(1);
    W_MAC2(a0, a2);
    W_DOUBLE();
    W_MAC(a1, a1);
    W_COLUMN(2);
    W_MAC2(a0, a3);
    W_MAC2(a1, a2);
    W_DOUBLE();
    W_COLUMN(3);
    W_MAC2(a1, a3);
    W_DOUBLE();
    W_MAC(a2, a2);
    W_COLUMN(4);
    W_MAC2(a2, a3);
    W_DOUBLE();
    W_COLUMN(5);
    W_MAC(a3, a3);
    W_COLUMN(6);
    W_LAST(7);

    for (uint32_t i = 0; i < 8; i++) storeLimb(r, i, rw[i]);
#else
    uint32_t a0 = a[0], a1 = a[1], a2 = a[2], a3 = a[3], a4 = a[4], a5 = a[5], a6 = a[6], a7 = a[7];
    uint64_t acc = 0, xacc = 0;
    uint32_t hi = 0, xhi = 0;
    N_MAC(a0, a0);
    N_COLUMN(0);
    N_MAC2(a0, a1);
    N_DOUBLE();
    N_COLUMN(1);
    N_MAC2(a0, a2);
    N_DOUBLE();
    N_MAC(a1, a1);
    N_COLUMN(2);
    N_MAC2(a0, a3);
    N_MAC2(a1, a2);
    N_DOUBLE();
    N_COLUMN(3);
    N_MAC2(a0, a4);
    N_MAC2(a1, a3);
    N_DOUBLE();
    N_MAC(a2, a2);
    N_COLUMN(4);
    N_MAC2(a0, a5);
    N_MAC2(a1, a4);
    N_MAC2(a2, a3);
    N_DOUBLE();
    N_COLUMN(5);
    N_MAC2(a0, a6);
    N_MAC2(a1, a5);
    N_MAC2(a2, a4);
    N_DOUBLE();
    N_MAC(a3, a3);
    N_COLUMN(6);
    N_MAC2(a0, a7);
    N_MAC2(a1, a6);
    N_MAC2(a2, a5);
    N_MAC2(a3, a4);
    N_DOUBLE();
    N_COLUMN(7);
    N_MAC2(a1, a7);
    N_MAC2(a2, a6);
    N_MAC2(a3, a5);
    N_DOUBLE();
    N_MAC(a4, a4);
    N_COLUMN(8);
    N_MAC2(a2, a7);
    N_MAC2(a3, a6);
    N_MAC2(a4, a5);
    N_DOUBLE();
    N_COLUMN(9);
    N_MAC2(a3, a7);
    N_MAC2(a4, a6);
    N_DOUBLE();
    N_MAC(a5, a5);
    N_COLUMN(10);
    N_MAC2(a4, a7);
    N_MAC2(a5, a6);
    N_DOUBLE();
    N_COLUMN(11);
    N_MAC2(a5, a7);
    N_DOUBLE();
    N_MAC(a6, a6);
    N_COLUMN(12);
    N_MAC2(a6, a7);
    N_DOUBLE();
    N_COLUMN(13);
    N_MAC(a7, a7);
    N_COLUMN(14);
    N_LAST(15);

#endif
}

// ---------------------------------------------------------------- column-wise kernels

namespace {

#if !VLONG_WIDE
void mulColumnsNarrow(uint32_t* r, uint32_t nr, const uint32_t* a, uint32_t na, const uint32_t* b,
                      uint32_t nb, uint32_t from) {
    uint64_t acc = 0;
    uint32_t hi = 0;
    uint32_t full = na + nb;
    for (uint32_t k = 0; k < from && k < nr; k++) r[k] = 0;
    for (uint32_t k = from; k < nr; k++) {
        if (k + 1 == full) {
            N_LAST(k);
            return;
        }
        uint32_t iStart = k >= nb ? k - nb + 1 : 0;
        uint32_t iEnd = k < na ? k : na - 1;
        for (uint32_t i = iStart; i <= iEnd; i++) N_MAC(a[i], b[k - i]);
        N_COLUMN(k);
    }
}

void sqrColumnsNarrow(uint32_t* r, const uint32_t* a, uint32_t n) {
    uint64_t acc = 0, xacc = 0;
    uint32_t hi = 0, xhi = 0;
    for (uint32_t k = 0; k + 1 < 2 * n; k++) {
        uint32_t iStart = k >= n ? k - n + 1 : 0;
        for (uint32_t i = iStart; 2 * i < k; i++) N_MAC2(a[i], a[k - i]);
        N_DOUBLE();
        if (!(k & 1)) N_MAC(a[k / 2], a[k / 2]);
        N_COLUMN(k);
    }
    N_LAST(2 * n - 1);
}

#endif

#if VLONG_WIDE
void mulColumnsWide(uint64_t* rw, uint32_t nr, const uint64_t* a, uint32_t na, const uint64_t* b,
                    uint32_t nb, uint32_t from) {
    u128 acc = 0;
    uint64_t hi = 0;
    uint32_t full = na + nb;
    for (uint32_t k = 0; k < from && k < nr; k++) rw[k] = 0;
    for (uint32_t k = from; k < nr; k++) {
        if (k + 1 == full) {
            W_LAST(k);
            return;
        }
        uint32_t iStart = k >= nb ? k - nb + 1 : 0;
        uint32_t iEnd = k < na ? k : na - 1;
        for (uint32_t i = iStart; i <= iEnd; i++) W_MAC(a[i], b[k - i]);
        W_COLUMN(k);
    }
}

void sqrColumnsWide(uint64_t* rw, const uint64_t* a, uint32_t n) {
    u128 acc = 0, xacc = 0;
    uint64_t hi = 0, xhi = 0;
    for (uint32_t k = 0; k + 1 < 2 * n; k++) {
        uint32_t iStart = k >= n ? k - n + 1 : 0;
        for (uint32_t i = iStart; 2 * i < k; i++) W_MAC2(a[i], a[k - i]);
        W_DOUBLE();
        if (!(k & 1)) W_MAC(a[k / 2], a[k / 2]);
        W_COLUMN(k);
    }
    W_LAST(2 * n - 1);
}

// Limb copies of the operands: on the stack for the usual sizes, else from the allocator.
struct LimbBuffer {
    uint64_t local[512];
    uint64_t* p = local;
    ~LimbBuffer() {
        if (p != local) PLATFORM_free(p);
    }
};

bool limbBufferGet(LimbBuffer& buffer, uint32_t limbs) {
    if (limbs <= 512) return true;
    buffer.p = static_cast<uint64_t*>(PLATFORM_malloc(size_t(limbs) * sizeof(uint64_t)));
    if (!buffer.p) {
        buffer.p = buffer.local;
        return false;
    }
    return true;
}

void toLimbs(uint64_t* w, const uint32_t* u, uint32_t n) {
    for (uint32_t i = 0; i < n / 2; i++) w[i] = loadLimb(u, i);
    if (n & 1) w[n / 2] = u[n - 1];
}

void fromLimbs(uint32_t* u, uint32_t n, const uint64_t* w) {
    for (uint32_t i = 0; i < n / 2; i++) storeLimb(u, i, w[i]);
    if (n & 1) u[n - 1] = uint32_t(w[n / 2]);
}
#endif

} // namespace

namespace {

MSTATUS mulColumns(uint32_t* r, uint32_t nr, const uint32_t* a, uint32_t na, const uint32_t* b,
                   uint32_t nb, uint32_t dropBelow) {
    if (nr > na + nb) {
        memset(r + na + nb, 0, size_t(nr - na - nb) * sizeof(uint32_t));
        nr = na + nb;
    }
#if VLONG_WIDE
    uint32_t la = (na + 1) / 2, lb = (nb + 1) / 2, lr = (nr + 1) / 2;
    LimbBuffer buffer;
    if (!limbBufferGet(buffer, la + lb + lr)) return ERR_MEM_ALLOC_FAIL;
    uint64_t* wa = buffer.p;
    uint64_t* wb = wa + la;
    uint64_t* wr = wb + lb;
    toLimbs(wa, a, na);
    toLimbs(wb, b, nb);
    mulColumnsWide(wr, lr, wa, la, wb, lb, dropBelow / 2);
    fromLimbs(r, nr, wr);
#else
    mulColumnsNarrow(r, nr, a, na, b, nb, dropBelow);
#endif
    return OK;
}

} // namespace

MSTATUS vlongMulColumnsLow(uint32_t* r, uint32_t nr, const uint32_t* a, uint32_t na,
                           const uint32_t* b, uint32_t nb) {
    return mulColumns(r, nr, a, na, b, nb, 0);
}

MSTATUS vlongMulColumnsHigh(uint32_t* r, const uint32_t* a, uint32_t na, const uint32_t* b,
                            uint32_t nb, uint32_t dropBelow) {
    return mulColumns(r, na + nb, a, na, b, nb, dropBelow);
}

MSTATUS vlongMulColumns(uint32_t* r, const uint32_t* a, uint32_t na, const uint32_t* b,
                        uint32_t nb) {
    return vlongMulColumnsLow(r, na + nb, a, na, b, nb);
}

MSTATUS vlongSqrColumns(uint32_t* r, const uint32_t* a, uint32_t n) {
#if VLONG_WIDE
    uint32_t la = (n + 1) / 2;
    LimbBuffer buffer;
    if (!limbBufferGet(buffer, 3 * la)) return ERR_MEM_ALLOC_FAIL;
    uint64_t* wa = buffer.p;
    uint64_t* wr = wa + la;
    toLimbs(wa, a, n);
    sqrColumnsWide(wr, wa, la);
    fromLimbs(r, 2 * n, wr);
#else
    sqrColumnsNarrow(r, a, n);
#endif
    return OK;
}

// ---------------------------------------------------------------- Montgomery kernels

namespace {

#if VLONG_WIDE
typedef unsigned __int128 LimbWide;
#else
typedef uint64_t LimbWide;
#endif
const unsigned kMontBits = 8 * sizeof(vlongLimb);

// (a2:a1:a0) += x y
#if VLONG_WIDE && defined(__x86_64__) && defined(__GNUC__) && !defined(VLONG_NO_ASM)
// the multiply-accumulate as the three-word add chain the hardware has
#define M_MAC_INTO(x, y, a0, a1, a2)                                                               \
    do {                                                                                           \
        uint64_t lo_ = (x), hi_;                                                                   \
        __asm__("mulq %5\n\t"                                                                      \
                "addq %%rax, %0\n\t"                                                               \
                "adcq %%rdx, %1\n\t"                                                               \
                "adcq $0, %2"                                                                      \
                : "+r"(a0), "+r"(a1), "+r"(a2), "+a"(lo_), "=d"(hi_)                               \
                : "rm"(y)                                                                          \
                : "cc");                                                                           \
    } while (0)
#else
#define M_MAC_INTO(x, y, a0, a1, a2)                                                               \
    do {                                                                                           \
        LimbWide p_ = LimbWide(x) * (y);                                                           \
        LimbWide t_ = (LimbWide(a1) << kMontBits | a0) + p_;                                       \
        a2 += t_ < p_;                                                                             \
        a0 = vlongLimb(t_);                                                                        \
        a1 = vlongLimb(t_ >> kMontBits);                                                           \
    } while (0)
#endif
#define M_MAC(x, y) M_MAC_INTO(x, y, c0, c1, c2)
// (d2:d1:d0) += x y, the cross products of a squaring column
#define M_MAC_CROSS(x, y) M_MAC_INTO(x, y, d0, d1, d2)
#define M_SHIFT()                                                                                  \
    do {                                                                                           \
        c0 = c1;                                                                                   \
        c1 = c2;                                                                                   \
        c2 = 0;                                                                                    \
    } while (0)

// r = t - m when the top carry is set or t is not below m (t < 2m), else r = t.
void montFinish(vlongLimb* r, vlongLimb carry, const vlongLimb* m, uint32_t n) {
    if (!carry) {
        uint32_t i = n;
        while (i-- > 0 && r[i] == m[i]) {
        }
        if (i < n && r[i] < m[i]) return;
    }
    vlongLimb borrow = 0;
    for (uint32_t i = 0; i < n; i++) {
        LimbWide d = LimbWide(r[i]) - m[i] - borrow;
        r[i] = vlongLimb(d);
        borrow = vlongLimb(d >> kMontBits) & 1;
    }
}

} // namespace

// Product scanning with the reduction interleaved: column k gathers a_i b_(k-i) and
// u_i m_(k-i); below column n the new u_k clears the low word.
void vlongMontMul(vlongLimb* r, const vlongLimb* a, const vlongLimb* b, const vlongLimb* m,
                  vlongLimb mPrime, uint32_t n, vlongLimb* u) {
    vlongLimb c0 = 0, c1 = 0, c2 = 0;
    for (uint32_t k = 0; k < n; k++) {
        for (uint32_t i = 0; i < k; i++) {
            M_MAC(a[i], b[k - i]);
            M_MAC(u[i], m[k - i]);
        }
        M_MAC(a[k], b[0]);
        vlongLimb q = c0 * mPrime;
        u[k] = q;
        M_MAC(q, m[0]);
        M_SHIFT();
    }
    for (uint32_t k = n; k + 1 < 2 * n; k++) {
        for (uint32_t i = k - n + 1; i < n; i++) {
            M_MAC(a[i], b[k - i]);
            M_MAC(u[i], m[k - i]);
        }
        r[k - n] = c0;
        M_SHIFT();
    }
    r[n - 1] = c0;
    montFinish(r, c1, m, n);
}

void vlongMontSqr(vlongLimb* r, const vlongLimb* a, const vlongLimb* m, vlongLimb mPrime,
                  uint32_t n, vlongLimb* u) {
    vlongLimb c0 = 0, c1 = 0, c2 = 0;
    for (uint32_t k = 0; k + 1 < 2 * n; k++) {
        // column k: twice the cross products a_i a_(k-i) for i below k - i, the square of
        // a_(k/2), and u_i m_(k-i)
        const uint32_t low = k < n ? 0 : k - n + 1;
        vlongLimb d0 = 0, d1 = 0, d2 = 0;
        for (uint32_t i = low; 2 * i < k; i++) M_MAC_CROSS(a[i], a[k - i]);
        d2 = d2 << 1 | d1 >> (kMontBits - 1);
        d1 = d1 << 1 | d0 >> (kMontBits - 1);
        d0 <<= 1;
        c0 += d0;
        vlongLimb carry = c0 < d0;
        c1 += carry;
        c2 += c1 < carry;
        c1 += d1;
        c2 += d2 + (c1 < d1);
        if (!(k & 1)) M_MAC(a[k / 2], a[k / 2]);
        if (k < n) {
            for (uint32_t i = 0; i < k; i++) M_MAC(u[i], m[k - i]);
            vlongLimb q = c0 * mPrime;
            u[k] = q;
            M_MAC(q, m[0]);
        } else {
            for (uint32_t i = low; i < n; i++) M_MAC(u[i], m[k - i]);
            r[k - n] = c0;
        }
        M_SHIFT();
    }
    r[n - 1] = c0;
    montFinish(r, c1, m, n);
}
