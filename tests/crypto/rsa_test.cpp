// RSA key records, the public operation and signature decoding on fixed
// vectors (tests/data/rsa): signature blocks that each break one rule of the
// padding or the DigestInfo, made with the private key's raw operation, and
// signatures of other sizes and hashes made with independent tools.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "crypto/vlong/rsa.h"
#include "tests/common/data.h"

namespace {

using testutil::Bytes;
using testutil::unhex;

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

// A row of a signature table: the modulus of the last "key" line before it (e = 65537), the
// status RSA_extractDigest gives, and the hash identifier and digest it yields ("-": none).
struct Row {
    std::string name;
    Bytes modulus;
    MSTATUS status = OK;
    int32_t id = 0;
    Bytes digest, signature;
};

std::vector<Row> table(const std::string& file) {
    const Bytes text = testutil::dataFile(file);
    std::istringstream in(std::string(text.begin(), text.end()));
    std::vector<Row> rows;
    Bytes modulus;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        Row r;
        std::string id, digest, signature;
        if (!(words >> r.name) || r.name[0] == '#') continue;
        if (r.name == "key" && words >> signature) {
            modulus = unhex(signature);
            continue;
        }
        EXPECT_TRUE(words >> r.status >> id >> digest >> signature) << line;
        r.modulus = modulus;
        r.id = id == "-" ? 0 : std::stoi(id);
        r.digest = digest == "-" ? Bytes() : unhex(digest);
        r.signature = unhex(signature);
        rows.push_back(r);
    }
    return rows;
}

Row row(const char* name) {
    for (const Row& r : table("rsa/blocks.txt"))
        if (r.name == name) return r;
    ADD_FAILURE() << "no row " << name;
    return Row();
}

struct Result {
    MSTATUS status;
    Bytes digest;
    int32_t id;
};

Result extract(const RsaKey* key, const Bytes& signature) {
    uint8_t digest[64];
    uint32_t length = 0;
    int32_t id = 0;
    Result r{
        RSA_extractDigest(key, signature.data(), uint32_t(signature.size()), digest, &length, &id),
        {},
        id};
    if (r.status == OK) r.digest.assign(digest, digest + length);
    return r;
}

// Each row breaks one rule of the block (00 01, at least eight 0xFF, the 00 separator, s < n)
// or of the DigestInfo (exact DER, a known algorithm and its digest length); on failure the
// identifier is left as it was.
TEST(RsaSignature, EveryRuleOfTheBlockAndTheDigestInfo) {
    size_t count = 0;
    for (const char* file : {"rsa/blocks.txt", "rsa/vectors.txt"}) {
        for (const Row& r : table(file)) {
            SCOPED_TRACE(r.name);
            Key k(r.modulus);
            Result result = extract(k.key, r.signature);
            EXPECT_EQ(r.status, result.status);
            EXPECT_EQ(r.id, result.id);
            EXPECT_EQ(r.digest, result.digest);
            count++;
        }
    }
    EXPECT_EQ(22u, count);
}

TEST(RsaSignature, FailedDecryptLeavesNothingBehind) {
    const Row fe = row("fe-in-padding");
    Key k(fe.modulus);
    Bytes out(256, 0xAA);
    uint32_t length = 77;
    EXPECT_EQ(ERR_RSA_BAD_PADDING,
              RSA_publicDecrypt(k.key, fe.signature.data(), out.data(), &length, nullptr));
    EXPECT_EQ(77u, length);
    EXPECT_EQ(Bytes(256, 0), out);
}

TEST(RsaSignature, KeyLimits) {
    const Row good = row("good");
    Key k(good.modulus);
    // an exponent of two units: 2^32 + 1
    const uint8_t twoUnits[] = {0x01, 0x00, 0x00, 0x00, 0x01};
    VLONG_release(&k.key->e, nullptr);
    ASSERT_EQ(OK, VLONG_fromByteString(twoUnits, 5, &k.key->e, nullptr));
    EXPECT_EQ(ERR_RSA_BAD_EXPONENT, extract(k.key, good.signature).status);
    Bytes out(256);
    uint32_t length = 0;
    VLONG_release(&k.key->e, nullptr);
    EXPECT_EQ(ERR_RSA_BAD_EXPONENT,
              RSA_publicDecrypt(k.key, good.signature.data(), out.data(), &length, nullptr));

    // a 4097-bit modulus
    Bytes modulus(513, 0xC5);
    modulus[0] = 0x01;
    Key big(modulus);
    Bytes input(513, 0x00), output(513);
    EXPECT_EQ(ERR_RSA_MODULUS_TOO_LONG,
              RSA_publicDecrypt(big.key, input.data(), output.data(), &length, nullptr));
    EXPECT_EQ(ERR_RSA_MODULUS_TOO_LONG, extract(big.key, input).status);

    // no key, or one without modulus
    uint8_t digest[64];
    int32_t id = 0;
    EXPECT_EQ(ERR_RSA_NO_KEY, RSA_publicDecrypt(nullptr, input.data(), digest, &length, nullptr));
    RsaKey* empty = nullptr;
    ASSERT_EQ(OK, RSA_newKey(&empty));
    int32_t size = 0;
    EXPECT_EQ(ERR_NULL_POINTER, RSA_getModulusLength(empty, &size));
    EXPECT_EQ(ERR_NULL_POINTER,
              RSA_extractDigest(empty, good.signature.data(), 256, digest, &length, &id));
    EXPECT_EQ(OK, RSA_disposeKey(&empty, nullptr));
    EXPECT_EQ(nullptr, empty);
}

TEST(RsaKeyRecord, LoadingPublicKeys) {
    Key k(row("good").modulus);
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
