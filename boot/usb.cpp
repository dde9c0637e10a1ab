// USB boot media: the boot package, replacement images for the image slots,
// the application image booted from the stick, and the rejected list of
// images the operator has already been offered.
//
// The platform mounts the stick at /mnt/usb and creates /tmp/usb once its
// files are readable; this code only waits for that marker. Every file on the
// stick is hostile: its digest text is checked before it names a file, and
// every path goes into a shell command as one quoted word. A name on the stick
// counts only when it opens, without blocking, as a regular file: a FIFO, a
// device or a directory under one of the names is treated as absent, and no
// digest is taken of it.
#include "boot/usb.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "board/sys.h"
#include "boot/console.h"
#include "boot/env.h"
#include "boot/startup.h"
#include "image/install.h"

namespace {

const char* const USB_MOUNT_MARKER = "/tmp/usb";
const char* const USB_BOOT_PACKAGE = "/mnt/usb/LQX4410_Boot.img";
const char* const USB_REPLACE1 = "/mnt/usb/LQX4410_replace1_OS.img";
const char* const USB_REPLACE2 = "/mnt/usb/LQX4410_replace2_OS.img";
const char* const USB_OS_IMAGE = "/mnt/usb/LQX4410_OS.img";
const char* const REJECTED_DIR = "/user/images/rejected";
const char* const MD5_SCRATCH = "/tmp/img_md5string";

enum : int { USB_MOUNT_WAIT_SECONDS = 10, MD5_HEX_LENGTH = 32 };

bool file_exists(const char* absolute) {
    struct stat st;
    return stat(sys_path(absolute).c_str(), &st) == 0;
}

std::string rejected_marker(const char* digest) {
    return std::string(REJECTED_DIR) + "/" + digest;
}

// Offers one replacement image: asks first when it is on the rejected list.
// 1 installed, 0 not installed, -1 the operator declined (stop looking).
int offer_replacement(const char* path, int slot) {
    printf("USB image (file '%s') replacement for image%d found\n", strrchr(path, '/') + 1, slot);
    if (is_rejected(path)) {
        if (!ask_yn_poll("Replacement USB image is in rejected list.\n"
                         "Would you still like to load it? "))
            return -1;
        puts("Continuing with replacement USB image...");
    }
    if (!image_install_package(path, 1, static_cast<uint32_t>(slot))) return 0;
    install_log_append(path, "USB");
    printf("Image%d has been successfully replaced\n", slot);
    return 1;
}

} // namespace

int usb_wait_mount() {
    if (!boot_env_flags.usb_boot) return 0;
    printf("Attempting to mount file system on USB flash drive; this can take up to %d "
           "seconds.\n",
           USB_MOUNT_WAIT_SECONDS);
    fflush(stdout);
    sys_sleep(1);
    for (int look = 0; look < USB_MOUNT_WAIT_SECONDS; ++look) {
        if (file_exists(USB_MOUNT_MARKER)) {
            puts("USB mounted and ready!");
            return 0;
        }
        putchar('.');
        fflush(stdout);
        sys_sleep(1);
    }
    puts("USB mount timed out");
    return -1;
}

void usb_check_boot_image() {
    if (!sys_is_regular(USB_BOOT_PACKAGE)) {
        puts("No boot image found on USB.");
        return;
    }
    puts("Boot image found on USB.");
    if (!image_install_package(USB_BOOT_PACKAGE, 1, 0)) return;
    install_log_append(USB_BOOT_PACKAGE, "USB");
    reboot_board();
}

int usb_check_replacements() {
    int choice = 0;
    if (sys_is_regular(USB_REPLACE2)) {
        int offered = offer_replacement(USB_REPLACE2, 2);
        if (offered < 0) return 0;
        if (offered > 0) choice = 2;
    }
    if (sys_is_regular(USB_REPLACE1)) {
        int offered = offer_replacement(USB_REPLACE1, 1);
        if (offered < 0) return 0;
        if (offered > 0) choice = 1;
    }
    if (choice != 0) {
        printf("USB replacement image: board will boot with image%d.\n", choice);
        return choice;
    }
    if (!sys_is_regular(USB_OS_IMAGE)) {
        puts("No valid image found on USB");
        return 0;
    }
    return 3;
}

int image_md5(const char* path, char out[33]) {
    if (!out) return 0;
    out[0] = '\0';
    if (!path) return 0;
    // A digest left by an earlier image must never stand in for this one.
    std::string scratch = sys_path(MD5_SCRATCH);
    unlink(scratch.c_str());
    std::string command = "/bin/busybox md5sum " + shell_quote(path) + " > " + MD5_SCRATCH;
    run_shell(command.c_str());

    FILE* f = fopen(scratch.c_str(), "r");
    if (!f) return 0;
    char digest[MD5_HEX_LENGTH + 1] = {};
    size_t got = fread(digest, 1, MD5_HEX_LENGTH, f);
    fclose(f);
    if (got != MD5_HEX_LENGTH) return 0;
    // The digest names a file of the rejected list: only lower-case hex digits will do.
    for (int i = 0; i < MD5_HEX_LENGTH; ++i) {
        char c = digest[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return 0;
    }
    memcpy(out, digest, sizeof digest);
    return 1;
}

int is_rejected(const char* path) {
    char digest[MD5_HEX_LENGTH + 1];
    if (!image_md5(path, digest)) {
        puts("Warning: Cannot determine if image is in rejected list!");
        return 0;
    }
    return file_exists(rejected_marker(digest).c_str()) ? 1 : 0;
}

void reject_image(const char* path) {
    char digest[MD5_HEX_LENGTH + 1];
    if (!image_md5(path, digest)) {
        puts("Warning: Cannot add image to rejected list!");
        return;
    }
    std::string marker = rejected_marker(digest);
    if (file_exists(marker.c_str())) return;
    run_shell("mkdir -p /user/images/rejected");
    run_shell(("touch " + shell_quote(marker.c_str())).c_str());
}
