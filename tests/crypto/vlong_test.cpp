// vlong records, conversions and arithmetic: the known answers of tests/data/crypto/vlong.txt
// and the limits and edge cases around them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/vlong/vlong.h"
#include "tests/common/rows.h"
#include "tests/common/vlong_bytes.h"

namespace {

using namespace testutil;

struct Held {
    vlong* v = nullptr;
    explicit Held(const Bytes& b = {}) {
        static const uint8_t none = 0;
        EXPECT_EQ(
            OK, VLONG_fromByteString(b.empty() ? &none : b.data(), int32_t(b.size()), &v, nullptr));
    }
    ~Held() {
        if (v) VLONG_release(&v, nullptr);
    }
};

class VlongKnownAnswer : public testing::TestWithParam<Row> {};

// One operation of the table; the last field is the expected result or, as '!n', its status.
TEST_P(VlongKnownAnswer, Row) {
    const Row& r = GetParam();
    SCOPED_TRACE(r.where);
    const std::string& op = r[0];
    const size_t at = op == "div" ? 4 : r.f.size() - 1; // div: quotient, then remainder
    const std::string& want = r[at];
    Held a(r.hex(2)), b(r.hex(3)), out;
    vlong* res = nullptr;
    MSTATUS status = OK;
    if (op == "mul") {
        status = VLONG_multiply(out.v, a.v, b.v);
    } else if (op == "mullow") {
        status = VLONG_multiplyLow(out.v, a.v, b.v, uint32_t(r.num(4)));
    } else if (op == "div") {
        Held rem;
        status = VLONG_divide(out.v, a.v, b.v, rem.v, nullptr);
        if (status == OK) {
            EXPECT_BYTES(r.hex(5), vlongBytes(rem.v));
        }
    } else if (op == "pow") {
        Held m(r.hex(4));
        vlong* queue = nullptr;
        status = VLONG_powerMod(a.v, b.v, m.v, &res, &queue);
        VLONG_drainQueue(&queue);
    } else if (op == "inv") {
        status = VLONG_modInverse(a.v, b.v, &res, nullptr);
    } else if (op == "barrett") {
        ASSERT_EQ(OK, BARRETT_setup(&res, b.v, nullptr));
        status = BARRETT_mulMod(out.v, a.v, a.v, b.v, res, nullptr);
        VLONG_release(&res, nullptr);
    } else {
        FAIL() << "unknown operation " << op;
    }
    if (want[0] == '!') {
        EXPECT_EQ(std::stol(want.substr(1)), status);
        EXPECT_EQ(nullptr, res);
    } else {
        ASSERT_EQ(OK, status);
        EXPECT_BYTES(r.hex(at), vlongBytes(res ? res : out.v));
    }
    if (res) VLONG_release(&res, nullptr);
}
INSTANTIATE_TEST_SUITE_P(Table, VlongKnownAnswer, testing::ValuesIn(rows("crypto/vlong.txt")),
                         rowName);

// Signs of the products, quotients and remainders of the table's operands, and the setups
// that refuse a modulus.
TEST(VlongArithmetic, SignsAndRefusedModuli) {
    const std::vector<Row> t = rows("crypto/vlong.txt", "div");
    Held a(t[0].hex(3)), c(t[0].hex(2)), zero;
    vlong* p = nullptr;
    a.v->negative = 1;
    ASSERT_EQ(OK, VLONG_multiplySigned(a.v, c.v, &p, nullptr));
    EXPECT_EQ(1u, p->negative);
    VLONG_release(&p, nullptr);
    a.v->negative = 0;
    c.v->negative = 1;
    ASSERT_EQ(OK, VLONG_modulo(c.v, a.v, &p, nullptr));
    EXPECT_EQ(1u, p->negative);
    EXPECT_BYTES(t[0].hex(5), vlongBytes(p));
    VLONG_release(&p, nullptr);
    ASSERT_EQ(OK, VLONG_quotient(c.v, a.v, &p, nullptr));
    EXPECT_EQ(1u, p->negative);
    VLONG_release(&p, nullptr);
    MontContext* ctx = nullptr;
    Held even(rows("crypto/vlong.txt", "pow")[1].hex(4));
    EXPECT_EQ(ERR_INVALID_ARG, MONT_setup(&ctx, even.v, nullptr));
    EXPECT_EQ(nullptr, ctx);
    EXPECT_EQ(ERR_DIVIDE_BY_ZERO, BARRETT_setup(&p, zero.v, nullptr));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(ERR_NULL_POINTER, VLONG_powerMod(nullptr, a.v, a.v, &p, nullptr));
}

std::vector<uint32_t> g_scrubbed;
void recordScrub(const uint32_t* units, uint32_t count) {
    g_scrubbed.assign(units, units + count);
}

TEST(VlongRecords, QueueReusesRecordsAndReleaseScrubs) {
    vlong *queue = nullptr, *a = nullptr, *b = nullptr, *c = nullptr;
    ASSERT_EQ(OK, VLONG_fromUnsigned(0x12345678, &a, &queue));
    ASSERT_EQ(OK, VLONG_setUnit(a, 3, 9));
    uint32_t* units = a->units;
    vlong* record = a;
    ASSERT_EQ(OK, VLONG_release(&a, &queue));
    EXPECT_EQ(nullptr, a);
    EXPECT_EQ(record, queue);
    ASSERT_EQ(OK, VLONG_alloc(&b, &queue));
    EXPECT_EQ(record, b); // taken back from the queue, with its array, as zero
    EXPECT_EQ(units, b->units);
    EXPECT_EQ(0u, b->used);
    EXPECT_EQ(nullptr, queue);
    ASSERT_EQ(OK, VLONG_release(&b, &queue));
    EXPECT_EQ(OK, VLONG_drainQueue(&queue));
    EXPECT_EQ(nullptr, queue);
    EXPECT_EQ(OK, VLONG_drainQueue(nullptr));
    ASSERT_EQ(OK, VLONG_fromUnsigned(0xCAFEBABE, &c, nullptr));
    const uint32_t allocated = c->allocated;
    g_vlongScrubHook = recordScrub;
    ASSERT_EQ(OK, VLONG_release(&c, nullptr));
    g_vlongScrubHook = nullptr;
    EXPECT_EQ(std::vector<uint32_t>(allocated, 0x00000067u), g_scrubbed);
    EXPECT_EQ(ERR_NULL_POINTER, VLONG_release(nullptr, nullptr));
    EXPECT_EQ(ERR_NULL_POINTER, VLONG_release(&c, nullptr));
    EXPECT_EQ(ERR_NULL_POINTER, VLONG_alloc(nullptr, nullptr));
}

TEST(VlongRecords, SizesAreCheckedAgainstTheLimit) {
    Held h, p, g;
    EXPECT_EQ(ERR_BAD_LENGTH, VLONG_reserve(h.v, VLONG_MAX_UNITS + 1));
    EXPECT_EQ(ERR_BAD_LENGTH, VLONG_grow(h.v, VLONG_MAX_UNITS + 1));
    EXPECT_EQ(ERR_BAD_LENGTH, VLONG_setUnit(h.v, VLONG_MAX_UNITS, 1));
    EXPECT_EQ(ERR_BAD_LENGTH, VLONG_setBit(h.v, 32 * VLONG_MAX_UNITS));
    ASSERT_EQ(OK, VLONG_setBit(h.v, 32 * VLONG_MAX_UNITS - 1));
    EXPECT_EQ(VLONG_MAX_UNITS, h.v->used);
    EXPECT_EQ(ERR_BAD_LENGTH, VLONG_shiftLeft(h.v, 1));
    EXPECT_EQ(ERR_BAD_LENGTH, VLONG_addMagnitude(h.v, h.v));
    EXPECT_EQ(VLONG_MAX_UNITS * 32, VLONG_bitLength(h.v)); // unchanged
    EXPECT_EQ(ERR_BAD_LENGTH, VLONG_multiply(p.v, h.v, h.v));
    // growing keeps the value; storing zero at the top renormalises
    ASSERT_EQ(OK, VLONG_setUnit(g.v, 0, 7));
    ASSERT_EQ(OK, VLONG_setUnit(g.v, 5, 1));
    EXPECT_EQ(6u, g.v->used);
    EXPECT_EQ(7u, g.v->units[0]);
    EXPECT_EQ(0u, g.v->units[4]);
    ASSERT_EQ(OK, VLONG_setUnit(g.v, 5, 0));
    EXPECT_EQ(1u, g.v->used);
}

TEST(VlongConversion, ByteStrings) {
    Held a({0, 0, 1}), b({1, 2, 3, 4, 5});
    EXPECT_EQ(1u, a.v->used);
    EXPECT_EQ(1u, a.v->units[0]);
    ASSERT_EQ(2u, b.v->used);
    EXPECT_EQ(0x02030405u, b.v->units[0]);
    EXPECT_EQ(0x01u, b.v->units[1]);
    vlong* none = nullptr;
    const Bytes big(32768, 0xAB);
    EXPECT_EQ(ERR_BAD_LENGTH, VLONG_fromByteString(big.data(), -1, &none, nullptr));
    EXPECT_EQ(ERR_BAD_LENGTH, VLONG_fromByteString(big.data(), 32768, &none, nullptr));
    EXPECT_EQ(ERR_NULL_POINTER, VLONG_fromByteString(nullptr, 4, &none, nullptr));
    EXPECT_EQ(nullptr, none);
    Held most(Bytes(big.begin() + 1, big.end()));
    EXPECT_EQ(8192u, most.v->used);
    EXPECT_EQ(0x00ABABABu, most.v->units[8191]);

    Bytes bytes(255, 0x5C);
    bytes[0] = 0x80; // 2040 bits into 256 bytes: one leading zero
    Held c(bytes), zero;
    Bytes out(256, 0xEE);
    int32_t size = 256;
    ASSERT_EQ(OK, VLONG_byteStringFromVlong(c.v, out.data(), &size));
    EXPECT_EQ(256, size);
    EXPECT_BYTES(cat({{0}, bytes}), out);
    bytes.insert(bytes.begin(), 0xFF);
    Held d(bytes);
    size = 255;
    EXPECT_EQ(ERR_BUFFER_OVERFLOW, VLONG_byteStringFromVlong(d.v, out.data(), &size));
    EXPECT_EQ(255, size);
    size = -3;
    EXPECT_EQ(ERR_BUFFER_OVERFLOW, VLONG_byteStringFromVlong(d.v, out.data(), &size));
    EXPECT_EQ(0u, vlongBytes(zero.v).size());
    size = 8;
    ASSERT_EQ(OK, VLONG_byteStringFromVlong(zero.v, out.data(), &size));
    EXPECT_BYTES(Bytes(8, 0), Bytes(out.begin(), out.begin() + 8));
    EXPECT_EQ(ERR_NULL_POINTER, VLONG_byteStringFromVlong(nullptr, out.data(), &size));
}

TEST(VlongArithmetic, CompareBitsShiftsAndSignedSteps) {
    Held a(unhex("0100000000")), b(unhex("ffffffff")), c({5}), d({7});
    EXPECT_EQ(33u, VLONG_bitLength(a.v));
    EXPECT_EQ(1, VLONG_compare(a.v, b.v));
    a.v->negative = b.v->negative = 1;
    EXPECT_EQ(-1, VLONG_compare(a.v, b.v));
    EXPECT_EQ(1, VLONG_compareMagnitude(a.v, b.v));
    EXPECT_EQ(-1, VLONG_compareUnsigned(a.v, 0));
    a.v->negative = 0;
    EXPECT_EQ(1, VLONG_testBit(a.v, 32));
    EXPECT_EQ(0, VLONG_testBit(a.v, 31));
    EXPECT_EQ(0, VLONG_testBit(a.v, 5000));
    ASSERT_EQ(OK, VLONG_shiftRight(a.v, 32));
    EXPECT_EQ(0, VLONG_compareUnsigned(a.v, 1));
    ASSERT_EQ(OK, VLONG_shiftLeft(a.v, 95));
    EXPECT_EQ(96u, VLONG_bitLength(a.v));
    ASSERT_EQ(OK, VLONG_shiftRight(a.v, 96));
    EXPECT_EQ(0u, a.v->used);
    ASSERT_EQ(OK, VLONG_subtract(c.v, d.v, nullptr)); // signed steps across zero
    EXPECT_EQ(1u, c.v->negative);
    EXPECT_EQ(2u, c.v->units[0]);
    ASSERT_EQ(OK, VLONG_addUnsigned(c.v, 2, nullptr));
    EXPECT_EQ(0u, c.v->used);
    EXPECT_EQ(0u, c.v->negative);
    ASSERT_EQ(OK, VLONG_decrement(c.v, nullptr));
    EXPECT_EQ(1u, c.v->negative);
    ASSERT_EQ(OK, VLONG_increment(c.v, nullptr));
    ASSERT_EQ(OK, VLONG_increment(c.v, nullptr));
    EXPECT_EQ(0, VLONG_compareUnsigned(c.v, 1));
}

} // namespace
