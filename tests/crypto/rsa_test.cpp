// RSA key records, the public operation and signature decoding on fixed
// vectors: signatures made beforehand with independent tools. The other
// malformed padding and DigestInfo forms are built with the private keys in
// the oracle tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/hash/hash.h"
#include "crypto/vlong/rsa.h"
#include "tests/common/bytes.h"

namespace {

using testutil::unhex;

const char kModulus2048[] = "96a978912b82de98bab5973733be0155a44f7d48ca577fe55e88581b83f2c9bb"
                            "bcb0da36d6a91903000a159b72d8fbfda978956407d43083843b85e5718e8393"
                            "b0a2057c3a0af53b6ddd614b1accec03deac5f151fd5519e43bc21787df00dae"
                            "05a773156c69980fc3b3f668fd559f2a83d5348f635985542204444d67e037c3"
                            "102a2939c3c00eddc64c80400a77670abf264ef8a7c8c8b739f3ee656640c51a"
                            "504901fc55f8738a86c257f13eb6700abdf208ad9ae827c2f631ea8535509e0d"
                            "e248f8760e51cbaaea238d01413ddb892c2b2ce61b207e1a8e029d2bdb930c1c"
                            "69941e23dd7616868142aa9f6480bfb39bee3235c0e42570b3ab04ebce1cace9";

const char kSig2048Good[] = "8e2ea5f0483335dc0bf6ae60bd957adfc9cd546d35f61ba4ec763a21ecef4188"
                            "757db614a3969f4bdaca671f84ac670a2e0188160acf66cfc23d426feebbdbe2"
                            "c851757d93ca5248ca523ffa8c7db5f89226d86d47350495410d6f2714b24b1f"
                            "0e342ad1438a80aa4a958689a44024072c18164633192c31a4e7ffb31aeebdb8"
                            "4784c190bbc4cfe16f3fde778e216ad187e39c226da8625b20306d9b379e3be6"
                            "a0dbeddc14f06c5741376b70cd338ad1ed21aa6b33e7e55f4bf9d696e19fe17a"
                            "5348c8d04199ebf86f2fd743a2beb8651a99c891457bf1d117125f7dd741e347"
                            "abbfe231bec41ba68a08b66f1636a94466d862835bf6912d63c01de7328bbe4b";

const char kSig2048FeInPadding[] =
    "8b8d1020fb180e8e1a8d115dbd3c2161a557030ebd55a9ab3b2eb2c4f1758fd2"
    "4a2da0f18bd5e418c4eb1edaa3e2fb41a678390cbcee5f6051b74678c552676a"
    "50c184b4c0dce03a04f99b4bae3768c5fbbd4330ed6f7bd78941cecfc69d8a7b"
    "651832891dd5da1af9f661926952c63bcb9d4065950d372db3b9e4a91a801b05"
    "cec58b76bf28f5216c42542fa945a71427235895226e6a13f5c5161a929172a6"
    "c2c2d18e2d93114f2b90fa30d39615ffdaa3a734a751a59aef5644a77f05c19c"
    "1c79b565e6777c8f575ac7b16afad47743fa70415e6b8dfa267225ed2eea6415"
    "64815b7a413c0016ce74cbf3ae97da3ab15633b89aabdb0d06ce25292bb6ea5e";

const char kDigestAbc[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

const char kModulus1024[] = "ccfb810901fef7d342ae85454ba48ebdc99bb40204eb28da285ffc95e17af5ce"
                            "6521372f08afd2591cbdfe55fcdfbe25a4fbf5ed4b0076037a28141eaa94a871"
                            "f93baf7b790875e97c51f86813d9a896e8645c5be6c6d66500cb4d7477d8da78"
                            "ce8fda61b362d6abbbcdf666a4716347c03c7a6a90c5836ab8bdc514922cef3d";

const char kSig1024[] = "a2db7f03e9572d4a758721801e7b7118f203ba9f254c804e433fd55cd6f792e5"
                        "cc11474dee4f6920b484cebd83aa32d2505b29a3527f7094650d1ebb1634e0b4"
                        "cada1848c478b1fd3eeb26aeda342327817e2e550606d6ad8b1c32b8c53e72af"
                        "0acc7b18e5a063959591a16f201f9bfc8556899f74b3597bb5fdfb32ae58edae";

const char kDigest1024[] = "a9993e364706816aba3e25717850c26c9cd0d89d";

const char kModulus3072[] = "d01e96790dcf4d3fede260e9a7a5a647b2f2486a67ad43d430ee16b94aa7ce66"
                            "963270331ff7745bf52c13a9ee16a78fdc7d77fad932be3df57895ce9da8c7f4"
                            "e58f8e5d7a1482a7ee39003af5322f538828e5d72b20c9379cfe7bec7594cb08"
                            "d8416556afdae4fea5f050e3b57397c67b29c87b1b697a95a3ed46b369d201f2"
                            "8ec96c184d9651c7c1a93691156f862a64195e943b971fb2186c480683145b98"
                            "b47927f196599dd5bab4a28281b0c017bc0445d24baec89e287850fa485861ca"
                            "b22c757420b8269b11485c8a69036fe94dca7ef177faf7cc65daee534c288c0d"
                            "e429511b511b9de232a95410d25e8b1efc29f14e5f749bcadd6c80e3767c106b"
                            "9373832b8ed00714125b0bdf3683f333b528d59099cb93978f870e96fee711ac"
                            "fa8dceac01da4fa2a31c734aab1e49d94415be0200a5d6f5478518b63d8abe4c"
                            "cc23bf8c297c5ad096ee78a975b8a7cf33fc8b3da66df7bcd66939ece2237dbf"
                            "236dce199e1304e8a206252119f67f2080de742e16f055e8866b37498b782fc1";

const char kSig3072[] = "75e734d1d48c27aa52e0575762bcfa0acc0aa2f8865b65c7cf384a4810458786"
                        "7d369ca06520c955281a8dd37996b58e26538c4af31a8d46c9e0fc216b5de174"
                        "0b9cd7b80588b52343b2cc8a8d0727b5b13528bc5f58ca140042f772fd9a1075"
                        "4490c5d4c8fbff3c0f479613c72086192c42090e201f59de71058a9744c6714f"
                        "c834859e9b9b637661d1e6160ac2cdf2fc78128771ec0e1750497ca8be2d4c89"
                        "c3814aee58036f81f83a43fb668124e0986d21fb245cc4bbf3e6df82f57f44a6"
                        "7ebe25fee008fda1db4fd3382cae2fd267f588420af0b8f86969c107944ab6e8"
                        "5bfc42af9678ec580e7d33a69cf64bcd65b99d2f235dd517bec2f5199adaedb8"
                        "013a06052939e0e39896bee8bb4dfde43c1898b354cd5d74e74a7340c026cf94"
                        "e5ded624ec24e73ed8856db4c7b4143650e307518e7f789e8512ea2252821818"
                        "95a655d5de49fada005d5ca227736b815a49add8bce2f3a9bf66361ec1feff4c"
                        "028b26d8ef73351eb41e6aa847e0ed8bc4abd12587ce2dc3bd324b5c6547cfe2";

const char kDigest3072[] = "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
                           "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f";

const char kModulus4096[] = "ed3436b732f0b7f87d2099af51bdf8a76e18862b4d515de7af9886b5b1ef1e98"
                            "cf19a91663b205a7b504d9bd540bc19073c72d53a3188f1288bcd9148998500f"
                            "e5cd7dfe8434954d0b1263864c738585a1320d04a7914f09a56c0403405ca28f"
                            "eee592e47dc21b42a694c17a1dae3cb78d0a885547a64c2301f01485b014d6e6"
                            "a25b6cd92f7af41b3f1d759b248735416185b5c82cad95f88c21942caea24c0b"
                            "0855105be0f90a73754c986805b0df9c6e8462a602c0bac622410ad961d04f3e"
                            "59faa35708b81c95dfe0cf2f4d4bf672f36fc5318813d610646007eccc0cb39a"
                            "d328c418e93ed78298100d63db6466bb23f4dd8d264cd6acb8d06cf9ffe7b113"
                            "248bd6248042306558a29954153bffc3a6a513ec5ba1f654c0011a1ed6929783"
                            "c94d23181e9d49fdb04efe2225d2d65341236239b8227383cd5bb3a8399e3620"
                            "d666c5c33062948ac9a6ad14f78efa8376a5dcdbe7ff46d29aa7a160f6b12ddd"
                            "eb26feeddaf3f9b77d77f3075c94595a17f6a79e38c749dc431c90f3b996d10c"
                            "53ade1f675189f8d0ee7ee196b6e4c4930f656f7f5cf33fcb3d24cfb67e28d57"
                            "f7d02f945c6d42ea1c26415656d53e4efd0072c41ab7fd4c5059854498573cd4"
                            "1ed06a3c6b82edeb89fdcdee396af7ee143760c9f5a9b62b3049a542fbb89b7a"
                            "5ae13dae74ef9b2b14eaec0f67c1b59b8d8cb250ccb0bb033115d35357037e8d";

const char kSig4096[] = "1871d633a91ecdf75b5ed7df7e3ef11adf596cd72ee8685fb5174347266a66b2"
                        "328f62c202af73899c733f137c6da5f4f40243c55bb6fc137774708c1566ee17"
                        "3cc107b997acc1dfac366cfec8728e999478d6e03d737ca4a76a3c2d71ad43e2"
                        "a2a88f01c7674037ee7d1d588512931144a00055b61db0b7591b70f21c3aa7c1"
                        "96bafcc0a5483dad1b2b5d11f00b5607346a5aea2fb522307b403fda6e389508"
                        "19c7eb563ab08872f2c7b5be96cab7949cfbb60512233565384a6836a44e527b"
                        "15523be56096d687b8803be8cac928ebd5b96cc453b99df3b63a7f0143425a89"
                        "3288fda5adddebad93c654180e60492de2243bf2d9f415499422fcc5d10384bf"
                        "fc7c51ede6a0462841cdf0656d6c6d7af98b6955d4defaf4f933d3fa377d83ac"
                        "ba87026a74b4e096789e4eac9e4f56b3272072580a1deb95d89dc9ed846951ea"
                        "8fe15ac697eff8b0f7c40944b944918c921af7ec30e5f229ccece317d2bd5b69"
                        "ffdab8a93ec3beb14b5c40d0774697f2870813306c726ac4d08c64b4ce2d4a4c"
                        "c13c89f200844d06be1805cddcea29499ac66d43bca86d1b7b1060e403dfa86c"
                        "a755a5a55b8bb650969b7495d85833fb9c64372c907d538d4b9a0672a9f9e3b2"
                        "f393441d8fe88b79c5a4e935e73d9b33e2dc46348f52b19d251d4a1c2082f236"
                        "1091d1de10d3b577ea7e7f9ab3ab4a5bb52fec281ce2dbcd9b706aebd7d88e16";

struct Key {
    RsaKey* key = nullptr;
    explicit Key(const char* modulusHex, uint32_t e = 65537) {
        EXPECT_EQ(OK, RSA_newKey(&key));
        std::vector<uint8_t> n = unhex(modulusHex);
        EXPECT_EQ(OK, RSA_loadPublicKey(key, e, n.data(), uint32_t(n.size()), nullptr));
    }
    ~Key() {
        if (key) RSA_disposeKey(&key, nullptr);
    }
};

struct Result {
    MSTATUS status;
    std::vector<uint8_t> digest;
    int32_t id;
};

Result extract(const RsaKey* key, const std::vector<uint8_t>& signature) {
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

TEST(RsaSignature, BlockWith202PaddingBytesGivesSha256) {
    Key k(kModulus2048);
    Result r = extract(k.key, unhex(kSig2048Good));
    ASSERT_EQ(OK, r.status);
    EXPECT_EQ(int32_t(HASH_SHA256), r.id);
    EXPECT_EQ(unhex(kDigestAbc), r.digest);

    // the raw block: the 51-byte DigestInfo after 202 bytes of padding
    std::vector<uint8_t> out(256, 0xAA);
    uint32_t length = 0;
    vlong* queue = nullptr;
    ASSERT_EQ(OK,
              RSA_publicDecrypt(k.key, unhex(kSig2048Good).data(), out.data(), &length, &queue));
    EXPECT_EQ(OK, VLONG_drainQueue(&queue));
    ASSERT_EQ(51u, length);
    EXPECT_EQ(0x30, out[0]);
    EXPECT_EQ(unhex(kDigestAbc), std::vector<uint8_t>(out.begin() + 19, out.begin() + 51));
}

TEST(RsaSignature, BadPaddingIsRefused) {
    Key k(kModulus2048);
    EXPECT_EQ(ERR_RSA_BAD_PADDING, extract(k.key, unhex(kSig2048FeInPadding)).status);
    // representatives not below the modulus
    EXPECT_EQ(ERR_RSA_BAD_PADDING, extract(k.key, unhex(kModulus2048)).status);
    EXPECT_EQ(ERR_RSA_BAD_PADDING, extract(k.key, std::vector<uint8_t>(256, 0xFF)).status);
    EXPECT_EQ(ERR_RSA_BAD_PADDING, extract(k.key, std::vector<uint8_t>(256, 0x00)).status);

    std::vector<uint8_t> out(256, 0xAA);
    uint32_t length = 77;
    EXPECT_EQ(ERR_RSA_BAD_PADDING, RSA_publicDecrypt(k.key, unhex(kSig2048FeInPadding).data(),
                                                     out.data(), &length, nullptr));
    EXPECT_EQ(77u, length);
    EXPECT_EQ(std::vector<uint8_t>(256, 0), out); // nothing of the block is left behind
}

TEST(RsaSignature, SignaturesOfOtherSizesAndHashes) {
    struct Case {
        const char* modulus;
        const char* signature;
        const char* digest;
        int32_t id;
    } cases[] = {{kModulus1024, kSig1024, kDigest1024, HASH_SHA1},
                 {kModulus3072, kSig3072, kDigest3072, HASH_SHA512},
                 {kModulus4096, kSig4096, kDigestAbc, HASH_SHA256}};
    for (const Case& c : cases) {
        Key k(c.modulus);
        Result r = extract(k.key, unhex(c.signature));
        ASSERT_EQ(OK, r.status);
        EXPECT_EQ(c.id, r.id);
        EXPECT_EQ(unhex(c.digest), r.digest);
        // one flipped bit anywhere breaks it
        std::vector<uint8_t> bad = unhex(c.signature);
        bad[bad.size() / 2] ^= 0x10;
        EXPECT_NE(OK, extract(k.key, bad).status);
    }
}

TEST(RsaSignature, LengthsAndKeyLimits) {
    Key k(kModulus2048);
    std::vector<uint8_t> shorter = unhex(kSig2048Good);
    shorter.pop_back();
    EXPECT_EQ(ERR_CERT_BAD_DIGEST_LENGTH, extract(k.key, shorter).status);
    std::vector<uint8_t> longer = unhex(kSig2048Good);
    longer.insert(longer.begin(), 0x00);
    EXPECT_EQ(ERR_CERT_BAD_DIGEST_LENGTH, extract(k.key, longer).status);

    // an exponent of two units: 2^32 + 1
    const uint8_t twoUnits[] = {0x01, 0x00, 0x00, 0x00, 0x01};
    VLONG_release(&k.key->e, nullptr);
    ASSERT_EQ(OK, VLONG_fromByteString(twoUnits, 5, &k.key->e, nullptr));
    EXPECT_EQ(ERR_RSA_BAD_EXPONENT, extract(k.key, unhex(kSig2048Good)).status);
    std::vector<uint8_t> out(256);
    uint32_t length = 0;
    EXPECT_EQ(ERR_RSA_BAD_EXPONENT,
              RSA_publicDecrypt(k.key, unhex(kSig2048Good).data(), out.data(), &length, nullptr));
    VLONG_release(&k.key->e, nullptr);
    EXPECT_EQ(ERR_RSA_BAD_EXPONENT,
              RSA_publicDecrypt(k.key, unhex(kSig2048Good).data(), out.data(), &length, nullptr));

    // a 4097-bit modulus
    std::vector<uint8_t> modulus(513, 0xC5);
    modulus[0] = 0x01;
    Key big(kModulus2048);
    ASSERT_EQ(OK, RSA_loadPublicKey(big.key, 65537, modulus.data(), 513, nullptr));
    int32_t size = 0;
    ASSERT_EQ(OK, RSA_getModulusLength(big.key, &size));
    EXPECT_EQ(513, size);
    std::vector<uint8_t> input(513, 0x00);
    std::vector<uint8_t> output(513);
    EXPECT_EQ(ERR_RSA_MODULUS_TOO_LONG,
              RSA_publicDecrypt(big.key, input.data(), output.data(), &length, nullptr));
    EXPECT_EQ(ERR_RSA_MODULUS_TOO_LONG, extract(big.key, input).status);
}

TEST(RsaSignature, NullArguments) {
    Key k(kModulus2048);
    std::vector<uint8_t> sig = unhex(kSig2048Good);
    uint8_t digest[64];
    uint32_t length = 0;
    int32_t id = 0;
    EXPECT_EQ(ERR_NULL_POINTER, RSA_extractDigest(nullptr, sig.data(), 256, digest, &length, &id));
    EXPECT_EQ(ERR_NULL_POINTER, RSA_extractDigest(k.key, nullptr, 256, digest, &length, &id));
    EXPECT_EQ(ERR_NULL_POINTER, RSA_extractDigest(k.key, sig.data(), 256, nullptr, &length, &id));
    EXPECT_EQ(ERR_NULL_POINTER, RSA_extractDigest(k.key, sig.data(), 256, digest, nullptr, &id));
    EXPECT_EQ(ERR_NULL_POINTER,
              RSA_extractDigest(k.key, sig.data(), 256, digest, &length, nullptr));
    EXPECT_EQ(ERR_RSA_NO_KEY, RSA_publicDecrypt(nullptr, sig.data(), digest, &length, nullptr));
    EXPECT_EQ(ERR_NULL_POINTER, RSA_publicDecrypt(k.key, nullptr, digest, &length, nullptr));
    EXPECT_EQ(ERR_NULL_POINTER, RSA_publicDecrypt(k.key, sig.data(), nullptr, &length, nullptr));
    EXPECT_EQ(ERR_NULL_POINTER, RSA_publicDecrypt(k.key, sig.data(), digest, nullptr, nullptr));
    RsaKey* empty = nullptr;
    ASSERT_EQ(OK, RSA_newKey(&empty));
    int32_t size = 0;
    EXPECT_EQ(ERR_NULL_POINTER, RSA_getModulusLength(empty, &size));
    EXPECT_EQ(ERR_NULL_POINTER, RSA_extractDigest(empty, sig.data(), 256, digest, &length, &id));
    EXPECT_EQ(OK, RSA_disposeKey(&empty, nullptr));
    EXPECT_EQ(nullptr, empty);
    EXPECT_EQ(ERR_NULL_POINTER, RSA_disposeKey(&empty, nullptr));
    EXPECT_EQ(ERR_NULL_POINTER, RSA_newKey(nullptr));
}

TEST(RsaKeyRecord, LoadingPublicKeys) {
    Key k(kModulus2048);
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
