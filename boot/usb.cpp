// placeholder: replaced when the USB boot media land
#include "boot/usb.h"

#include <cstdio>

int usb_wait_mount() {
    fputs("usb_wait_mount: not available in this build\n", stderr);
    return -1;
}

void usb_check_boot_image() {
    fputs("usb_check_boot_image: not available in this build\n", stderr);
}

int usb_check_replacements() {
    fputs("usb_check_replacements: not available in this build\n", stderr);
    return 0;
}

int image_md5(const char*, char out[33]) {
    out[0] = '\0';
    return 0;
}

int is_rejected(const char*) {
    return 0;
}

void reject_image(const char*) {}
