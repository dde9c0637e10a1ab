// RSA key records, the public operation and signature decoding on fixed vectors (tests/data/rsa):
// signature blocks that each break one rule of the padding or the DigestInfo, made with the private
// key's raw operation, and signatures of other sizes and hashes made with independent tools.
// A row: name, status of RSA_extractDigest, hash identifier and digest ("-": none), signature,
// under the modulus of the last "key" row before it (e = 65537).
#include <gtest/gtest.h>

#include <string>

#include "crypto/vlong/rsa.h"
#include "tests/common/rows.h"

namespace {

using namespace testutil;

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
    for (const char* file : {"rsa/blocks.txt", "rsa/vectors.txt"}) {
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
    EXPECT_EQ(22u, count);
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
