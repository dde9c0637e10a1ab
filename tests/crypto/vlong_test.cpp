// vlong records, conversions and arithmetic on fixed vectors (known answers
// computed independently with arbitrary-precision integers).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/vlong/vlong.h"
#include "tests/common/bytes.h"
#include "tests/common/vlong_bytes.h"

namespace {

using testutil::unhex;
using testutil::vlongBytes;

const char kMulA[] = "f80ff1c135ec43a662fb747c4dd92d86d5ae35be2ce7622e87ad0423ac26695f"
                     "bfc23fbbe11f18a8c43ad6bc9a280a61c26a36ca4c21fa114a6324a8c76dd9fd"
                     "c34d2217411d0529e27984909931630624d4e226dc81d0d45ab91288a64ac932"
                     "571bab554c54519566955a27c97ccd6ab1eb703a87cfaf48819d55ecec6b7b17"
                     "bb7f627d53cf5361b04e04390b8755ea06eb6ca86f15c927d3358cd0d7ad4729"
                     "435e82d954210604c5e3e9cd067ad36ea253f86aeff5467732cedfcecac38f29"
                     "045866ccfb2f03d0ffefe18f3f7ca8e558e729de2dab2d94078379cb8149f8f7"
                     "0ea5dcf2c9c68f6dd063e78d485934ea4cecdcbc7c7b724cc7c1ff4d558ca980";

const char kMulB[] = "82563bad9ba0dd63f9b37b1991ee4b77944353762ed17eabc7ee0f1c38e12f71"
                     "c2ffeddac3ae556438f1d1b73d03078e38c7b4be1d2aa95490d2097187dcf943"
                     "2455676ee753a117ae3c8ef3ae136fd31b226905595c4367ac2b7af50000785a"
                     "d34601038351de77c5f1361e6b24a28949151471ac6efdf8de50f77b7d42c872"
                     "94e8428b53ae47efbc5846bfa5dd592f4271d538bdfd4b3dccb782f30679f33b"
                     "9d36b466d4ac2cfb02030375a7a38a39a61503f15a735b670db1943df4b46b5f"
                     "ac4b861358f748169ffda9034fe86a37314a050e9ac974c7009edc58beb189d4"
                     "c6b06df0978cce60526c8f1f101818c52d87f6de284e84773575d0a1234ed081";

const char kMulAB[] = "7e4ba7f33a958695d4a57859576b9a2980f45413c722d2f2199c337b836c5c3f"
                      "18e81134c3990481467ec4a03df5c6128d3fb61daba161d695f28394e2d794a2"
                      "f8cc59b445799b08094bc313f4b95a4eb2cf391984a34a2f243488139aa2fc46"
                      "4d934735165431f2b28e4572cea7a95ac1b964bc2a4c1a5264f9282c6795b7bf"
                      "d9289f1d6ac7bceb36fa64aededd125501596f354859f8ad45474b587620b020"
                      "584ea2e0b03ecfa9f3dadcc03678b69a1cb41bfdfda1e2f9fed4e5b4186d5cfe"
                      "b9f6b3423d0b4b8ec9a66c34a63cf62c87eb1abd461c30eafbb312046d2d1ff3"
                      "3d80fec912931a19a2501db0040ef2041fb93a226490d137822861f67d81acb0"
                      "62a945615bb3cbdd45b1d70cfc07d918de73bda8e83aa463be0a32de99bde061"
                      "beac3e702c4ee23478976cde32d46f707f3d87a1b9374aab0c8767871e1a8a6a"
                      "7466f64f90d49905d7ab9fe7f773dd57c8dfa367ffaf6a78c4a435de27602789"
                      "71f24463ef1292a86afd52cff17e9f37ba38be3d3e9cfc685a51f245b9ef518a"
                      "f26550b908ee39ead7a0128407b143e00a364fcb6b29630e8120aa92f7d24e9a"
                      "7849b69c7251d354df922765fe27de4c482e7a6bf67dca0873a9fe137307dab8"
                      "64c45e9fc3ffa596295300a901ac375944da14c6b9401b960ed2e958e67d833a"
                      "547279499eae2d5ac7587600f385271cf5367ddf3c0ec607b32161028a996980";

const char kSqrA[] = "f05ee564916b6e1b7e3fc076df80b7773dc229922a12366ffcada9f8c3d2d449"
                     "2bf6ef27aae02a39c71802bfc2df0764f264b30fc342ede44c0de4e7334ab890"
                     "c71ac8cb50b5ce97d2f891ae61162bafcf46eeb2a346f76e1419b4b5d099bf57"
                     "5bab98d66b8a91e670dd660045ac93f80845ee08162789bce8a41100d92b28d4"
                     "be9cee88713ec88298034eef5585822c9be369d5c6453b07caea7d2c8c07d88f"
                     "70eeadfd164adccb012a9c5babefd7e44bfb637d9c4610ce3c560b31f5fb43ec"
                     "2b67c7f325c588567a5280f48c7217b82fecfdaafd23d1949e3a034cfd73949d"
                     "c799a2e9527db4ac4974f7207d1c18bc6e23a47b382095478aa571301ff7c94e"
                     "b73b6667b0cb7ab50c3d170796e1df39e7e793ece0f4cb0a951834327477d53a"
                     "9d82a6e91d893caf56b9854aaf73e8d9a91a40c2bb7f46808644e00f5e27e485"
                     "b5e9c6f5b21f18a0ce1bbb471c9480571dd2684d0ac413b2f85c18340cf299e6"
                     "c16a46aa79587d13a809cb4eb7247445b968cf5331b402e4851b324dca9e1dd8"
                     "49b20293741a7b2d93be308fe20e2d07a916c0e1423bc8eafe465fdbc34a51b1"
                     "7ebc199b420bf9dd445945b39d7808905c3106c00a9e897768c10eb48add0330"
                     "9bb2459e59d2efb808a44dd78aa9e70df955e0c0b73933d240146b36153207b2"
                     "b9c94aaa7e0a5b05c4919de844735f4a2b8d11681fb179675fe1acd8d43a4000";

const char kMulC[] = "c49129a5e08fc7c5b57900b255d237571fc3fb491620caaca555ac0927d44629"
                     "88e837fcc55cc251bf3c5198c479232046101e70aaa28fcce5ebce5cb7f35c61"
                     "7d7350a68c1707d03c2b32420ecb84c2190020e510471e4e417c0c3e9d86c971"
                     "b1fec28a8af225013c61a54b6c7fcf277e4398fe8f97b4bec0fe738803dd699a"
                     "40fe3636838cc6e97325931600bb810c6177a7fbb9c717807064ae0d4d913c67"
                     "ff5b21979a2afe1e9a98c446b6ed602f61cac3a4524701761e492249300d4442"
                     "e80eb998e68ad5b1252ae17b3d559ed81f8ccfe9ac56ef48c3697be57f2fa3d5"
                     "4a4c75a435cb1596b1a5b5401e575ff8214ad4793822142b9fe083a62473a00e"
                     "ae1649e0b5e23f578729da70bb23d3c3bf4edeefd10a6b350ca0117d83f366db"
                     "dd320055929e4dc2e91763b5283f066d3261339f6965b3fabdb8ae3d91d65253"
                     "6cf15ba4935875d3e716fc2ecef3223dea0eb36c5dda0870c291990c3aa484fb"
                     "1fc1531556b1ecd2a039d21da7a502c5a347415012c1c109088ca5dbb102a8f6"
                     "c87fb29ca551669889cf1f023e644ccfdc5c9433b11725bf01e022fbf2962464"
                     "2698d3d31a0b252a506644fd59e5885ede3ef4aa297c9352e91e8dbebbeffe9e"
                     "3050b43d64f105a6006ba87bb8b9e6f7cfe53c524dc9d88a379e0292c585e26f"
                     "45506cafd8782b9ad718826055f633b5004bf036ebda3a5f5f28d56c49cc63f0";

const char kMulE[] = "ca588c36c9dba812703832f2e237bbe14b1c5e9c2c90ab47909fe70412342d36"
                     "c9197959cec022fcf044341f37fb1844d9807a4b418b42d56a22ce144f5a5a43"
                     "598edb01af61244d2a95a8c202d253a5b279110ab017b34718a064c36d1049af"
                     "511c58a1f2a63f142f14d8d2baa3b58b156473d95cdc61e3f217b73853";

const char kMulCE[] = "9b5e886ca89ac7c9f6a890123757d54497abca753ee09f3cd65b466f700809ad"
                      "dec5637aa365fcbf20b768bf58996c365945f13d64d6e6b5db640eb6959023b4"
                      "9d60635be3a6df1a402fb14a61be92d36548d040891d4896aaa8d2921a24892b"
                      "ce943c6adbeb8a0755a64731b47ce25ef9358f5dd34e2f8dd8f8c6a15e32fff3"
                      "66283d39a89e25d3ff2b4ee3fc8443f2a480dc948fd61532359977c7b378ac8e"
                      "3282b05df4bdb4d912f32cb701daa81f260b4171588b74176c60a5aabf2c94ff"
                      "0b6613d09cb55f9bb9f750ec37935d40bca886c768753433c0627c0d209d3738"
                      "2783a73f5ba935988ad9089037efc6a360d51bdba3cb90f32ab1e565404d155f"
                      "9cbe3a1cdb22052e4b5b0413c160d5b10b56ecf23a09c17a9ec6ea679184486e"
                      "85d58a870a8e727305048b4ed45b3404a5bc8a591a58d0f066b66dab1bffaaa9"
                      "a1e0fea026823fe9137aa6b9c8fd0fa79c6cfded5c6519b591fb67591a847159"
                      "67157a97ed50a22259cb2f694ed1bb5ad037e8660dfc7bbcb882c7c3f60de2a4"
                      "1fe4726dbdb78dca4a953f30e73ee55e495f3c9fa36f2a2fee40422efaa446dc"
                      "fc4c8f238eae552a93eb0420ff8120752536090fc7d7b3da45c0b1d1f121ff50"
                      "0461eb66c988e31902941e77255345568b5c72a40899ae03c9eadde90d6f423a"
                      "89de484ca7f4d609fc7e93d769115507e6a2a6d5e6bd62171fe6fb3bbcd6d04f"
                      "2b1c669d3a0dcf80e584975846cdec3cbcd7b605b95a18d27d6fe8e362fcc02f"
                      "a38a2bc8e2925b3a6c8d4eba4ba81b8bf6def6ef8ae19b16d1d8aa044843125f"
                      "a738c3e59ba4552a5b95da0ed63679d070902749d1468322deecbe65a098baaa"
                      "e7c7a3b3e13f13d18a2e84b3a3625bfd130286377c31bb4936a3b0e6d0";

const char kDivQ[] = "cadb624bdb4f4049b6d8c9999673958989877c0a13489bcdc5c757c8210600f9"
                     "6cc9aa8ae9814fa713da38f1e9586c9963afed955c743555c3d34fa8c68ebc77"
                     "15a75dc74718474d49aa1c33fbe8b455e6e64c4a6692fd18797652160074836f"
                     "efbf4c60e97273db178c9934946139be003706a4a534e36498056a555d1df9e3"
                     "37e4c4f4e5fa7a2f11b54c8509c1edb4f8a14640e4c0d72beed9c135f65393bc"
                     "2d6d7ca51f7b7cbd69f01a1b04fc1a28a7e898f1dcffbd2c75fb37cd2445548e"
                     "ad8ebb97a0ee73e7a9cea83d5cbc9a70caaa090a62b8ee0ed8b7244d0117bb13"
                     "0712dcb5fc2ad3cb0760c6664d58ebd0295795a115f80a52fdceb1c682bd328b";

const char kDivR[] = "b3516c7990bd62b1ea44f8f21339453481f148998dcdcfc08937bdf033b92cb8"
                     "345ab1e497582d4435c9fdbd395594727717f16b5848517bb9f9184b2f6eb8b2"
                     "775138f32a9ffbbab058f8bac0bee04f48b5160ab2f110a6cb32a6b38a986bdd"
                     "2f3959564dfdefecd208e3515eac230b4d2a02133ae593eaa75c51d117aa7d27"
                     "0c695817512723a89bdb5970e2e1deb8a1586608b94d4ae54f5a6f06a0aab039"
                     "fb6c7981eb69f4f3940be0296ff40c08821545516fba85483cb85740c5e8e720"
                     "f32eebc476a258d20ac45ed0a9b7c3faef4c287b2ec6c960c474caa77fd6e7a0"
                     "18352ca524c9b697e47293609b64fcb3cbd569adbf5c1a21f26febcd39d15b70";

const char kPowM[] = "ac54df3966466c1b181b03d40a76bda76da144187d32436cddd29cf4dbc1be49"
                     "93696a9b161483871f1106beac38f51c601b25b67a9611ed057b00f5efcfb52f"
                     "d6cadc4b318a7ca77c2d0609169b1401a9c5ad1fcdf45dccd788bbfd6faa9666"
                     "deac391ec10020d79d12c6a8d6e0122e143781a3072c80fa8ac44f71f913a381";

const char kPowX[] = "0ff3a26d0339d9271d5d06477a1cca17760608adb34e6a460147f9050d207ec0"
                     "8850927de118614161829aefac6b75621b28ce12f259b764a15daf43e1a10456"
                     "a07ff85b9e315e4ee62add29c7654424788a47dc76ccb03087c3280656bec0a3"
                     "10215cdc606cb77c66042691e12804249e611b44257ea78fd1df5e56e4a88747";

const char kPowE[] = "c331d2a224b22eee85305aa7029bb94d45e5495067b80c9fdaa65f6bb50c92bd"
                     "055eed2ef8c4eef61cfe0877ab34ffa9d88f0744f9a53e890c88a3280d47e8ad"
                     "d7b71ce0392e560eaf2829b1e15753917e00b998cf05a2072772fd2252258a97"
                     "eb9fd6c5aadd1574ab4c7eca02b0bd3e5d86b50f180a69229ae3cecc5fbb4acd";

const char kPowR[] = "800fc6da7f7cb2e44c0929d058319cba817ab57164442024211b2c7e570ce551"
                     "1fe91e9199970753872246032b3e21413700d3978e03a183bc6f5671194e035e"
                     "124f4f2c2b0481c2e303e6d4b278d80f9fe6a1415798a7c8fe51cf050ab60f97"
                     "354d8d6d7ad0e641a6d2bbfd96a892ef6771ea4b4e288bda5745fba6323a14cd";

const char kPowMEven[] = "d3af0343ce351380d0b7b231565fc6916817669394f10d0fae745470184193a8"
                         "dce9f31438b0abbc8cc48da0951886fe98c29785be0f3a72d3d63587743f5c94"
                         "82cc76fbd3ce37d1fffe3863c07b566118dcf8c286d72f1a139914b6f79d3a75"
                         "5f392262f799e475d6a6da8d9e42a7e8bcf7b93f67e8a8a6d12aae1f9d909ee0";

const char kPowREven[] = "bb04599612523f7e322ecc94b980bb7904e869139e336520604e804d7aeb3778"
                         "25b3a19f8a0a74f375cd0b0fff61b51252f52e6d1da04068ddc2c6dedd3caf45"
                         "049ece4411eeee12253b7a7d47f15651960f3f3f802a15146e306d855dcaca9c"
                         "42af46a5a5e073eff2d70fcb446e97fa6efc7e9970194c35e6ddafd087b3c507";

const char kInvA[] = "0da266d60e77e399f0996141f22313905e36aa863aa01e4d14778dc007024342"
                     "70992143226bf61c3521f8aecc299831fe5598548b19437e15ff947cb2f38e89"
                     "36868a86be4b975835b49293347deb27d67e3ce75d487e9ba443a0c184c92049"
                     "50dc62070261ea5d29239ef878e687572b";

const char kInvR[] = "96028003aedb43dc87a4a7d881ff83989b6348439e4c05bced6142d2af437b6d"
                     "5f5614c6dfd9b7a2d4285fefef96e9598988dd8648d1d2ba0e8d51dcb849df07"
                     "f734d8f5adbff73df87858d61d6d3a0250fd2820ad3e38163661635f5734a79e"
                     "f35790f3824473b78de9b124ee2cbce0e881a8835280275bfc2ab91fcd3b5aa3";

const char kInvOddR[] = "1a90ef65067248392cd828a7b03f2ec5b8c7bf57855e5effd3db54a8e74613ca"
                        "fbd56be209784b6d19188c63fbe436c7111595fd07ed3bc7796a87b5931aaa96"
                        "6156400744552cb0c137ecd2a8ea0b1eb82d4493cd994ce05137510e5a8be36e"
                        "6c423ced248cd58dcd60aea2fbddfd2076e1a39f1b596944372f42bc37380095";

struct Held {
    vlong* v = nullptr;
    ~Held() {
        if (v) VLONG_release(&v, nullptr);
    }
};

vlong* make(Held& h, const std::vector<uint8_t>& bytes) {
    EXPECT_EQ(OK, VLONG_fromByteString(bytes.data(), int32_t(bytes.size()), &h.v, nullptr));
    return h.v;
}
vlong* make(Held& h, const char* hex) {
    return make(h, unhex(hex));
}

std::vector<uint32_t> g_scrubbed;
void recordScrub(const uint32_t* units, uint32_t count) {
    g_scrubbed.assign(units, units + count);
}

TEST(VlongRecords, QueueReusesRecordsAndReleaseScrubs) {
    vlong* queue = nullptr;
    vlong* a = nullptr;
    ASSERT_EQ(OK, VLONG_fromUnsigned(0x12345678, &a, &queue));
    ASSERT_EQ(OK, VLONG_setUnit(a, 3, 9));
    uint32_t* units = a->units;
    vlong* record = a;
    ASSERT_EQ(OK, VLONG_release(&a, &queue));
    EXPECT_EQ(nullptr, a);
    EXPECT_EQ(record, queue);
    vlong* b = nullptr;
    ASSERT_EQ(OK, VLONG_alloc(&b, &queue));
    EXPECT_EQ(record, b); // taken back from the queue, with its array, as zero
    EXPECT_EQ(units, b->units);
    EXPECT_EQ(0u, b->used);
    EXPECT_EQ(nullptr, queue);
    ASSERT_EQ(OK, VLONG_release(&b, &queue));
    EXPECT_EQ(OK, VLONG_drainQueue(&queue));
    EXPECT_EQ(nullptr, queue);
    EXPECT_EQ(OK, VLONG_drainQueue(nullptr));

    vlong* c = nullptr;
    ASSERT_EQ(OK, VLONG_fromUnsigned(0xCAFEBABE, &c, nullptr));
    uint32_t allocated = c->allocated;
    g_vlongScrubHook = recordScrub;
    ASSERT_EQ(OK, VLONG_release(&c, nullptr));
    g_vlongScrubHook = nullptr;
    EXPECT_EQ(nullptr, c);
    EXPECT_EQ(std::vector<uint32_t>(allocated, 0x00000067u), g_scrubbed);

    EXPECT_EQ(ERR_NULL_POINTER, VLONG_release(nullptr, nullptr));
    EXPECT_EQ(ERR_NULL_POINTER, VLONG_release(&c, nullptr));
    EXPECT_EQ(ERR_NULL_POINTER, VLONG_alloc(nullptr, nullptr));
}

TEST(VlongRecords, SizesAreCheckedAgainstTheLimit) {
    Held h;
    ASSERT_EQ(OK, VLONG_alloc(&h.v, nullptr));
    EXPECT_EQ(ERR_BAD_LENGTH, VLONG_reserve(h.v, VLONG_MAX_UNITS + 1));
    EXPECT_EQ(ERR_BAD_LENGTH, VLONG_grow(h.v, VLONG_MAX_UNITS + 1));
    EXPECT_EQ(ERR_BAD_LENGTH, VLONG_setUnit(h.v, VLONG_MAX_UNITS, 1));
    EXPECT_EQ(ERR_BAD_LENGTH, VLONG_setBit(h.v, 32 * VLONG_MAX_UNITS));
    ASSERT_EQ(OK, VLONG_setBit(h.v, 32 * VLONG_MAX_UNITS - 1));
    EXPECT_EQ(VLONG_MAX_UNITS, h.v->used);
    EXPECT_EQ(ERR_BAD_LENGTH, VLONG_shiftLeft(h.v, 1));
    EXPECT_EQ(ERR_BAD_LENGTH, VLONG_addMagnitude(h.v, h.v));
    EXPECT_EQ(VLONG_MAX_UNITS * 32, VLONG_bitLength(h.v)); // unchanged
    Held p;
    ASSERT_EQ(OK, VLONG_alloc(&p.v, nullptr));
    EXPECT_EQ(ERR_BAD_LENGTH, VLONG_multiply(p.v, h.v, h.v));

    // growing keeps the value; storing zero at the top renormalises
    Held g;
    ASSERT_EQ(OK, VLONG_fromUnsigned(7, &g.v, nullptr));
    ASSERT_EQ(OK, VLONG_setUnit(g.v, 5, 1));
    EXPECT_EQ(6u, g.v->used);
    EXPECT_EQ(7u, g.v->units[0]);
    EXPECT_EQ(0u, g.v->units[4]);
    ASSERT_EQ(OK, VLONG_setUnit(g.v, 5, 0));
    EXPECT_EQ(1u, g.v->used);
}

TEST(VlongConversion, FromByteString) {
    Held a, b, z;
    const uint8_t one[] = {0x00, 0x00, 0x01};
    ASSERT_EQ(OK, VLONG_fromByteString(one, 3, &a.v, nullptr));
    EXPECT_EQ(1u, a.v->used);
    EXPECT_EQ(1u, a.v->units[0]);
    const uint8_t five[] = {0x01, 0x02, 0x03, 0x04, 0x05};
    ASSERT_EQ(OK, VLONG_fromByteString(five, 5, &b.v, nullptr));
    ASSERT_EQ(2u, b.v->used);
    EXPECT_EQ(0x02030405u, b.v->units[0]);
    EXPECT_EQ(0x01u, b.v->units[1]);
    ASSERT_EQ(OK, VLONG_fromByteString(five, 0, &z.v, nullptr));
    EXPECT_EQ(0u, z.v->used);

    vlong* none = nullptr;
    EXPECT_EQ(ERR_BAD_LENGTH, VLONG_fromByteString(five, -1, &none, nullptr));
    std::vector<uint8_t> big(32768, 0xAB);
    EXPECT_EQ(ERR_BAD_LENGTH, VLONG_fromByteString(big.data(), 32768, &none, nullptr));
    EXPECT_EQ(nullptr, none);
    Held most;
    ASSERT_EQ(OK, VLONG_fromByteString(big.data(), 32767, &most.v, nullptr));
    EXPECT_EQ(8192u, most.v->used);
    EXPECT_EQ(0x00ABABABu, most.v->units[8191]);
    EXPECT_EQ(ERR_NULL_POINTER, VLONG_fromByteString(nullptr, 4, &none, nullptr));
}

TEST(VlongConversion, ByteStringFromVlongSizing) {
    std::vector<uint8_t> bytes(255, 0x5C);
    bytes[0] = 0x80; // 2040 bits
    Held a;
    make(a, bytes);
    int32_t size = -1;
    ASSERT_EQ(OK, VLONG_byteStringFromVlong(a.v, nullptr, &size));
    EXPECT_EQ(255, size);
    std::vector<uint8_t> out(256, 0xEE);
    size = 256;
    ASSERT_EQ(OK, VLONG_byteStringFromVlong(a.v, out.data(), &size));
    EXPECT_EQ(256, size);
    EXPECT_EQ(0x00, out[0]);
    EXPECT_EQ(bytes, std::vector<uint8_t>(out.begin() + 1, out.end()));

    bytes.insert(bytes.begin(), 0xFF); // 2048 bits
    Held b;
    make(b, bytes);
    size = 255;
    EXPECT_EQ(ERR_BUFFER_OVERFLOW, VLONG_byteStringFromVlong(b.v, out.data(), &size));
    EXPECT_EQ(255, size);
    size = -3;
    EXPECT_EQ(ERR_BUFFER_OVERFLOW, VLONG_byteStringFromVlong(b.v, out.data(), &size));

    Held zero;
    ASSERT_EQ(OK, VLONG_alloc(&zero.v, nullptr));
    size = 0;
    ASSERT_EQ(OK, VLONG_byteStringFromVlong(zero.v, nullptr, &size));
    EXPECT_EQ(0, size);
    size = 8;
    ASSERT_EQ(OK, VLONG_byteStringFromVlong(zero.v, out.data(), &size));
    EXPECT_EQ(std::vector<uint8_t>(8, 0), std::vector<uint8_t>(out.begin(), out.begin() + 8));
    EXPECT_EQ(ERR_NULL_POINTER, VLONG_byteStringFromVlong(nullptr, out.data(), &size));
}

TEST(VlongArithmetic, CompareBitsAndShifts) {
    Held a, b;
    make(a, "0100000000");
    make(b, "ffffffff");
    EXPECT_EQ(33u, VLONG_bitLength(a.v));
    EXPECT_EQ(1, VLONG_compare(a.v, b.v));
    b.v->negative = 1;
    a.v->negative = 1;
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

    // signed addition across zero
    Held c, d;
    ASSERT_EQ(OK, VLONG_fromUnsigned(5, &c.v, nullptr));
    ASSERT_EQ(OK, VLONG_fromUnsigned(7, &d.v, nullptr));
    ASSERT_EQ(OK, VLONG_subtract(c.v, d.v, nullptr));
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

TEST(VlongArithmetic, MultiplicationKnownAnswers) {
    Held a, b, c, e, p;
    make(a, kMulA);
    make(b, kMulB);
    make(c, kMulC);
    make(e, kMulE);
    ASSERT_EQ(OK, VLONG_alloc(&p.v, nullptr));
    ASSERT_EQ(OK, VLONG_multiply(p.v, a.v, b.v)); // 64 x 64 units: Karatsuba
    EXPECT_EQ(unhex(kMulAB), vlongBytes(p.v));
    ASSERT_EQ(OK, VLONG_multiply(p.v, a.v, a.v)); // squaring
    EXPECT_EQ(unhex(kSqrA), vlongBytes(p.v));
    ASSERT_EQ(OK, VLONG_multiply(p.v, c.v, e.v)); // 128 x 32 units: columns
    EXPECT_EQ(unhex(kMulCE), vlongBytes(p.v));
    ASSERT_EQ(OK, VLONG_multiplyLow(p.v, a.v, b.v, 1000));
    std::vector<uint8_t> full = unhex(kMulAB);
    std::vector<uint8_t> low(full.end() - 125, full.end()); // 1000 bits
    while (!low.empty() && !low[0]) low.erase(low.begin());
    EXPECT_EQ(low, vlongBytes(p.v));

    vlong* signedProduct = nullptr;
    a.v->negative = 1;
    ASSERT_EQ(OK, VLONG_multiplySigned(a.v, b.v, &signedProduct, nullptr));
    EXPECT_EQ(1u, signedProduct->negative);
    VLONG_release(&signedProduct, nullptr);

    Held zero;
    ASSERT_EQ(OK, VLONG_alloc(&zero.v, nullptr));
    ASSERT_EQ(OK, VLONG_multiply(p.v, a.v, zero.v));
    EXPECT_EQ(0u, p.v->used);
}

TEST(VlongArithmetic, DivisionKnownAnswers) {
    Held a, c, q, r;
    make(a, kMulA);
    make(c, kMulC);
    ASSERT_EQ(OK, VLONG_alloc(&q.v, nullptr));
    ASSERT_EQ(OK, VLONG_alloc(&r.v, nullptr));
    ASSERT_EQ(OK, VLONG_divide(q.v, c.v, a.v, r.v, nullptr));
    EXPECT_EQ(unhex(kDivQ), vlongBytes(q.v));
    EXPECT_EQ(unhex(kDivR), vlongBytes(r.v));
    // a smaller dividend is its own remainder
    ASSERT_EQ(OK, VLONG_divide(q.v, a.v, c.v, r.v, nullptr));
    EXPECT_EQ(0u, q.v->used);
    EXPECT_EQ(unhex(kMulA), vlongBytes(r.v));
    Held zero;
    ASSERT_EQ(OK, VLONG_alloc(&zero.v, nullptr));
    EXPECT_EQ(ERR_DIVIDE_BY_ZERO, VLONG_divide(q.v, c.v, zero.v, r.v, nullptr));
    // signs of modulo and quotient
    vlong* m = nullptr;
    vlong* quotient = nullptr;
    c.v->negative = 1;
    ASSERT_EQ(OK, VLONG_modulo(c.v, a.v, &m, nullptr));
    EXPECT_EQ(1u, m->negative);
    EXPECT_EQ(unhex(kDivR), vlongBytes(m));
    ASSERT_EQ(OK, VLONG_quotient(c.v, a.v, &quotient, nullptr));
    EXPECT_EQ(1u, quotient->negative);
    VLONG_release(&m, nullptr);
    VLONG_release(&quotient, nullptr);
}

TEST(VlongModular, PowerModEdgeCases) {
    Held x, e, m, zero, one;
    make(x, "0123456789");
    make(e, "05");
    make(m, "0100000000000000f1");
    ASSERT_EQ(OK, VLONG_alloc(&zero.v, nullptr));
    ASSERT_EQ(OK, VLONG_fromUnsigned(1, &one.v, nullptr));
    vlong* r = nullptr;
    EXPECT_EQ(ERR_ZERO_MODULUS, VLONG_powerMod(x.v, e.v, zero.v, &r, nullptr));
    EXPECT_EQ(ERR_ZERO_MODULUS, VLONG_powerMod(zero.v, zero.v, zero.v, &r, nullptr));
    EXPECT_EQ(nullptr, r);
    for (vlong* exponent : {e.v, zero.v}) {
        ASSERT_EQ(OK, VLONG_powerMod(zero.v, exponent, m.v, &r, nullptr));
        EXPECT_EQ(0u, r->used);
        VLONG_release(&r, nullptr);
    }
    ASSERT_EQ(OK, VLONG_powerMod(x.v, zero.v, m.v, &r, nullptr));
    EXPECT_EQ(0, VLONG_compareUnsigned(r, 1));
    VLONG_release(&r, nullptr);
    // everything is 0 modulo 1
    ASSERT_EQ(OK, VLONG_powerMod(x.v, zero.v, one.v, &r, nullptr));
    EXPECT_EQ(0u, r->used);
    VLONG_release(&r, nullptr);
    EXPECT_EQ(ERR_NULL_POINTER, VLONG_powerMod(nullptr, e.v, m.v, &r, nullptr));
}

TEST(VlongModular, PowerModKnownAnswers) {
    Held x, e, m, me;
    make(x, kPowX);
    make(e, kPowE);
    make(m, kPowM);
    make(me, kPowMEven);
    vlong* queue = nullptr;
    vlong* r = nullptr;
    ASSERT_EQ(OK, VLONG_powerMod(x.v, e.v, m.v, &r, &queue)); // odd: Montgomery, window 6
    EXPECT_EQ(unhex(kPowR), vlongBytes(r));
    VLONG_release(&r, &queue);
    ASSERT_EQ(OK, VLONG_powerMod(x.v, e.v, me.v, &r, &queue)); // even: Barrett
    EXPECT_EQ(unhex(kPowREven), vlongBytes(r));
    VLONG_release(&r, &queue);
    EXPECT_EQ(OK, VLONG_drainQueue(&queue));

    MontContext* ctx = nullptr;
    EXPECT_EQ(ERR_INVALID_ARG, MONT_setup(&ctx, me.v, nullptr));
    EXPECT_EQ(nullptr, ctx);
}

TEST(VlongModular, BarrettWithUnreducedOperands) {
    // operands above the modulus are reduced by division instead of the estimate
    Held a, m, mu, r;
    make(a, "010000000000000000000000000000000000000003"); // 2^160 + 3
    make(m, "0ffffffffffffffff1");
    ASSERT_EQ(OK, BARRETT_setup(&mu.v, m.v, nullptr));
    ASSERT_EQ(OK, VLONG_alloc(&r.v, nullptr));
    ASSERT_EQ(OK, BARRETT_mulMod(r.v, a.v, a.v, m.v, mu.v, nullptr));
    EXPECT_EQ(unhex("c5c1000546000009"), vlongBytes(r.v));
    Held zero;
    ASSERT_EQ(OK, VLONG_alloc(&zero.v, nullptr));
    vlong* none = nullptr;
    EXPECT_EQ(ERR_DIVIDE_BY_ZERO, BARRETT_setup(&none, zero.v, nullptr));
    EXPECT_EQ(nullptr, none);
}

TEST(VlongModular, InverseKnownAnswers) {
    Held a, m, odd;
    make(a, kInvA);
    make(m, kPowMEven); // an even modulus
    make(odd, kPowM);
    vlong* r = nullptr;
    ASSERT_EQ(OK, VLONG_modInverse(a.v, m.v, &r, nullptr));
    EXPECT_EQ(unhex(kInvR), vlongBytes(r));
    VLONG_release(&r, nullptr);
    ASSERT_EQ(OK, VLONG_modInverse(a.v, odd.v, &r, nullptr));
    EXPECT_EQ(unhex(kInvOddR), vlongBytes(r));
    VLONG_release(&r, nullptr);
    Held six, nine;
    ASSERT_EQ(OK, VLONG_fromUnsigned(6, &six.v, nullptr));
    ASSERT_EQ(OK, VLONG_fromUnsigned(9, &nine.v, nullptr));
    EXPECT_EQ(ERR_INVALID_ARG, VLONG_modInverse(six.v, nine.v, &r, nullptr));
    EXPECT_EQ(ERR_INVALID_ARG, VLONG_modInverse(nine.v, six.v, &r, nullptr));
    EXPECT_EQ(nullptr, r);
}

} // namespace
