// vlong arithmetic against OpenSSL BIGNUM on random and carry-heavy operands.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <memory>
#include <random>
#include <vector>

#include "crypto/vlong/vlong.h"
#include "tests/common/openssl.h"

namespace {

struct BnFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
struct CtxFree {
    void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

struct VlongFree {
    void operator()(vlong* v) const { VLONG_release(&v, nullptr); }
};
using Vl = std::unique_ptr<vlong, VlongFree>;

std::mt19937 g_rng(20261206);

// Random operand of n units; pattern 1 gives all-ones units, 2 a sparse top unit.
std::vector<uint8_t> randomBytes(uint32_t units, int pattern) {
    std::vector<uint8_t> b(units * 4);
    for (auto& x : b) x = uint8_t(g_rng());
    if (pattern == 1)
        for (auto& x : b) x = 0xFF;
    if (pattern == 3)
        for (size_t i = 0; i < b.size(); i++) b[i] = (i % 8 < 4) ? 0xFF : 0x00;
    if (!b.empty()) {
        if (pattern == 2) b[0] = 0, b[1] = 0, b[2] = 0, b[3] = 1;
        if (b[0] == 0 && b[1] == 0 && b[2] == 0 && b[3] == 0) b[3] = 1; // keep n units
    }
    return b;
}

Vl toVlong(const std::vector<uint8_t>& b) {
    vlong* v = nullptr;
    EXPECT_EQ(OK, VLONG_fromByteString(b.data(), int32_t(b.size()), &v, nullptr));
    return Vl(v);
}

Bn toBn(const std::vector<uint8_t>& b) {
    return Bn(BN_bin2bn(b.data(), int(b.size()), nullptr));
}

using testutil::bnBytes;
using testutil::vlongBytes;

#define EXPECT_SAME(v, bn) EXPECT_EQ(bnBytes(bn), vlongBytes(v))

class VlongOracle : public ::testing::Test {
  protected:
    std::unique_ptr<BN_CTX, CtxFree> ctx{BN_CTX_new()};
};

TEST_F(VlongOracle, MultiplyAllSizePaths) {
    const uint32_t sizes[][2] = {{1, 1},   {2, 3},     {8, 8},     {8, 7},   {16, 16}, {32, 32},
                                 {64, 64}, {128, 128}, {256, 256}, {16, 15}, {17, 16}, {64, 65},
                                 {65, 65}, {7, 130},   {130, 3},   {33, 33}, {96, 96}, {1, 200}};
    for (auto& s : sizes) {
        for (int pattern = 0; pattern < 4; pattern++) {
            auto ab = randomBytes(s[0], pattern), bb = randomBytes(s[1], pattern);
            Vl a = toVlong(ab), b = toVlong(bb), p = toVlong({});
            ASSERT_EQ(OK, VLONG_multiply(p.get(), a.get(), b.get()));
            Bn ea = toBn(ab), eb = toBn(bb), ep(BN_new());
            BN_mul(ep.get(), ea.get(), eb.get(), ctx.get());
            EXPECT_SAME(p.get(), ep.get()) << s[0] << "x" << s[1] << " pattern " << pattern;
            // squaring path: the same record on both sides
            ASSERT_EQ(OK, VLONG_multiply(p.get(), a.get(), a.get()));
            BN_sqr(ep.get(), ea.get(), ctx.get());
            EXPECT_SAME(p.get(), ep.get()) << s[0] << " squared, pattern " << pattern;
            // product is also an operand
            ASSERT_EQ(OK, VLONG_multiply(a.get(), a.get(), b.get()));
            BN_mul(ep.get(), ea.get(), eb.get(), ctx.get());
            EXPECT_SAME(a.get(), ep.get());
        }
    }
}

TEST_F(VlongOracle, KaratsubaHalvesWithEqualAndOrderedHalves) {
    // equal halves make a zero difference; a descending pattern flips the middle sign
    for (uint32_t n : {16u, 32u, 64u, 128u}) {
        auto ab = randomBytes(n, 0), bb = randomBytes(n, 0);
        std::copy(ab.begin(), ab.begin() + n * 2, ab.begin() + n * 2);
        for (uint32_t i = 0; i < n * 2; i++) bb[i] = uint8_t(i), bb[n * 2 + i] = uint8_t(0xFF - i);
        Vl a = toVlong(ab), b = toVlong(bb), p = toVlong({});
        Bn ea = toBn(ab), eb = toBn(bb), ep(BN_new());
        ASSERT_EQ(OK, VLONG_multiply(p.get(), a.get(), b.get()));
        BN_mul(ep.get(), ea.get(), eb.get(), ctx.get());
        EXPECT_SAME(p.get(), ep.get());
        ASSERT_EQ(OK, VLONG_multiply(p.get(), b.get(), a.get()));
        EXPECT_SAME(p.get(), ep.get());
        ASSERT_EQ(OK, VLONG_multiply(p.get(), a.get(), a.get()));
        BN_sqr(ep.get(), ea.get(), ctx.get());
        EXPECT_SAME(p.get(), ep.get());
    }
}

TEST_F(VlongOracle, MultiplyLowKeepsExactBits) {
    for (uint32_t bits : {1u, 31u, 32u, 33u, 100u, 1024u, 2080u, 4000u}) {
        auto ab = randomBytes(40, 0), bb = randomBytes(70, 0);
        Vl a = toVlong(ab), b = toVlong(bb), p = toVlong({});
        ASSERT_EQ(OK, VLONG_multiplyLow(p.get(), a.get(), b.get(), bits));
        Bn ea = toBn(ab), eb = toBn(bb), ep(BN_new());
        BN_mul(ep.get(), ea.get(), eb.get(), ctx.get());
        BN_mask_bits(ep.get(), int(bits));
        EXPECT_SAME(p.get(), ep.get()) << bits;
    }
}

TEST_F(VlongOracle, DivideAndModulo) {
    for (uint32_t dn : {1u, 2u, 3u, 8u, 31u, 64u, 65u, 128u}) {
        for (uint32_t extra : {0u, 1u, 2u, 17u, 64u}) {
            for (int pattern = 0; pattern < 4; pattern++) {
                auto nb = randomBytes(dn + extra, pattern), db = randomBytes(dn, (pattern + 1) % 4);
                Vl n = toVlong(nb), d = toVlong(db), q = toVlong({}), r = toVlong({});
                ASSERT_EQ(OK, VLONG_divide(q.get(), n.get(), d.get(), r.get(), nullptr));
                Bn en = toBn(nb), ed = toBn(db), eq(BN_new()), er(BN_new());
                BN_div(eq.get(), er.get(), en.get(), ed.get(), ctx.get());
                EXPECT_SAME(q.get(), eq.get()) << dn << "+" << extra << " p" << pattern;
                EXPECT_SAME(r.get(), er.get()) << dn << "+" << extra << " p" << pattern;
                vlong* m = nullptr;
                ASSERT_EQ(OK, VLONG_modulo(n.get(), d.get(), &m, nullptr));
                EXPECT_SAME(m, er.get());
                VLONG_release(&m, nullptr);
            }
        }
    }
}

TEST_F(VlongOracle, DivideAddBackCases) {
    // The first digit estimate is one too large: Knuth's example family (also shifted left by
    // 5 and 10 bits), and the same at base 2^32 and at base 2^64.
    using V = std::vector<uint8_t>;
    const V knuth = {0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const V d12 = {0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const struct {
        V n, d;
        int shift;
    } cases[] = {
        {knuth, d12, 0},
        {knuth, d12, 5},
        {knuth, d12, 10},
        {{0x7f, 0xff, 0xff, 0xff, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, d12, 0},
        {{0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x80, 0, 0, 0, 0, 0, 0, 0,
          0,    0,    0,    0,    0,    0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0},
         {0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
         0},
    };
    for (const auto& c : cases) {
        Vl n = toVlong(c.n), d = toVlong(c.d), q = toVlong({}), r = toVlong({});
        VLONG_shiftLeft(n.get(), c.shift);
        ASSERT_EQ(OK, VLONG_divide(q.get(), n.get(), d.get(), r.get(), nullptr));
        Bn en = toBn(c.n), ed = toBn(c.d), eq(BN_new()), er(BN_new());
        BN_lshift(en.get(), en.get(), c.shift);
        BN_div(eq.get(), er.get(), en.get(), ed.get(), ctx.get());
        EXPECT_SAME(q.get(), eq.get()) << c.n.size() << " << " << c.shift;
        EXPECT_SAME(r.get(), er.get()) << c.n.size() << " << " << c.shift;
    }
}

TEST_F(VlongOracle, ModInverseOddAndEvenModuli) {
    int checked = 0;
    for (uint32_t units : {1u, 2u, 5u, 16u, 33u, 64u}) {
        for (int odd = 0; odd < 2; odd++) {
            for (int round = 0; round < 6; round++) {
                auto mb = randomBytes(units, 0);
                mb.back() = odd ? (mb.back() | 1) : (mb.back() & 0xFE);
                auto ab = randomBytes(units + 1, 0);
                Vl m = toVlong(mb), a = toVlong(ab);
                Bn em = toBn(mb), ea = toBn(ab), ei(BN_new());
                bool exists = BN_mod_inverse(ei.get(), ea.get(), em.get(), ctx.get()) != nullptr;
                vlong* inv = nullptr;
                MSTATUS status = VLONG_modInverse(a.get(), m.get(), &inv, nullptr);
                if (exists) {
                    ASSERT_EQ(OK, status);
                    EXPECT_SAME(inv, ei.get());
                    checked++;
                    VLONG_release(&inv, nullptr);
                } else {
                    EXPECT_NE(OK, status);
                    EXPECT_EQ(nullptr, inv);
                }
            }
        }
    }
    EXPECT_GT(checked, 20);
}

TEST_F(VlongOracle, PowerModManySizes) {
    // exponent lengths: public exponents, then long enough for the Montgomery path
    const uint32_t expUnits[] = {1, 2, 13, 14, 22, 64};
    for (uint32_t mu : {1u, 2u, 7u, 16u, 32u, 33u, 64u}) {
        for (uint32_t eu : expUnits) {
            for (int odd = 0; odd < 2; odd++) {
                auto mb = randomBytes(mu, 0);
                mb.back() = odd ? (mb.back() | 1) : (mb.back() & 0xFE);
                auto xb = randomBytes(mu + 1, 0), eb = randomBytes(eu, 0);
                Vl m = toVlong(mb), x = toVlong(xb), e = toVlong(eb);
                vlong* r = nullptr;
                vlong* queue = nullptr;
                ASSERT_EQ(OK, VLONG_powerMod(x.get(), e.get(), m.get(), &r, &queue));
                Bn em = toBn(mb), ex = toBn(xb), ee = toBn(eb), er(BN_new());
                BN_mod_exp(er.get(), ex.get(), ee.get(), em.get(), ctx.get());
                EXPECT_SAME(r, er.get()) << mu << " units, exponent " << eu << " odd " << odd;
                VLONG_release(&r, nullptr);
                VLONG_drainQueue(&queue);
            }
        }
    }
}

TEST_F(VlongOracle, MontgomeryPowerEveryWindowWidth) {
    // 10 bits: binary; 50: w 3; 100: w 4; 300: w 5; 700 and 1500: w 6
    for (uint32_t mu : {1u, 3u, 16u, 32u, 64u}) {
        auto mb = randomBytes(mu, 0);
        mb.back() |= 1;
        Vl m = toVlong(mb);
        MontContext* mont = nullptr;
        ASSERT_EQ(OK, MONT_setup(&mont, m.get(), nullptr));
        for (uint32_t bits : {1u, 2u, 10u, 23u, 24u, 50u, 79u, 80u, 100u, 239u, 240u, 300u, 671u,
                              672u, 700u, 1500u}) {
            auto eb = randomBytes((bits + 31) / 32, 0);
            Bn ee = toBn(eb);
            BN_mask_bits(ee.get(), int(bits));
            BN_set_bit(ee.get(), int(bits - 1));
            std::vector<uint8_t> ebytes = bnBytes(ee.get());
            auto xb = randomBytes(mu, 0);
            Vl e = toVlong(ebytes), x = toVlong(xb);
            if (VLONG_compare(x.get(), m.get()) >= 0) VLONG_shiftRight(x.get(), 1);
            vlong* r = nullptr;
            ASSERT_EQ(OK, MONT_power(mont, x.get(), e.get(), &r, nullptr));
            Bn em = toBn(mb), ex = toBn(vlongBytes(x.get())), er(BN_new());
            BN_mod_exp(er.get(), ex.get(), ee.get(), em.get(), ctx.get());
            EXPECT_SAME(r, er.get()) << mu << " units, " << bits << " exponent bits";
            VLONG_release(&r, nullptr);
        }
        MONT_dispose(&mont, nullptr);
    }
}

TEST_F(VlongOracle, BarrettMulMod) {
    for (uint32_t mu : {1u, 2u, 8u, 16u, 64u, 65u, 128u}) {
        for (int pattern = 0; pattern < 4; pattern++) {
            auto mb = randomBytes(mu, pattern == 1 ? 0 : pattern);
            Vl m = toVlong(mb);
            vlong* mu_ = nullptr;
            ASSERT_EQ(OK, BARRETT_setup(&mu_, m.get(), nullptr));
            Vl muv(mu_);
            Bn em = toBn(mb);
            for (int round = 0; round < 4; round++) {
                auto ab = randomBytes(mu, round == 0 ? 1 : 0), bb = randomBytes(mu, 0);
                Bn ea = toBn(ab), eb = toBn(bb), er(BN_new());
                BN_mod(ea.get(), ea.get(), em.get(), ctx.get());
                BN_mod(eb.get(), eb.get(), em.get(), ctx.get());
                Vl a = toVlong(bnBytes(ea.get())), b = toVlong(bnBytes(eb.get()));
                Vl r = toVlong({});
                ASSERT_EQ(OK,
                          BARRETT_mulMod(r.get(), a.get(), b.get(), m.get(), muv.get(), nullptr));
                BN_mod_mul(er.get(), ea.get(), eb.get(), em.get(), ctx.get());
                EXPECT_SAME(r.get(), er.get()) << mu << " units";
                // result in place of an operand
                ASSERT_EQ(OK,
                          BARRETT_mulMod(a.get(), a.get(), a.get(), m.get(), muv.get(), nullptr));
                BN_mod_sqr(er.get(), ea.get(), em.get(), ctx.get());
                EXPECT_SAME(a.get(), er.get());
            }
        }
    }
}

TEST_F(VlongOracle, SignedAddSubtractAndShifts) {
    for (int round = 0; round < 200; round++) {
        auto ab = randomBytes(1 + g_rng() % 9, int(g_rng() % 4)),
             bb = randomBytes(1 + g_rng() % 9, int(g_rng() % 4));
        bool an = g_rng() & 1, bn = g_rng() & 1;
        Vl a = toVlong(ab), b = toVlong(bb);
        a->negative = an;
        b->negative = bn;
        Bn ea = toBn(ab), eb = toBn(bb), er(BN_new());
        BN_set_negative(ea.get(), an);
        BN_set_negative(eb.get(), bn);
        vlong* sum = nullptr;
        ASSERT_EQ(OK, VLONG_duplicate(a.get(), &sum, nullptr));
        Vl s(sum);
        ASSERT_EQ(OK, VLONG_add(s.get(), b.get(), nullptr));
        BN_add(er.get(), ea.get(), eb.get());
        EXPECT_SAME(s.get(), er.get());
        EXPECT_EQ(BN_is_negative(er.get()) ? 1u : 0u, s->negative);
        ASSERT_EQ(OK, VLONG_copySigned(s.get(), a.get()));
        ASSERT_EQ(OK, VLONG_subtract(s.get(), b.get(), nullptr));
        BN_sub(er.get(), ea.get(), eb.get());
        EXPECT_SAME(s.get(), er.get());
        EXPECT_EQ(BN_is_negative(er.get()) ? 1u : 0u, s->negative);
        uint32_t shift = g_rng() % 100;
        ASSERT_EQ(OK, VLONG_shiftLeft(a.get(), shift));
        BN_lshift(er.get(), ea.get(), int(shift));
        EXPECT_SAME(a.get(), er.get());
        ASSERT_EQ(OK, VLONG_shiftRight(a.get(), shift + 7));
        BN_rshift(er.get(), er.get(), int(shift + 7));
        EXPECT_SAME(a.get(), er.get());
    }
}

} // namespace
