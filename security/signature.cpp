// Image signature verification: the decision (production key, then the
// development key under the relaxations, then the operator's word) and the
// glue over the toolkit's digest, key import and RSA calls.
#include "security/signature.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <vector>

#include "board/devio.h"
#include "boot/console.h"
#include "crypto/asn1/keys.h"
#include "crypto/hash/hash.h"
#include "crypto/platform/platform.h"
#include "crypto/vlong/rsa.h"
#include "image/image.h"
#include "security/keys.h"
#include "security/lowsec.h"

namespace {

enum : uint32_t { TRACE_LEVEL = 4 };

// The longest time-out a one-key question allows: an unattended switch is
// not held for ever, and silence answers no.
constexpr int kInstallAnywayTimeout = 255;

int developer_images_value = 0;
int developer_images_known = 0;

// Where the signed data of a layout-3 image lies, and its signature.
struct signed_image {
    const uint8_t* data;
    uint32_t data_len;
    const uint8_t* signature;
    uint16_t signature_len;
};

enum class walk { unsigned_image, found, bad };

// Checks that the image's `len` + 16 bytes lie within size and finds its
// signature record. Nothing outside the size bytes is looked at.
walk find_signed_data(const uint8_t* image, size_t size, signed_image* out) {
    if (!image || size < 20 || image_get_be32(image + 16) != IMAGE_HDR3_MAGIC)
        return walk::unsigned_image;
    if (size < IMAGE_PREFIX_SIZE) return walk::bad;
    const uint64_t whole = uint64_t(image_get_be32(image + IMAGE_OFF_LEN)) + IMAGE_BASE_HEADER_SIZE;
    const uint32_t hdr_len = image_get_be16(image + 22);
    if (whole > size || hdr_len > whole) return walk::bad;
    switch (image_find_signature(image, size_t(whole), &out->signature, &out->signature_len)) {
    case IMAGE_SIGNATURE_FOUND:
        out->data = image + hdr_len;
        out->data_len = uint32_t(whole - hdr_len);
        return walk::found;
    case IMAGE_SIGNATURE_NONE:
        return walk::unsigned_image;
    default:
        return walk::bad;
    }
}

int print_verdict(int32_t status) {
    fputs(status ? " Image rejected. " : " Image signature verified. ", stdout);
    fflush(stdout);
    return status == 0 ? 1 : 0;
}

int32_t verify_with_key(const char* path, const uint8_t* digest, uint32_t digest_length,
                        const uint8_t* signature, uint16_t signature_len, bool* loaded) {
    system_key_record record;
    *loaded = load_system_key(&record, path) != 0;
    if (!*loaded) return -1;
    return IMGSIGN_verifySignature(digest, digest_length, signature, signature_len, record.text,
                                   record.length);
}

// Size of the root filesystem partition, 0 when it cannot be told.
uint64_t partition_size(int fd) {
    mtd_info_user info;
    memset(&info, 0, sizeof info);
    if (dev_ioctl(fd, MEMGETINFO, &info) < 0) return 0;
    return info.size;
}

bool read_partition(int fd, uint8_t* buffer, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = dev_pread(fd, buffer + done, length - done, off_t(done));
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

// Settles developer images from the root filesystem partition: -1 when no
// answer can be had this time.
int examine_root_filesystem() {
    int fd = dev_open("/dev/mtd-rfs", O_RDONLY);
    if (fd < 0) return -1;
    uint8_t prefix[IMAGE_PREFIX_SIZE];
    if (!read_partition(fd, prefix, sizeof prefix)) {
        dev_close(fd);
        return -1;
    }
    if (image_get_be32(prefix + 16) != IMAGE_HDR3_MAGIC) {
        dev_close(fd);
        return 1; // no image header: a developer build
    }
    // The whole image, checked against the partition before anything is allocated.
    const uint64_t whole =
        uint64_t(image_get_be32(prefix + IMAGE_OFF_LEN)) + IMAGE_BASE_HEADER_SIZE;
    if (whole > partition_size(fd)) {
        dev_close(fd);
        return -1;
    }
    std::vector<uint8_t> buffer(static_cast<size_t>(whole));
    bool read_ok = read_partition(fd, buffer.data(), buffer.size());
    dev_close(fd);
    signed_image image;
    if (!read_ok || find_signed_data(buffer.data(), buffer.size(), &image) != walk::found)
        return -1;

    uint8_t digest[SHA256_DIGEST_SIZE] = {0};
    uint32_t digest_length = 0;
    int32_t status = IMGSIGN_computeSHA256(image.data, image.data_len, digest, &digest_length);
    if (status != 0) {
        printf("HASH calculation for signed image failed: rc = %d \n", int(status));
        return -1;
    }
    bool loaded = false;
    status = verify_with_key(DEVELOPMENT_KEY_PATH, digest, digest_length, image.signature,
                             image.signature_len, &loaded);
    if (!loaded) return -1;
    return status == 0 ? 1 : 0;
}

} // namespace

int32_t IMGSIGN_computeSHA256(const uint8_t* data, uint32_t length, uint8_t* digest,
                              uint32_t* digest_length) {
    DEBUG_print(TRACE_LEVEL, "IMGSIGN_computeSHA256: ");
    if (!data || !digest || !digest_length) {
        DEBUG_printStatusLine(TRACE_LEVEL, "status = ", ERR_NULL_POINTER);
        return ERR_NULL_POINTER;
    }
    *digest_length = 0;
    uint8_t out[HASH_MAX_DIGEST_SIZE];
    uint32_t out_length = 0;
    MSTATUS status = HASH_computeDigest(data, length, out, &out_length, HASH_SHA256);
    if (status != OK) {
        DEBUG_printStatusLine(TRACE_LEVEL, "status = ", status);
        return status;
    }
    memcpy(digest, out, SHA256_DIGEST_SIZE);
    *digest_length = SHA256_DIGEST_SIZE;
    DEBUG_printHexDump(TRACE_LEVEL, digest, *digest_length);
    return 0;
}

int32_t IMGSIGN_verifySignature(const uint8_t* digest, uint32_t digest_length,
                                const uint8_t* signature, uint32_t signature_length,
                                const uint8_t* key_text, uint32_t key_length) {
    DEBUG_print(TRACE_LEVEL, "IMGSIGN_verifySignature: ");
    if (!digest || !signature || !key_text) {
        DEBUG_printStatusLine(TRACE_LEVEL, "status = ", ERR_NULL_POINTER);
        return ERR_NULL_POINTER;
    }
    DEBUG_printHexDump(TRACE_LEVEL, digest, digest_length);
    DEBUG_print(TRACE_LEVEL, "signature ");
    DEBUG_printHexDump(TRACE_LEVEL, signature, signature_length);

    KeyObject key;
    KEY_init(&key);
    MSTATUS status = CA_MGMT_convertPublicKey(key_text, key_length, &key);
    if (status >= 0 && (key.type != KEY_TYPE_RSA || !key.key)) status = ERR_RSA_NOT_RSA_KEY;
    if (status < 0) {
        KEY_release(&key);
        DEBUG_printStatusLine(TRACE_LEVEL, "status = ", status);
        return status;
    }

    uint8_t extracted[HASH_MAX_DIGEST_SIZE] = {0};
    uint32_t extracted_length = 0;
    int32_t algorithm = 0;
    status = RSA_extractDigest(static_cast<const RsaKey*>(key.key), signature, signature_length,
                               extracted, &extracted_length, &algorithm);
    if (status == OK) {
        DEBUG_print(TRACE_LEVEL, "decrypted signature ");
        DEBUG_printHexDump(TRACE_LEVEL, extracted, extracted_length);
        // The length is the only check on the DigestInfo's algorithm.
        if (extracted_length != digest_length || extracted_length > sizeof extracted ||
            memcmp(extracted, digest, extracted_length) != 0)
            status = ERR_RSA_DIGEST_MISMATCH;
    }
    KEY_release(&key);
    if (status != OK) DEBUG_printStatusLine(TRACE_LEVEL, "status = ", status);
    return status;
}

int developer_images_running() {
    if (developer_images_known) return developer_images_value;
    int answer = examine_root_filesystem();
    if (answer < 0) return 0;
    developer_images_value = answer;
    developer_images_known = 1;
    return developer_images_value;
}

void developer_images_reset() {
    developer_images_value = 0;
    developer_images_known = 0;
}

int handle_unsigned_image() {
    const int developer = developer_images_running();
    const int lowsec = lowsec_is_enabled();
    if (developer && lowsec) {
        puts("\nWARNING: Image is unsigned but you are running developer images and are in low "
             "security mode");
        return ask_yes_no("Install image anyway?", kInstallAnywayTimeout);
    }
    puts(" Image rejected as it has no signature");
    return 0;
}

int verify_image_signature(const uint8_t* image, size_t size) {
    return verify_image_signature_digest(image, size, nullptr);
}

int verify_image_signature_digest(const uint8_t* image, size_t size, const uint8_t* digest32) {
    const int lowsec = lowsec_is_enabled();

    signed_image signed_data;
    switch (find_signed_data(image, size, &signed_data)) {
    case walk::unsigned_image:
        return handle_unsigned_image();
    case walk::bad:
        return print_verdict(-1); // a header that lies about its records or its size
    case walk::found:
        break;
    }

    uint8_t digest[SHA256_DIGEST_SIZE] = {0};
    uint32_t digest_length = SHA256_DIGEST_SIZE;
    if (digest32) {
        memcpy(digest, digest32, SHA256_DIGEST_SIZE);
    } else {
        int32_t status =
            IMGSIGN_computeSHA256(signed_data.data, signed_data.data_len, digest, &digest_length);
        if (status != 0) {
            printf("HASH calculation for signed image failed: rc = %d \n", int(status));
            return 0;
        }
    }

    return signature_decision(digest, signed_data.signature, signed_data.signature_len, lowsec,
                              nullptr);
}

int signature_decision(const uint8_t* digest, const uint8_t* signature, uint16_t signature_len,
                       int lowsec, int* production) {
    const uint32_t digest_length = SHA256_DIGEST_SIZE;
    if (production) *production = 0;
    bool loaded = false;
    int32_t status = verify_with_key(PRODUCTION_KEY_PATH, digest, digest_length, signature,
                                     signature_len, &loaded);
    if (!loaded) return 0;
    if (status == 0) {
        if (production) *production = 1;
        return print_verdict(status);
    }

    const int developer = developer_images_running();
    if (!lowsec && !developer) return print_verdict(status);

    puts(developer ? "\nNOTE - developer images operational. Checking developer keys...."
                   : "\nNOTE - low security mode is operational. Checking developer keys....");
    status = verify_with_key(DEVELOPMENT_KEY_PATH, digest, digest_length, signature, signature_len,
                             &loaded);
    if (!loaded) return 0;

    if (status != 0 && developer && lowsec) {
        puts("\nWARNING: All checks failed but you are running developer images and are in low "
             "security mode");
        if (ask_yes_no("Install image anyway?", kInstallAnywayTimeout)) status = 0;
    }
    return print_verdict(status);
}
