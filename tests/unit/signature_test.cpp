// The image signature decision over the emulated board: production key,
// development key under each relaxation, the operator's word, unsigned and
// malformed images; developer images from the root filesystem partition.
// Signatures were made once with openssl over
// tests/data/signature/payload.bin.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "board/i2c.h"
#include "boot/env.h"
#include "crypto/asn1/keys.h"
#include "crypto/platform/platform.h"
#include "image/image.h"
#include "security/keys.h"
#include "security/signature.h"
#include "tests/common/board.h"
#include "tests/common/console_feed.h"
#include "tests/common/data.h"
#include "tests/common/image.h"

namespace {

using testutil::Bytes;
using testutil::cat;

using testutil::record;
using testutil::sigRecord;

// A layout-3 application image: the records, then the data.
Bytes image3(const Bytes& records, const Bytes& data) {
    return testutil::image3(IMAGE_TYPE_APPLICATION, 0x01020304, records, data);
}

class SignatureTest : public testing::Test {
  protected:
    testutil::TempBoard board;
    testutil::HostHooks hooks;
    Bytes payload = testutil::dataFile("signature/payload.bin");
    Bytes prodSig = testutil::dataFile("signature/production.sig");
    Bytes devSig = testutil::dataFile("signature/development.sig");

    void SetUp() override {
        ASSERT_EQ(BASE64_initTable(), OK);
        g_fs_root = board.dir.c_str();
        mkdir(board.path("tmp").c_str(), 0755);
        developer_images_reset();
        boot_env_flags.lowsec = 0;
        i2c_open_buses();
    }
    void TearDown() override {
        g_fs_root = "";
        developer_images_reset();
        boot_env_flags.lowsec = 0;
    }
    // The root filesystem partition: erased (no header) unless an image is given.
    void rootfs(const Bytes& image) const {
        board.poke("flash/rfs.bin", 0, image);
        i2c_open_buses(); // the reset closed them
    }
    Bytes tampered() const {
        Bytes p = payload;
        p[500] ^= 1;
        return p;
    }
};

enum Rfs { erased, rfs_production, rfs_development };
enum Lowsec { secured, marker, override_set };

TEST_F(SignatureTest, DecisionTable) {
    const std::string V = " Image signature verified. ", R = " Image rejected. ",
                      noteDev =
                          "\nNOTE - developer images operational. Checking developer keys....\n",
                      noteLow = "\nNOTE - low security mode is operational. Checking developer "
                                "keys....\n",
                      both = " but you are running developer images and are in low security mode\n",
                      failAll = noteDev + "\nWARNING: All checks failed" + both,
                      unsignedAsk = "\nWARNING: Image is unsigned" + both,
                      unsignedR = " Image rejected as it has no signature\n",
                      ask = "Install image anyway? y/N? ";
    const Bytes prod = sigRecord(prodSig), dev = sigRecord(devSig), zero = record(7, {}, 0);
    Bytes layout1(16 + payload.size());
    image_put_be32(&layout1[4], uint32_t(payload.size()));
    image_put_be32(&layout1[8], IMAGE_TYPE_APPLICATION);
    const Bytes digest = testutil::dataFile("signature/payload.sha256"), zeros(32, 0);
    Bytes idFlipped = image3(prod, payload);
    idFlipped[15] ^= 0x80;

    const struct {
        const char* name;
        Bytes image;
        Rfs rfs;
        Lowsec low;
        std::string keys, out;
        int result;
        int sizeDelta = 0;             // bytes handed over beyond (or short of) the image
        const Bytes* digest = nullptr; // computed by the caller
    } rows[] = {
        {"production", image3(prod, payload), rfs_production, secured, "", V, 1},
        {"production, both relaxed", image3(prod, payload), erased, marker, "", V, 1},
        {"development, secured", image3(dev, payload), rfs_production, secured, "", R, 0},
        {"development, low security", image3(dev, payload), rfs_production, marker, "", noteLow + V,
         1},
        {"development, override", image3(dev, payload), rfs_production, override_set, "",
         "NOTE: Uboot low security mode override enabled\n" + noteLow + V, 1},
        {"development, developer images", image3(dev, payload), rfs_development, secured, "",
         noteDev + V, 1},
        {"bad, both, yes", image3(prod, tampered()), erased, marker, "y", failAll + ask + "y\n" + V,
         1},
        {"bad, both, no", image3(prod, tampered()), erased, marker, "n", failAll + ask + "n\n" + R,
         0},
        {"bad, both, no answer", image3(prod, tampered()), erased, marker, "",
         failAll + ask + std::string(1, '\0') + "\n" + R, 0},
        {"bad, developer images only", image3(prod, tampered()), erased, secured, "", noteDev + R,
         0},
        {"bad, low security only", image3(prod, tampered()), rfs_production, marker, "",
         noteLow + R, 0},
        {"unsigned", image3({}, payload), erased, secured, "", unsignedR, 0},
        {"unsigned, both, yes", image3({}, payload), erased, marker, "Y", unsignedAsk + ask + "Y\n",
         1},
        {"unsigned, both, no", image3({}, payload), erased, marker, "n", unsignedAsk + ask + "n\n",
         0},
        {"unsigned, low security only", image3({}, payload), rfs_production, marker, "", unsignedR,
         0},
        {"layout 1", layout1, rfs_production, secured, "", unsignedR, 0},
        {"zero record before", image3(cat({zero, prod}), payload), rfs_production, secured, "",
         unsignedR, 0},
        {"zero record after", image3(cat({prod, zero, Bytes(8, 0xFF)}), payload), rfs_production,
         secured, "", V, 1},
        {"later record production", image3(cat({dev, prod}), payload), rfs_production, secured, "",
         V, 1},
        {"later record development", image3(cat({prod, dev}), payload), rfs_production, secured, "",
         R, 0},
        {"255-byte signature",
         image3(sigRecord(Bytes(prodSig.begin(), prodSig.end() - 1)), payload), rfs_production,
         secured, "", R, 0},
        {"header byte outside the record", idFlipped, rfs_production, secured, "", V, 1},
        {"record length 2", image3(cat({record(5, {}, 2), prod}), payload), rfs_production, secured,
         "", R, 0},
        {"buffer one byte short", image3(prod, payload), rfs_production, secured, "", R, 0, -1},
        {"bytes after the image", image3(prod, payload), rfs_production, secured, "", V, 1, 5},
        {"caller's digest used", image3(prod, tampered()), rfs_production, secured, "", V, 1, 0,
         &digest},
        {"caller's digest wrong", image3(prod, payload), rfs_production, secured, "", R, 0, 0,
         &zeros},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        developer_images_reset();
        rootfs(row.rfs == erased           ? Bytes(64, 0xFF)
               : row.rfs == rfs_production ? image3(prod, payload)
                                           : image3(dev, payload));
        boot_env_flags.lowsec = row.low == override_set;
        unlink(board.path("tmp/lowsec").c_str());
        if (row.low == marker) testutil::writeBytes(board.path("tmp/lowsec"), {'x'});
        // Exactly the bytes handed over, so a read outside them is caught by the sanitizers.
        Bytes buffer = row.image;
        buffer.resize(buffer.size() + row.sizeDelta, 0xEE);
        testutil::StdinFeed keys(row.keys);
        int result = -1;
        EXPECT_EQ(testutil::captureStdout([&] {
                      result = row.digest ? verify_image_signature_digest(
                                                buffer.data(), buffer.size(), row.digest->data())
                                          : verify_image_signature(buffer.data(), buffer.size());
                  }),
                  row.out);
        EXPECT_EQ(result, row.result);
    }
    // On the serial console the question waits 25.5 s for its key.
    developer_images_reset();
    rootfs(Bytes(64, 0xFF));
    testutil::writeBytes(board.path("tmp/lowsec"), {'x'});
    testutil::PtyFeed tty("y");
    testutil::captureStdout(
        [&] { EXPECT_EQ(verify_image_signature(layout1.data(), layout1.size()), 1); });
    EXPECT_EQ(tty.seen().c_cc[VTIME], 255);
}

// Developer images: settled once by a conclusive answer, never by a failed look.
TEST_F(SignatureTest, DeveloperImages) {
    Bytes huge = image3(sigRecord(devSig), payload);
    image_put_be32(&huge[4], 0xFFFFFFF0u);
    const struct {
        const char* name;
        Bytes rfs;
        int result;
        bool settled;
    } rows[] = {
        {"no header", Bytes(64, 0xFF), 1, true},
        {"development signed", image3(sigRecord(devSig), payload), 1, true},
        {"production signed", image3(sigRecord(prodSig), payload), 0, true},
        {"unsigned", image3({}, payload), 0, false},
        {"longer than the partition", huge, 0, false},
    };
    Bytes devImage = image3(sigRecord(devSig), payload),
          prodImage = image3(sigRecord(prodSig), payload);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        developer_images_reset();
        rootfs(row.rfs);
        EXPECT_EQ(developer_images_running(), row.result);
        // A rootfs of the other answer now: only an unsettled answer changes.
        rootfs(row.result ? prodImage : devImage);
        EXPECT_EQ(developer_images_running(), row.settled ? row.result : 1);
    }
}

// Level-4 traces: silent by default, the dumps when the level is on. A
// digest of another length fails: the length is the only check on the
// DigestInfo's algorithm.
TEST_F(SignatureTest, Traces) {
    Bytes digest = testutil::dataFile("signature/payload.sha256");
    const uint8_t* key = reinterpret_cast<const uint8_t*>(builtin_production_key);
    auto run = [&] {
        EXPECT_EQ(IMGSIGN_verifySignature(digest.data(), 31, prodSig.data(), 256, key, 451), -7711);
    };
    EXPECT_EQ(testutil::captureStdout(run), "");
    const uint32_t saved = g_debugLevelMask;
    g_debugLevelMask |= 4;
    std::string out = testutil::captureStdout(run);
    g_debugLevelMask = saved;
    EXPECT_EQ(out.rfind("IMGSIGN_verifySignature: length = 31\r\nfa b2 c1 4c", 0), 0u) << out;
    for (const char* part :
         {"signature length = 256\r\n", "CA_MGMT_convertPublicKey: ", "Exponent: length = 3\r\n",
          "decrypted signature length = 32\r\nfa b2 c1 4c", "status = -7711\r\n"})
        EXPECT_NE(out.find(part), std::string::npos) << part;
}

} // namespace
