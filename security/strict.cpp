// The strict image rules: manifest signature, type word and security counter
// of every sub-image booted or installed, and the downgrade floor.
#include "security/strict.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <sys/types.h>

#include "board/record.h"
#include "board/sys.h"
#include "boot/console.h"
#include "boot/env.h"
#include "image/image.h"
#include "security/keys.h"
#include "security/lowsec.h"
#include "security/manifest.h"
#include "security/signature.h"

namespace {

const board_record kFloorRecord = {BOARD_RECORD_FLOOR, BOARD_RECORD_FLOOR_TAG, 4 * FLOOR_CLASSES};

constexpr int kLowerTimeout = 255; // silence answers no

const char* subimage_name(uint32_t type) {
    switch (type) {
    case IMAGE_TYPE_APPLICATION:
        return "application";
    case IMAGE_TYPE_BOOTLOADER:
        return "boot loader";
    case IMAGE_TYPE_KERNEL:
        return "kernel";
    case IMAGE_TYPE_RFS:
        return "root filesystem";
    case IMAGE_TYPE_DEVICETREE:
        return "device tree";
    case IMAGE_TYPE_DIAGNOSTICS:
        return "diagnostics";
    case IMAGE_TYPE_KVRT:
        return "K-VRT application";
    default:
        return "unknown";
    }
}

int refuse(uint32_t used_as, const char* reason) {
    printf("Strict: %s sub-image refused: %s\n", subimage_name(used_as), reason);
    fflush(stdout);
    return 0;
}

// The physical presence test passed in this run: the marker it leaves, not
// the boot loader's override.
bool presence_proven() {
    struct stat st;
    return stat(sys_path(LOWSEC_MARKER_PATH).c_str(), &st) == 0;
}

// The rules that need neither a key nor the operator: well-formed records, the type word
// and any type record naming `used_as`, the counter not below the floor. 1 when they hold.
int check_labels(const uint8_t* image, size_t size, uint32_t used_as, int floor_class,
                 image_manifest* m, int* found) {
    *found = manifest_find(image, size, m);
    if (*found == MANIFEST_BAD) return refuse(used_as, "malformed header or records");
    char reason[96];
    const uint32_t type = image_get_be32(image + IMAGE_OFF_MAGIC) & ~uint32_t(IMAGE_MAGIC_LAYOUT2);
    if (type != used_as || (m->type_record && m->type_record != type)) {
        snprintf(reason, sizeof reason, "labelled 0x%08x (type record 0x%08x), used as 0x%08x",
                 type, m->type_record, used_as);
        return refuse(used_as, reason);
    }
    if (floor_class >= 0 && floor_class < FLOOR_CLASSES) {
        uint32_t floor[FLOOR_CLASSES];
        if (!downgrade_floor_read(floor)) return refuse(used_as, "downgrade floor unreadable");
        if (m->counter < floor[floor_class]) {
            snprintf(reason, sizeof reason, "security counter %u below the floor %u", m->counter,
                     floor[floor_class]);
            return refuse(used_as, reason);
        }
    }
    return 1;
}

// A relaxation that may accept what the production key does not (asked without the notes
// lowsec_is_enabled prints).
bool relaxed() {
    return boot_env_flags.lowsec || presence_proven() || developer_images_running();
}

// The sub-image passes the rules under the production key alone.
bool production_manifest(const uint8_t* image, const image_manifest& m) {
    uint8_t digest[32];
    system_key_record key;
    return manifest_digest(image, m, digest) == 0 && load_system_key(&key, PRODUCTION_KEY_PATH) &&
           IMGSIGN_verifySignature(digest, 32, m.signature, m.signature_len, key.text,
                                   key.length) == 0;
}

bool known_type(uint32_t type) {
    return type == IMAGE_TYPE_APPLICATION || type == IMAGE_TYPE_KVRT ||
           type == IMAGE_TYPE_DIAGNOSTICS || strict_floor_class(type) != FLOOR_NONE;
}

} // namespace

int strict_floor_class(uint32_t type) {
    switch (type) {
    case IMAGE_TYPE_APPLICATION:
    case IMAGE_TYPE_KVRT:
        return FLOOR_APPLICATION;
    case IMAGE_TYPE_KERNEL:
    case IMAGE_TYPE_RFS:
    case IMAGE_TYPE_DEVICETREE:
        return FLOOR_SYSTEM;
    case IMAGE_TYPE_BOOTLOADER:
        return FLOOR_BOOTLOADER;
    default:
        return FLOOR_NONE;
    }
}

