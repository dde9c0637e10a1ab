// vlong records, conversions and arithmetic: the known answers of tests/data/crypto/vlong.txt
// (signed operations and a zero marked negative among them) and the limits around them.
// RSA key records, the public operation and signature decoding on fixed vectors (tests/data/rsa):
// signature blocks that each break one rule of the padding or the DigestInfo, good blocks for
// every digest identifier under every test key, made with the private key's raw operation, and
// signatures of other sizes and hashes made with independent tools. A row: name, status of
// RSA_extractDigest, hash identifier and digest ("-": none), signature, under the modulus of the
// last "key" row before it (e = 65537).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/vlong/rsa.h"
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

// A number of the table: hex, '-' zero; a leading '-' marks it negative ("-00": a negative zero).
Bytes magnitude(const std::string& s) {
    return s == "-" ? Bytes() : unhex(s.substr(s[0] == '-'));
}
bool negative(const std::string& s) {
    return s.size() > 1 && s[0] == '-';
}

class VlongKnownAnswer : public testing::TestWithParam<Row> {};

// One operation of the table; the last field is the expected result or, as '!n', its status.
TEST_P(VlongKnownAnswer, Row) {
    const Row& r = GetParam();
    SCOPED_TRACE(r.where);
    const std::string& op = r[0];
    const size_t at = op == "div" ? 4 : r.f.size() - 1; // div: quotient, then remainder
    const std::string& want = r[at];
    Held a(magnitude(r[2])), b(magnitude(r[3])), out;
    a.v->negative = negative(r[2]);
    b.v->negative = negative(r[3]);
    const bool counted = op == "shl" || op == "shr" || op == "addw" || op == "cmpw" || op == "bit";
    const uint32_t n = counted ? uint32_t(r.num(3)) : 0; // a bit count, bit or word
    vlong* res = nullptr;
    MSTATUS status = OK;
    if (op == "cmp") {
        EXPECT_EQ(r.num(4), VLONG_compare(a.v, b.v));
        EXPECT_EQ(r.num(5), VLONG_compareMagnitude(a.v, b.v));
        return;
    } else if (op == "cmpw" || op == "bit" || op == "bits") {
        EXPECT_EQ(r.num(4), op == "bits"  ? int(VLONG_bitLength(a.v))
                            : op == "bit" ? VLONG_testBit(a.v, n)
                                          : VLONG_compareUnsigned(a.v, n));
        return;
    } else if (op == "mul") {
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
    } else if (op == "smul" || op == "mod" || op == "quot") {
        status = (op == "smul"  ? VLONG_multiplySigned
                  : op == "mod" ? VLONG_modulo
                                : VLONG_quotient)(a.v, b.v, &res, nullptr);
    } else {
        // Signed steps on a copy of the first operand.
        ASSERT_EQ(OK, VLONG_copySigned(out.v, a.v));
        if (op == "add" || op == "sub")
            status = (op == "add" ? VLONG_add : VLONG_subtract)(out.v, b.v, nullptr);
        else if (op == "shl")
            status = VLONG_shiftLeft(out.v, n);
        else if (op == "shr")
            status = VLONG_shiftRight(out.v, n);
        else if (op == "addw")
            status = VLONG_addUnsigned(out.v, n, nullptr);
        else if (op == "inc")
            status = VLONG_increment(out.v, nullptr);
        else if (op == "dec")
            status = VLONG_decrement(out.v, nullptr);
        else if (op != "copy")
            FAIL() << "unknown operation " << op;
    }
    if (want[0] == '!') {
        EXPECT_EQ(std::stol(want.substr(1)), status);
        EXPECT_EQ(nullptr, res);
    } else {
        ASSERT_EQ(OK, status);
        EXPECT_BYTES(magnitude(want), vlongBytes(res ? res : out.v));
        EXPECT_EQ(negative(want), (res ? res : out.v)->negative != 0);
    }
    if (res) VLONG_release(&res, nullptr);
}
INSTANTIATE_TEST_SUITE_P(Table, VlongKnownAnswer, testing::ValuesIn(rows("crypto/vlong.txt")),
                         rowName);

