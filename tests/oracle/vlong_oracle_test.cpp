// vlong arithmetic against OpenSSL BIGNUM on random and carry-heavy operands.
#include <gtest/gtest.h>

#include "crypto/vlong/vlong.h"
#include "tests/common/openssl.h"

namespace {

using namespace testutil;

// One number on both sides.
struct Num {
    vlong* v = nullptr;
    BIGNUM* bn = BN_new();
    explicit Num(const Bytes& b = {}) {
        static const uint8_t zero = 0;
        EXPECT_EQ(
            OK, VLONG_fromByteString(b.empty() ? &zero : b.data(), int32_t(b.size()), &v, nullptr));
        BN_bin2bn(b.data(), int(b.size()), bn);
    }
    ~Num() {
        VLONG_release(&v, nullptr);
        BN_free(bn);
    }
};
#define EXPECT_SAME(n) EXPECT_EQ(bnBytes((n).bn), vlongBytes((n).v))

BN_CTX* bnCtx() {
    static BN_CTX* c = BN_CTX_new();
    return c;
}

// An operand of n units; pattern 1 all ones, 2 a top unit of 1, 3 alternating ones and zeros.
Bytes operand(uint32_t units, int pattern = 0) {
    Bytes b = randomBytes(units * 4);
    for (size_t i = 0; i < b.size(); i++) {
        if (pattern == 1 || (pattern == 3 && i % 8 < 4)) b[i] = 0xFF;
        if (pattern == 3 && i % 8 >= 4) b[i] = 0;
    }
    if (!b.empty() && pattern == 2) b[0] = b[1] = b[2] = 0, b[3] = 1;
    if (!b.empty() && !(b[0] | b[1] | b[2] | b[3])) b[3] = 1; // keep n units
    return b;
}
Bytes withLowBit(Bytes b, bool odd) {
    b.back() = odd ? (b.back() | 1) : (b.back() & 0xFE);
    return b;
}

void multiply(const Bytes& ab, const Bytes& bb, const std::string& what) {
    Num a(ab), b(bb), p;
    ASSERT_EQ(OK, VLONG_multiply(p.v, a.v, b.v));
    BN_mul(p.bn, a.bn, b.bn, bnCtx());
    EXPECT_SAME(p) << what;
    ASSERT_EQ(OK, VLONG_multiply(p.v, a.v, a.v)); // squaring: one record on both sides
    BN_sqr(p.bn, a.bn, bnCtx());
    EXPECT_SAME(p) << what << " squared";
    ASSERT_EQ(OK, VLONG_multiply(a.v, a.v, b.v)); // the product is also an operand
    BN_mul(a.bn, a.bn, b.bn, bnCtx());
    EXPECT_SAME(a) << what << " in place";
}

TEST(VlongOracle, MultiplyEverySizePathAndLowBits) {
    const uint32_t sizes[][2] = {{1, 1},   {2, 3},     {8, 8},     {8, 7},   {16, 16}, {32, 32},
                                 {64, 64}, {128, 128}, {256, 256}, {16, 15}, {17, 16}, {64, 65},
                                 {65, 65}, {7, 130},   {130, 3},   {33, 33}, {96, 96}, {1, 200}};
    for (auto& s : sizes)
        for (int pattern = 0; pattern < 4; pattern++)
            multiply(operand(s[0], pattern), operand(s[1], pattern),
                     std::to_string(s[0]) + "x" + std::to_string(s[1]) + " p" +
                         std::to_string(pattern));
    // Karatsuba halves: equal halves make a zero difference, a descending pattern flips the sign
    // of the middle term.
    for (uint32_t n : {16u, 32u, 64u, 128u}) {
        Bytes ab = operand(n), bb = operand(n);
        std::copy(ab.begin(), ab.begin() + n * 2, ab.begin() + n * 2);
        for (uint32_t i = 0; i < n * 2; i++) bb[i] = uint8_t(i), bb[n * 2 + i] = uint8_t(0xFF - i);
        multiply(ab, bb, "halves " + std::to_string(n));
        multiply(bb, ab, "halves' " + std::to_string(n));
    }
    for (uint32_t bits : {1u, 31u, 32u, 33u, 100u, 1024u, 2080u, 4000u}) {
        Num a(operand(40)), b(operand(70)), p;
        ASSERT_EQ(OK, VLONG_multiplyLow(p.v, a.v, b.v, bits));
        BN_mul(p.bn, a.bn, b.bn, bnCtx());
        BN_mask_bits(p.bn, int(bits));
        EXPECT_SAME(p) << bits;
    }
}

// Digit estimates that are one too large are fixed rows of the crypto tests.
TEST(VlongOracle, DivideAndModulo) {
    for (uint32_t dn : {1u, 2u, 3u, 8u, 31u, 64u, 65u, 128u})
        for (uint32_t extra : {0u, 1u, 2u, 17u, 64u})
            for (int pattern = 0; pattern < 4; pattern++) {
                SCOPED_TRACE(std::to_string(dn) + "+" + std::to_string(extra) + " p" +
                             std::to_string(pattern));
                Num n(operand(dn + extra, pattern)), d(operand(dn, (pattern + 1) % 4)), q, r;
                ASSERT_EQ(OK, VLONG_divide(q.v, n.v, d.v, r.v, nullptr));
                BN_div(q.bn, r.bn, n.bn, d.bn, bnCtx());
                EXPECT_SAME(q);
                EXPECT_SAME(r);
                VLONG_release(&r.v, nullptr);
                ASSERT_EQ(OK, VLONG_modulo(n.v, d.v, &r.v, nullptr));
                EXPECT_SAME(r) << "modulo";
            }
}

// Inverses, powers and Barrett products modulo odd and even moduli of every size (a top unit of
// one, alternating units); exponents from public-exponent lengths to the Montgomery path's.
TEST(VlongOracle, InversePowerAndBarrettModEveryModulus) {
    int inverses = 0;
    for (uint32_t mu : {1u, 2u, 5u, 7u, 8u, 16u, 32u, 33u, 64u, 65u, 128u}) {
        for (uint32_t eu : {1u, 2u, 13u, 14u, 22u, 64u}) {
            for (bool odd : {false, true}) {
                SCOPED_TRACE(std::to_string(mu) + " units, exponent " + std::to_string(eu) +
                             (odd ? " odd" : " even"));
                const int pattern = mu == 1 ? 0 : int(eu % 4) % 3 + 1; // 2, 3, 2, 3, 3, 1
                Num m(withLowBit(operand(mu, pattern == 1 ? 0 : pattern), odd)), x(operand(mu + 1)),
                    e(operand(eu)), r, inv, bar;
                for (vlong** v : {&r.v, &inv.v, &bar.v}) VLONG_release(v, nullptr);
                vlong* queue = nullptr;
                ASSERT_EQ(OK, VLONG_powerMod(x.v, e.v, m.v, &r.v, &queue));
                VLONG_drainQueue(&queue);
                BN_mod_exp(r.bn, x.bn, e.bn, m.bn, bnCtx());
                EXPECT_SAME(r) << "power";
                const bool exists = BN_mod_inverse(inv.bn, x.bn, m.bn, bnCtx()) != nullptr;
                const MSTATUS status = VLONG_modInverse(x.v, m.v, &inv.v, nullptr);
                EXPECT_EQ(exists, status == OK) << status;
                if (exists) {
                    EXPECT_SAME(inv) << "inverse";
                } else {
                    EXPECT_EQ(nullptr, inv.v);
                }
                inverses += exists;
                // Barrett over reduced operands, one of them all ones before; then in place.
                ASSERT_EQ(OK, BARRETT_setup(&bar.v, m.v, nullptr));
                Num a0(operand(mu, eu == 1 ? 1 : 0)), b0(operand(mu));
                BN_mod(a0.bn, a0.bn, m.bn, bnCtx());
                BN_mod(b0.bn, b0.bn, m.bn, bnCtx());
                Num a(bnBytes(a0.bn)), b(bnBytes(b0.bn)), p;
                ASSERT_EQ(OK, BARRETT_mulMod(p.v, a.v, b.v, m.v, bar.v, nullptr));
                BN_mod_mul(p.bn, a.bn, b.bn, m.bn, bnCtx());
                EXPECT_SAME(p) << "Barrett";
                ASSERT_EQ(OK, BARRETT_mulMod(a.v, a.v, a.v, m.v, bar.v, nullptr));
                BN_mod_sqr(a.bn, a.bn, m.bn, bnCtx());
                EXPECT_SAME(a) << "Barrett, squared in place";
            }
        }
    }
    EXPECT_GT(inverses, 40);
}

TEST(VlongOracle, MontgomeryWindows) {
    // 10 bits: binary; 50: w 3; 100: w 4; 300: w 5; 700 and 1500: w 6
    for (uint32_t mu : {1u, 3u, 16u, 32u, 64u}) {
        Num m(withLowBit(operand(mu), true));
        MontContext* mont = nullptr;
        ASSERT_EQ(OK, MONT_setup(&mont, m.v, nullptr));
        for (uint32_t bits : {1u, 2u, 10u, 23u, 24u, 50u, 79u, 80u, 100u, 239u, 240u, 300u, 671u,
                              672u, 700u, 1500u}) {
            Num e(operand((bits + 31) / 32));
            BN_mask_bits(e.bn, int(bits));
            BN_set_bit(e.bn, int(bits - 1));
            Num exact(bnBytes(e.bn)), x(operand(mu)), r;
            BN_mod(x.bn, x.bn, m.bn, bnCtx());
            Num xr(bnBytes(x.bn));
            VLONG_release(&r.v, nullptr);
            ASSERT_EQ(OK, MONT_power(mont, xr.v, exact.v, &r.v, nullptr));
            BN_mod_exp(r.bn, xr.bn, exact.bn, m.bn, bnCtx());
            EXPECT_SAME(r) << mu << " units, " << bits << " exponent bits";
        }
        MONT_dispose(&mont, nullptr);
    }
}

TEST(VlongOracle, SignedAddSubtractAndShifts) {
    for (int round = 0; round < 200; round++) {
        const Bytes ab = operand(1 + random32() % 9, int(random32() % 4)),
                    bb = operand(1 + random32() % 9, int(random32() % 4));
        const bool an = random32() & 1, bn = random32() & 1;
        Num a(ab), b(bb), s, d;
        a.v->negative = an;
        b.v->negative = bn;
        BN_set_negative(a.bn, an);
        BN_set_negative(b.bn, bn);
        ASSERT_EQ(OK, VLONG_copySigned(s.v, a.v));
        ASSERT_EQ(OK, VLONG_add(s.v, b.v, nullptr));
        BN_add(s.bn, a.bn, b.bn);
        ASSERT_EQ(OK, VLONG_copySigned(d.v, a.v));
        ASSERT_EQ(OK, VLONG_subtract(d.v, b.v, nullptr));
        BN_sub(d.bn, a.bn, b.bn);
        for (Num* n : {&s, &d}) {
            EXPECT_SAME(*n) << round;
            EXPECT_EQ(BN_is_negative(n->bn) ? 1u : 0u, n->v->negative) << round;
        }
        const uint32_t shift = random32() % 100;
        ASSERT_EQ(OK, VLONG_shiftLeft(a.v, shift));
        BN_lshift(a.bn, a.bn, int(shift));
        EXPECT_SAME(a);
        ASSERT_EQ(OK, VLONG_shiftRight(a.v, shift + 7));
        BN_rshift(a.bn, a.bn, int(shift + 7));
        EXPECT_SAME(a);
    }
}

} // namespace
