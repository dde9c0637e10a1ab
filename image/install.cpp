// The package installer: every sub-image of a package checked (CRC, size
// limit, signature) and written to its flash partition, image slot or file;
// and the install log.
#include "image/install.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "board/i2c.h"
#include "board/mtd.h"
#include "board/sys.h"
#include "boot/bootcount.h"
#include "boot/launch.h"
#include "boot/startup.h"
#include "image/image.h"
#include "image/image_read.h"
#include "security/signature.h"
#include "security/strict.h"

namespace {

const uint32_t CHUNK = 0x10000;
const char* const IMAGES_DIR = "/user/images";
const char* const UBOOT_HEADER_FILE = "/user/images/uboot-hdr";
const char* const KVRT_FILE = "/tmp/nos-image.gz";
const char* const INSTALL_LOG = "/user/install.log";

// The flash targets, in the order they are checked.
struct flash_target {
    uint32_t type;
    const char* headline;
    const char* crc_failure;
    const char* size_failure;
    uint32_t limit;
    bool limit_on_data; // the boot loader's limit counts its data only
    bool signed_type;
    int* partition;
    bool data_only; // the boot loader's header goes to a file, not to flash
    const char* write_failure;
};

const flash_target flash_targets[] = {
    {IMAGE_TYPE_RFS, "Installing Root Filesystem: ", "Bad crc for RFS: 0x%08x, voiding download\n",
     "RFS image is too big for flash (%d > %d)\n", 0xA00000, false, true, &mtd_rfs, false,
     "RFS image update failed"},
    {IMAGE_TYPE_DIAGNOSTICS,
     "Installing Diagnostics: ", "Bad crc for DIAGNOSTICS IMAGE: 0x%08x, voiding download\n",
     "DIAGS image is too big for flash (%d > %d)\n", 0xA00000, false, false, &mtd_rescue, false,
     "DIAGS image update failed"},
    {IMAGE_TYPE_DEVICETREE, "Installing Device Tree: ",
     "Bad crc for DFT: 0x%08x, voiding download\n", "DFT image is too big for flash (%d > %d)\n",
     0x40000, false, true, &mtd_devicetree, false, "DFT image update failed"},
    {IMAGE_TYPE_BOOTLOADER,
     "Installing Boot Loader: ", "Bad crc for UBOOT: 0x%08x, voiding download\n",
     "UBOOT image is too big for flash (%d > %d)\n", 0x80000, true, false, &mtd_uboot, true,
     "Uboot image update failed"},
    {IMAGE_TYPE_KERNEL, "Installing Kernel: ", "Bad crc for KERNEL: 0x%08x, voiding download\n",
     "KERNEL image is too big for flash (%d > %d)\n", 0x800000, false, true, &mtd_kernel, false,
     "kernel image update failed"},
};

// One sub-image as read from the package. `held` bytes are in the buffer;
// fewer than `total` when the package ends inside the sub-image.
struct subimage {
    uint32_t type;
    uint32_t hdr_len, data_len;
    uint64_t total;
    uint64_t held;
    uint8_t* bytes;
    image_read_result read; // the CRC and the signed data's digest, computed as it was read
};

void headline(const char* text) {
    fputs(text, stdout);
    fflush(stdout);
}

// The image CRC over what is held; `intact` only when all of the sub-image is
// there and the CRC matches its header.
uint32_t check_crc(const subimage& s, bool* intact) {
    *intact = s.held == s.total && s.read.crc == image_get_be32(s.bytes + IMAGE_OFF_CRC);
    return s.read.crc;
}

// The signature check over the digest taken while the sub-image was read.
int check_signature(const subimage& s) {
    return verify_image_signature_digest(s.bytes, size_t(s.total),
                                         s.read.digest_ok ? s.read.digest : nullptr);
}

// The signature rule of a sub-image installed as `type`: the strict image rules
// for every type in a strict build; otherwise the data signature, for the
// types that carry one.
bool accepted(const subimage& s, uint32_t type, bool signed_type, strict_result* strict) {
    if (kStrictImages)
        return strict_check_image(s.bytes, size_t(s.held), type, strict_floor_class(type),
                                  strict) == 1;
    return !signed_type || check_signature(s) == 1;
}

void make_images_dir() {
    mkdir(sys_path(IMAGES_DIR).c_str(), 0755);
}

// The answer of a slot question: one line of at most 31 characters. 0 at the
// end of input.
int read_answer(char line[32]) {
    memset(line, 0, 32);
    return fgets(line, 32, stdin) != nullptr;
}

void write_uboot_header(const subimage& s) {
    FILE* f = fopen(sys_path(UBOOT_HEADER_FILE).c_str(), "wb");
    if (!f) {
        puts("WARNING: Unable to open /user/images/uboot-hdr for writing");
        return;
    }
    if (fwrite(s.bytes, 1, s.hdr_len, f) != s.hdr_len || fflush(f) != 0)
        printf("WARNING: Uboot header file updated failed (err %d)\n", errno);
    fclose(f);
}

// Writes the whole sub-image to fd with a percentage after each chunk; `shown`
// is how far the percentages have gone, and none is shown twice. False with
// errno set on failure.
bool write_image(int fd, const subimage& s, uint64_t* shown) {
    bool ok = fd >= 0;
    for (uint64_t written = 0; ok && written < s.total;) {
        uint32_t chunk = uint32_t(s.total - written < CHUNK ? s.total - written : CHUNK);
        for (uint32_t done = 0; ok && done < chunk;) {
            ssize_t n = write(fd, s.bytes + written + done, chunk - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (n == 0) errno = EIO;
                ok = false;
            } else {
                done += uint32_t(n);
            }
        }
        if (!ok) break;
        written += chunk;
        if (written > *shown) {
            printf("\b\b\b\b%3.3d%c", int(written * 100 / s.total), '%');
            *shown = written;
        }
    }
    return ok && fsync(fd) == 0;
}

// Writes the sub-image to the slot file. It is written under a temporary
// name, flushed to storage and then renamed over the slot file, so that a
// power cut leaves either the old image or the new one, never a part. When
// /user cannot hold both, the slot file is written in place instead: a cut
// then leaves a part, which its CRC refuses at boot. False with errno set on
// failure (the message printed).
bool write_slot_file(int slot, const subimage& s) {
    make_images_dir();
    char name[48], temporary[48];
    snprintf(name, sizeof name, "/user/images/image%d", slot);
    snprintf(temporary, sizeof temporary, "/user/images/image%d.new", slot);
    std::string final_path = sys_path(name), temp_path = sys_path(temporary);
    int fd = open(temp_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    printf("    ");
    uint64_t shown = 0;
    bool ok = write_image(fd, s, &shown);
    int saved = errno;
    if (fd >= 0) close(fd);
    if (!ok && saved == ENOSPC) {
        unlink(temp_path.c_str());
        fd = open(final_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ok = write_image(fd, s, &shown);
        saved = errno;
        if (fd >= 0) close(fd);
    } else if (ok && rename(temp_path.c_str(), final_path.c_str()) != 0) {
        ok = false;
        saved = errno;
    } else if (ok) {
        int dir = open(sys_path(IMAGES_DIR).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            fsync(dir); // the new name on storage too
            close(dir);
        }
    }
    if (ok) {
        printf("\b\b\b\b100%c\n", '%');
        return true;
    }
    unlink(temp_path.c_str());
    printf("Image%d update failed (err %d)\n", slot, saved);
    errno = saved;
    return false;
}

enum step { NEXT, FAIL, END };

step install_flash(const flash_target& t, const subimage& s, uint8_t same_version, uint32_t slot,
                   uint8_t* installed) {
    headline(t.headline);
    bool intact;
    uint32_t crc = check_crc(s, &intact);
    if (!intact) {
        printf(t.crc_failure, crc);
        return FAIL;
    }
    uint64_t size = t.limit_on_data ? s.data_len : s.total;
    if (size > t.limit) {
        printf(t.size_failure, int(size), int(t.limit));
        return FAIL;
    }
    strict_result strict = {};
    if (!accepted(s, t.type, t.signed_type, &strict)) return FAIL;
    if (same_version && image_same_version(s.bytes, int(slot))) {
        puts("Image has same version as existing image. Skipping update...");
        return NEXT;
    }
    const uint8_t* from = t.data_only ? s.bytes + s.hdr_len : s.bytes;
    uint32_t length = t.data_only ? s.data_len : uint32_t(s.total);
    if (mtd_write(from, *t.partition, 0, length, true) < 0) {
        puts(t.write_failure);
        return FAIL;
    }
    *installed = 1;
    if (kStrictImages) strict_raise_floor(strict_floor_class(t.type), strict);
    if (t.type == IMAGE_TYPE_DIAGNOSTICS) puts("done");
    if (t.type == IMAGE_TYPE_BOOTLOADER) write_uboot_header(s);
    return NEXT;
}

// Does not return when the operator boots the image at once.
step install_application(FILE* package, subimage& s, uint8_t same_version, uint32_t* slot,
                         uint8_t* installed) {
    headline("Installing Application: ");
    bool intact;
    uint32_t crc = check_crc(s, &intact);
    if (!intact) {
        printf("Bad crc for APPLICATION: 0x%08x, voiding download\n", crc);
        return FAIL;
    }
    strict_result strict = {};
    if (!accepted(s, IMAGE_TYPE_APPLICATION, true, &strict)) return FAIL;
    if (*slot == 0) {
        headline("Install image as image 1 or 2 (hit return to just boot image): ");
        char line[32];
        if (read_answer(line) && (line[0] == '1' || line[0] == '2'))
            *slot = uint32_t(line[0] - '0');
    }
    if (*slot == 0) {
        puts("Booting downloaded image");
        FILE* tarball = fopen(sys_path(APP_TARBALL_PATH).c_str(), "wb");
        bool ok = tarball && fwrite(s.bytes + s.hdr_len, 1, s.data_len, tarball) == s.data_len;
        if (tarball && fclose(tarball) != 0) ok = false;
        if (!ok) {
            printf("Image unpack failed (err %d)\n", errno);
            return FAIL;
        }
        puts("Image ready to boot...");
        fclose(package);
        free(s.bytes);
        s.bytes = nullptr;
        if (kStrictImages) strict_raise_floor(FLOOR_APPLICATION, strict);
        launch_application(false);
    }
    printf("Installing image as image%d: ", int(*slot));
    if (same_version && image_same_version(s.bytes, int(*slot))) {
        printf("Image%d has same version as existing image. Skipping update...\n", int(*slot));
        return NEXT;
    }
    bootcount_reset(int(*slot)); // before the new image can be booted: a cut leaves no stale count
    if (!write_slot_file(int(*slot), s)) return FAIL;
    printf("\nImage%d updated succeeded\n", int(*slot));
    *installed = 1;
    // Only now, with the slot file complete on storage, may the board boot it.
    board_set_boot_slot(uint8_t(*slot));
    board_stamp_image(int(*slot));
    return NEXT;
}

step install_kvrt(const subimage& s, uint32_t* slot, uint8_t* installed) {
    headline("Installing K-VRT application: ");
    bool intact;
    uint32_t crc = check_crc(s, &intact);
    if (!intact) {
        printf("Bad crc for K-VRT APPLICATION: 0x%08x, voiding download\n", crc);
        return FAIL;
    }
    if (!accepted(s, IMAGE_TYPE_KVRT, false, nullptr)) return FAIL;
    while (*slot == 0) {
        headline("Install image as image 1 or 2 (q to quit): ");
        char line[32];
        // The end of input can never answer: it quits.
        if (!read_answer(line) || line[0] == 'q' || line[0] == 'Q') return FAIL;
        if (line[0] == '1' || line[0] == '2') *slot = uint32_t(line[0] - '0');
    }
    printf("Installing image as image%d: ", int(*slot));
    printf("Preparing image for installation: ");
    if (!write_file_with_progress(sys_path(KVRT_FILE).c_str(), s.bytes + s.hdr_len, s.data_len)) {
        printf("WARNING: writing image file failed (err %d)\n", errno);
        return FAIL;
    }
    printf("\nImage%d updated succeeded\n", int(*slot));
    *installed = 1;
    board_set_boot_slot(uint8_t(*slot));
    return NEXT;
}

} // namespace

uint8_t image_install_package(const char* path, uint8_t same_version, uint32_t slot) {
    if (!path) return 0;
    // A package may come from the USB stick: anything but a regular file is
    // no package, and nothing beyond the bytes it held when opened is read.
    FILE* package = sys_fopen_regular(path);
    if (!package) return 0;
    make_images_dir();
    puts("\nExtracting images ... Do *NOT* power cycle the switch.");
    // In a strict build a package that would be refused part way is refused whole, first.
    if (kStrictImages && !strict_check_package(package)) {
        fclose(package);
        return 0;
    }

    struct stat st;
    uint64_t file_size = fstat(fileno(package), &st) == 0 ? uint64_t(st.st_size) : 0;
    uint8_t installed = 0;
    for (;;) {
        off_t position = ftello(package);
        uint8_t prefix[IMAGE_PREFIX_SIZE];
        if (position < 0 || uint64_t(position) + sizeof prefix > file_size ||
            fread(prefix, 1, sizeof prefix, package) != sizeof prefix) {
            fclose(package);
            if (!installed) puts("ERROR: No valid image found");
            return installed;
        }
        image_header_info info;
        bool usable = image_header_parse(prefix, &info);
        subimage s = {};
        s.type = info.magic & ~uint32_t(IMAGE_MAGIC_LAYOUT2);
        s.hdr_len = info.hdr_len;
        s.data_len = info.data_len;
        s.total = image_total_size(info);
        // What the package really holds of this sub-image: a hostile length
        // never makes the installer allocate or read more than that. An
        // unusable header counts as a sub-image cut short after its prefix.
        uint64_t left = file_size > uint64_t(position) ? file_size - uint64_t(position) : 0;
        s.held = usable ? (s.total < left ? s.total : left) : uint64_t(IMAGE_PREFIX_SIZE);
        if (!usable) s.total = UINT64_MAX;
        // The buffer holds at least the prefix for the header readers, zeros past a
        // shorter sub-image; only the sub-image's own bytes are read and checked.
        size_t room = size_t(s.held < IMAGE_PREFIX_SIZE ? uint64_t(IMAGE_PREFIX_SIZE) : s.held);
        s.bytes = static_cast<uint8_t*>(malloc(room));
        if (!s.bytes) {
            printf("Failed to allocate buffer for image (%d)\n", int(s.total));
            fclose(package);
            return 0;
        }
        memset(s.bytes + s.held, 0, room - size_t(s.held));
        // One pass over the bytes: the CRC and the digest are taken as they arrive.
        if (fseeko(package, position, SEEK_SET) != 0) {
            memset(s.bytes, 0, size_t(s.held));
            s.read = image_read_result{};
            s.total = UINT64_MAX; // cannot be intact
        } else {
            image_read_checked(package, s.bytes, size_t(s.held), s.hdr_len, &s.read);
            if (s.read.bytes_read != s.held) s.total = UINT64_MAX; // cannot be intact
        }

        step result = NEXT;
        const flash_target* target = nullptr;
        for (const flash_target& t : flash_targets)
            if (t.type == s.type) target = &t;
        if (target)
            result = install_flash(*target, s, same_version, slot, &installed);
        else if (s.type == IMAGE_TYPE_APPLICATION)
            result = install_application(package, s, same_version, &slot, &installed);
        else if (s.type == IMAGE_TYPE_KVRT)
            result = install_kvrt(s, &slot, &installed);
        else if (!usable || s.held < s.total)
            result = END; // an unknown sub-image that runs past the end ends the package
        free(s.bytes);
        if (result == FAIL) {
            fclose(package);
            return 0;
        }
        if (result == END) {
            fclose(package);
            if (!installed) puts("ERROR: No valid image found");
            return installed;
        }
        // The stream stands at the next sub-image.
        if (fseeko(package, position + off_t(s.total), SEEK_SET) != 0) {
            fclose(package);
            return 0;
        }
    }
}

bool write_file_with_progress(const char* path, const uint8_t* data, uint32_t length) {
    FILE* f = path ? fopen(path, "wb") : nullptr;
    printf("    ");
    uint32_t written = 0;
    int last = 0;
    while (written < length) {
        uint32_t chunk = length - written < CHUNK ? length - written : CHUNK;
        if (!f || fwrite(data + written, 1, chunk, f) != chunk) {
            printf("File %s write failed (err %d: bytes_written %d, len %d, wr_len %d)\n", path,
                   errno, int(written), int(length), int(chunk));
            if (f) fclose(f);
            return false;
        }
        written += chunk;
        // Below 256 bytes only the final 100% is shown.
        if (length >= 256) {
            int percent = int((written / 256) * 100ull / (length / 256));
            if (percent != last) {
                printf("\b\b\b\b%3.3d%c", percent, '%');
                fflush(stdout);
                last = percent;
            }
        }
    }
    printf("\b\b\b\b100%c\n", '%');
    if (!f || fclose(f) != 0) {
        printf("File %s write failed (err %d: bytes_written %d, len %d, wr_len %d)\n",
               path ? path : "", errno, int(written), int(length), 0);
        return false;
    }
    return true;
}

int install_log_append(const char* file_name, const char* source) {
    uint8_t c[7] = {};
    rtc_read(c);
    const char* format = "File %s installed from %s at %2.2x:%2.2x:%2.2x on %x-%x-20%2.2x\n";
    printf("Updating install log. ");
    printf(format, file_name, source, c[2] & 0x3F, c[1] & 0x7F, c[0] & 0x7F, c[4] & 0x3F,
           c[5] & 0x1F, c[6]);
    FILE* log = fopen(sys_path(INSTALL_LOG).c_str(), "a");
    if (log) {
        fprintf(log, format, file_name, source, c[2] & 0x3F, c[1] & 0x7F, c[0] & 0x7F, c[4] & 0x3F,
                c[5] & 0x1F, c[6]);
        fclose(log);
    }
    return 1;
}