int downgrade_floor_read(uint32_t floor[FLOOR_CLASSES]) {
    uint8_t payload[4 * FLOOR_CLASSES];
    int got = board_record_read(kFloorRecord, payload);
    for (int i = 0; i < FLOOR_CLASSES; ++i) floor[i] = image_get_be32(payload + 4 * i);
    return got >= 0;
}

int downgrade_floor_write(const uint32_t floor[FLOOR_CLASSES]) {
    uint8_t payload[4 * FLOOR_CLASSES];
    for (int i = 0; i < FLOOR_CLASSES; ++i) image_put_be32(payload + 4 * i, floor[i]);
    return board_record_write(kFloorRecord, payload);
}

int strict_check_image(const uint8_t* image, size_t size, uint32_t used_as, int floor_class,
                       strict_result* result) {
    strict_result local = {};
    if (!result) result = &local;
    *result = {};
    image_manifest m;
    int found = MANIFEST_NONE;
    if (!check_labels(image, size, used_as, floor_class, &m, &found)) return 0;
    result->counter = m.counter;

    // The signature decision with today's messages and questions.
    const int lowsec = lowsec_is_enabled();
    if (found == MANIFEST_NONE)
        return handle_unsigned_image() ? 1 : refuse(used_as, "no manifest signature");
    uint8_t digest[32];
    int32_t status = manifest_digest(image, m, digest);
    if (status != 0) {
        printf("HASH calculation for signed image failed: rc = %d \n", int(status));
        return refuse(used_as, "manifest digest failed");
    }
    if (!signature_decision(digest, m.signature, m.signature_len, lowsec, &result->production))
        return refuse(used_as, "manifest signature not accepted");
    return 1;
}

int strict_check_package(FILE* package) {
    if (!package || fseeko(package, 0, SEEK_SET) != 0) return 0;
    int verdict = 1;
    for (off_t position = 0; verdict;) {
        uint8_t prefix[IMAGE_PREFIX_SIZE];
        image_header_info info;
        if (fread(prefix, 1, sizeof prefix, package) != sizeof prefix ||
            !image_header_parse(prefix, &info))
            break; // the end, or what the installer reports itself
        const uint64_t total = image_total_size(info);
        const uint32_t type = info.magic & ~uint32_t(IMAGE_MAGIC_LAYOUT2);
        struct stat st;
        if (fstat(fileno(package), &st) != 0 || uint64_t(st.st_size - position) < total ||
            total > SIZE_MAX) {
            if (known_type(type)) verdict = refuse(type, "truncated");
            break;
        }
        uint8_t* image = known_type(type) ? static_cast<uint8_t*>(malloc(size_t(total))) : nullptr;
        if (image) {
            image_manifest m;
            int found = MANIFEST_NONE;
            if (fseeko(package, position, SEEK_SET) != 0 ||
                fread(image, 1, size_t(total), package) != total ||
                image_crc32(image + 4, size_t(total - 4), IMAGE_CRC_START) !=
                    image_get_be32(image + IMAGE_OFF_CRC))
                verdict = refuse(type, "bad CRC");
            else if (!check_labels(image, size_t(total), type, strict_floor_class(type), &m,
                                   &found))
                verdict = 0;
            else if (!relaxed() && found == MANIFEST_NONE)
                verdict = refuse(type, "no manifest signature");
            else if (!relaxed() && !production_manifest(image, m))
                verdict = refuse(type, "manifest signature not accepted");
            free(image);
        }
        position += off_t(total);
        if (fseeko(package, position, SEEK_SET) != 0) break;
    }
    fseeko(package, 0, SEEK_SET);
    return verdict;
}

void strict_raise_floor(int floor_class, const strict_result& result) {
    if (floor_class < 0 || floor_class >= FLOOR_CLASSES || !result.production) return;
    uint32_t floor[FLOOR_CLASSES];
    if (!downgrade_floor_read(floor) || result.counter <= floor[floor_class]) return;
    floor[floor_class] = result.counter;
    downgrade_floor_write(floor);
}

int strict_lower_floor() {
    uint32_t floor[FLOOR_CLASSES];
    if (!downgrade_floor_read(floor)) {
        puts("Downgrade floor unreadable");
        return 0;
    }
    printf("Downgrade floor: application %u, system %u, boot loader %u\n", floor[0], floor[1],
           floor[2]);
    if (!presence_proven()) {
        puts("Establish physical presence (option P) before lowering the downgrade floor");
        return 0;
    }
    if (!ask_yes_no("Lower the downgrade floor to 0?", kLowerTimeout)) {
        puts("Downgrade floor kept");
        return 0;
    }
    const uint32_t zero[FLOOR_CLASSES] = {};
    if (!downgrade_floor_write(zero)) {
        puts("Downgrade floor write failed");
        return 0;
    }
    puts("Downgrade floor lowered to 0");
    return 1;
}