// The setups that refuse a modulus.
TEST(VlongArithmetic, RefusedModuli) {
    Held even(rows("crypto/vlong.txt", "pow")[1].hex(4)), zero;
    MontContext* ctx = nullptr;
    vlong* p = nullptr;
    EXPECT_EQ(ERR_INVALID_ARG, MONT_setup(&ctx, even.v, nullptr));
    EXPECT_EQ(nullptr, ctx);
    EXPECT_EQ(ERR_DIVIDE_BY_ZERO, BARRETT_setup(&p, zero.v, nullptr));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(ERR_NULL_POINTER, VLONG_powerMod(nullptr, even.v, even.v, &p, nullptr));
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

struct Key {
    RsaKey* key = nullptr;
    explicit Key(const Bytes& n) {
        EXPECT_EQ(OK, RSA_newKey(&key));
        EXPECT_EQ(OK, RSA_loadPublicKey(key, 65537, n.data(), uint32_t(n.size()), nullptr));
    }
    ~Key() {
        if (key) RSA_disposeKey(&key, nullptr);
    }
};

// The signature rows of a file, each with the modulus in front of its fields.
std::vector<Row> signatures(const std::string& file) {
    std::vector<Row> out;
    std::string modulus;
    for (Row r : rows(file)) {
        if (r[0] == "key") {
            modulus = r[1];
            continue;
        }
        r.f.insert(r.f.begin(), modulus);
        out.push_back(r);
    }
    return out;
}
Row signature(const char* name) {
    for (const Row& r : signatures("rsa/blocks.txt"))
        if (r[1] == name) return r;
    ADD_FAILURE() << "no row " << name;
    return Row();
}

MSTATUS extract(const RsaKey* key, const Bytes& sig, Bytes* digest = nullptr,
                int32_t* id = nullptr) {
    uint8_t out[64];
    uint32_t length = 0;
    int32_t none = 0;
    const MSTATUS s =
        RSA_extractDigest(key, sig.data(), uint32_t(sig.size()), out, &length, id ? id : &none);
    if (digest && s == OK) digest->assign(out, out + length);
    return s;
}

// On failure the identifier is left as it was.
TEST(RsaSignature, EveryRuleOfTheBlockAndTheDigestInfo) {
    size_t count = 0;
    for (const char* file : {"rsa/blocks.txt", "rsa/vectors.txt", "rsa/every_hash.txt"}) {
        for (const Row& r : signatures(file)) {
            SCOPED_TRACE(r.where + " " + r[1]);
            Key k(r.hex(0));
            Bytes digest;
            int32_t id = 0;
            EXPECT_EQ(r.num(2), extract(k.key, r.hex(5), &digest, &id));
            EXPECT_EQ(r[3] == "-" ? 0 : r.num(3), id);
            EXPECT_BYTES(r.hex(4), digest);
            count++;
        }
    }
    EXPECT_EQ(22u + 54u, count);
}

TEST(RsaSignature, FailedDecryptLeavesNothingBehindAndKeyLimits) {
    const Row fe = signature("fe-in-padding"), good = signature("good");
    Key k(fe.hex(0));
    Bytes out(256, 0xAA);
    uint32_t length = 77;
    EXPECT_EQ(ERR_RSA_BAD_PADDING,
              RSA_publicDecrypt(k.key, fe.hex(5).data(), out.data(), &length, nullptr));
    EXPECT_EQ(77u, length);
    EXPECT_EQ(Bytes(256, 0), out);

    // an exponent of two units, 2^32 + 1, or none
    const uint8_t twoUnits[] = {0x01, 0x00, 0x00, 0x00, 0x01};
    VLONG_release(&k.key->e, nullptr);
    ASSERT_EQ(OK, VLONG_fromByteString(twoUnits, 5, &k.key->e, nullptr));
    EXPECT_EQ(ERR_RSA_BAD_EXPONENT, extract(k.key, good.hex(5)));
    VLONG_release(&k.key->e, nullptr);
    EXPECT_EQ(ERR_RSA_BAD_EXPONENT,
              RSA_publicDecrypt(k.key, good.hex(5).data(), out.data(), &length, nullptr));

    // a 4097-bit modulus
    Bytes modulus(513, 0xC5);
    modulus[0] = 0x01;
    Key big(modulus);
    Bytes input(513, 0x00), output(513);
    EXPECT_EQ(ERR_RSA_MODULUS_TOO_LONG,
              RSA_publicDecrypt(big.key, input.data(), output.data(), &length, nullptr));
    EXPECT_EQ(ERR_RSA_MODULUS_TOO_LONG, extract(big.key, input));

    // no key, or one without modulus
    EXPECT_EQ(ERR_RSA_NO_KEY,
              RSA_publicDecrypt(nullptr, input.data(), out.data(), &length, nullptr));
    RsaKey* empty = nullptr;
    ASSERT_EQ(OK, RSA_newKey(&empty));
    int32_t size = 0;
    EXPECT_EQ(ERR_NULL_POINTER, RSA_getModulusLength(empty, &size));
    EXPECT_EQ(ERR_NULL_POINTER, extract(empty, good.hex(5)));
    EXPECT_EQ(OK, RSA_disposeKey(&empty, nullptr));
    EXPECT_EQ(nullptr, empty);
}

TEST(RsaKeyRecord, LoadingPublicKeys) {
    Key k(signature("good").hex(0));
    int32_t size = 0;
    ASSERT_EQ(OK, RSA_getModulusLength(k.key, &size));
    EXPECT_EQ(256, size);
    EXPECT_EQ(0u, k.key->privateKey);
    EXPECT_EQ(0, VLONG_compareUnsigned(k.key->e, 65537));

    const uint8_t n[] = {0x0C, 0xA1};
    EXPECT_EQ(ERR_RSA_NO_KEY, RSA_loadPublicKey(nullptr, 3, n, 2, nullptr));
    EXPECT_EQ(ERR_BAD_EXPONENT, RSA_loadPublicKey(k.key, 1, n, 2, nullptr));
    EXPECT_EQ(ERR_NULL_POINTER, RSA_loadPublicKey(k.key, 3, nullptr, 2, nullptr));
    ASSERT_EQ(OK, RSA_getModulusLength(k.key, &size)); // still the old key
    EXPECT_EQ(256, size);

    vlong* queue = nullptr;
    ASSERT_EQ(OK, RSA_loadPublicKey(k.key, 3, n, 2, &queue));
    ASSERT_EQ(OK, RSA_getModulusLength(k.key, &size));
    EXPECT_EQ(2, size);
    EXPECT_EQ(0, VLONG_compareUnsigned(k.key->e, 3));
    EXPECT_EQ(OK, VLONG_drainQueue(&queue));
}

TEST(RsaKeyRecord, CompletingPrivateKeys) {
    // p = 61, q = 53, n = 3233, e = 17, given with the smaller prime first
    RsaKey* key = nullptr;
    ASSERT_EQ(OK, RSA_newKey(&key));
    const uint8_t n[] = {0x0C, 0xA1}, p[] = {53}, q[] = {61};
    ASSERT_EQ(OK, RSA_loadPrivateKey(key, 17, n, 2, p, 1, q, 1, nullptr));
    EXPECT_EQ(1u, key->privateKey);
    EXPECT_EQ(0, VLONG_compareUnsigned(key->p, 61));
    EXPECT_EQ(0, VLONG_compareUnsigned(key->q, 53));
    EXPECT_EQ(0, VLONG_compareUnsigned(key->dP, 53));   // 17^-1 mod 60
    EXPECT_EQ(0, VLONG_compareUnsigned(key->dQ, 49));   // 17^-1 mod 52
    EXPECT_EQ(0, VLONG_compareUnsigned(key->qInv, 38)); // 53^-1 mod 61
    ASSERT_NE(nullptr, key->montP);
    ASSERT_NE(nullptr, key->montQ);
    EXPECT_EQ(6u, key->montP->r);
    // loading a public key over it drops the private part
    ASSERT_EQ(OK, RSA_loadPublicKey(key, 17, n, 2, nullptr));
    EXPECT_EQ(0u, key->privateKey);
    EXPECT_EQ(nullptr, key->p);
    EXPECT_EQ(nullptr, key->montP);
    EXPECT_EQ(OK, RSA_completePrivateKey(key, nullptr));
    EXPECT_EQ(OK, RSA_disposeKey(&key, nullptr));
}

} // namespace
