// Fuzz target: hostile signatures and hostile signature blocks against RSA_extractDigest.
//
// Input of exactly 256 bytes, or of any length outside the message range below, is taken as
// a signature for a fixed 2048-bit public key, and at 256 bytes also run through
// RSA_publicDecrypt. Input of 1 to 85 bytes is taken as the message of a well-padded block
// for a fixed 768-bit key, signed here with its private key (CRT), so that the DigestInfo
// decoding sees arbitrary bytes; a message that is accepted must then be a DER DigestInfo
// that ends with the returned digest.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "crypto/hash/hash.h"
#include "crypto/vlong/rsa.h"

namespace {

const char kModulus[] = "96a978912b82de98bab5973733be0155a44f7d48ca577fe55e88581b83f2c9bb"
                        "bcb0da36d6a91903000a159b72d8fbfda978956407d43083843b85e5718e8393"
                        "b0a2057c3a0af53b6ddd614b1accec03deac5f151fd5519e43bc21787df00dae"
                        "05a773156c69980fc3b3f668fd559f2a83d5348f635985542204444d67e037c3"
                        "102a2939c3c00eddc64c80400a77670abf264ef8a7c8c8b739f3ee656640c51a"
                        "504901fc55f8738a86c257f13eb6700abdf208ad9ae827c2f631ea8535509e0d"
                        "e248f8760e51cbaaea238d01413ddb892c2b2ce61b207e1a8e029d2bdb930c1c"
                        "69941e23dd7616868142aa9f6480bfb39bee3235c0e42570b3ab04ebce1cace9";

const char kSmallModulus[] = "d937d29bcf92fd499b0b545c567b6fbaa52b735db176ba56af5997c90324c216"
                             "79705d86fdbad6ed7a3c892b662b389e70f6fa3d66ad670c4b32d03348dd5645"
                             "7fe6b29623182d4fdb0c64eab2fe1bda5529e3c43db99e1d488902f7ac6adafb";
const char kSmallP[] = "f930d09358c3f7c06f1a14c9639801f83d753e02624bf14847a213328b31fa89"
                       "212bcd94738d7922b7c892ca4f72866f";
const char kSmallQ[] = "df2758d8aa73c9b5f1716306d9fb5e377c18983899699ddde6e61e30808ee2e6"
                       "2823c04323b6ade21723cc1d59ae5a35";

const uint32_t kModulusBytes = 256;
const uint32_t kSmallBytes = 96;
const uint32_t kMaxMessage = kSmallBytes - 11;

std::vector<uint8_t> fromHex(const char* hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) {
        char pair[3] = {hex[i], hex[i + 1], 0};
        out.push_back(uint8_t(strtoul(pair, nullptr, 16)));
    }
    return out;
}

struct Fixture {
    RsaKey* key = nullptr;
    RsaKey* small = nullptr;
};

Fixture& fixture() {
    static Fixture f = [] {
        Fixture x;
        std::vector<uint8_t> n = fromHex(kModulus), sn = fromHex(kSmallModulus),
                             p = fromHex(kSmallP), q = fromHex(kSmallQ);
        if (RSA_newKey(&x.key) != OK ||
            RSA_loadPublicKey(x.key, 65537, n.data(), uint32_t(n.size()), nullptr) != OK ||
            RSA_newKey(&x.small) != OK ||
            RSA_loadPrivateKey(x.small, 65537, sn.data(), uint32_t(sn.size()), p.data(),
                               uint32_t(p.size()), q.data(), uint32_t(q.size()), nullptr) != OK)
            abort();
        return x;
    }();
    return f;
}

#define CHECK(x)                                                                                   \
    do {                                                                                           \
        if ((x) != OK) abort();                                                                    \
    } while (0)

// s = c^d mod n by the Chinese remainder theorem with the key's p, q, dP, dQ and qInv.
std::vector<uint8_t> privateOperation(const RsaKey* key, const std::vector<uint8_t>& block) {
    vlong* queue = nullptr;
    vlong *c = nullptr, *m1 = nullptr, *m2 = nullptr, *h = nullptr, *t = nullptr, *hq = nullptr;
    CHECK(VLONG_fromByteString(block.data(), int32_t(block.size()), &c, &queue));
    CHECK(VLONG_powerMod(c, key->dP, key->p, &m1, &queue));
    CHECK(VLONG_powerMod(c, key->dQ, key->q, &m2, &queue));
    CHECK(VLONG_subtract(m1, m2, &queue));
    CHECK(VLONG_multiplySigned(m1, key->qInv, &t, &queue));
    CHECK(VLONG_modulo(t, key->p, &h, &queue));
    if (h->negative) CHECK(VLONG_add(h, key->p, &queue));
    CHECK(VLONG_multiplySigned(h, key->q, &hq, &queue));
    CHECK(VLONG_add(hq, m2, &queue));
    std::vector<uint8_t> out(block.size());
    int32_t length = int32_t(out.size());
    CHECK(VLONG_byteStringFromVlong(hq, out.data(), &length));
    for (vlong** v : {&c, &m1, &m2, &h, &t, &hq}) VLONG_release(v, &queue);
    VLONG_drainQueue(&queue);
    return out;
}

void checkAccepted(const uint8_t* message, size_t size, const uint8_t* digest, uint32_t length,
                   int32_t id) {
    uint32_t expected =
        id == int32_t(HASH_SHA256)                                                        ? 32
        : id == int32_t(HASH_SHA1)                                                        ? 20
        : id == int32_t(HASH_SHA384)                                                      ? 48
        : id == int32_t(HASH_SHA512)                                                      ? 64
        : id == int32_t(HASH_SHA224)                                                      ? 28
        : (id == int32_t(HASH_MD5) || id == int32_t(HASH_MD2) || id == int32_t(HASH_MD4)) ? 16
                                                                                          : 0;
    // SEQUENCE { SEQUENCE { OID, [NULL] }, OCTET STRING digest } and nothing else
    if (!expected || length != expected || size < length + 2 || message[0] != 0x30 ||
        message[1] != size - 2 || message[size - length - 2] != 0x04 ||
        message[size - length - 1] != length || memcmp(message + size - length, digest, length))
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fixture& f = fixture();
    uint8_t digest[64];
    uint32_t length = 0;
    int32_t id = 0;
    if (size == 0 || size > kMaxMessage) {
        MSTATUS status = RSA_extractDigest(f.key, data, uint32_t(size), digest, &length, &id);
        if (status == OK && (length > 64 || size != kModulusBytes)) abort();
        if (size == kModulusBytes) {
            std::vector<uint8_t> out(kModulusBytes);
            uint32_t outLength = 0;
            vlong* queue = nullptr;
            status = RSA_publicDecrypt(f.key, data, out.data(), &outLength, &queue);
            VLONG_drainQueue(&queue);
            if (status == OK && outLength > kModulusBytes - 11) abort();
        }
        return 0;
    }
    // 00 01 FF .. FF 00 message, signed with the small key
    std::vector<uint8_t> block(kSmallBytes, 0xFF);
    block[0] = 0x00;
    block[1] = 0x01;
    block[kSmallBytes - size - 1] = 0x00;
    memcpy(block.data() + kSmallBytes - size, data, size);
    std::vector<uint8_t> signature = privateOperation(f.small, block);
    MSTATUS status =
        RSA_extractDigest(f.small, signature.data(), kSmallBytes, digest, &length, &id);
    if (status == OK) checkAccepted(data, size, digest, length, id);
    return 0;
}
