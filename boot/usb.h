// USB boot media and the rejected list.
#pragma once

// Waits for the USB stick: 0 when mounted (or USB boot not enabled), -1 on time-out.
int usb_wait_mount();
// Installs the USB boot package when there is one; does not return when installed.
void usb_check_boot_image();
// Boot choice from the USB stick: 0 nothing, 1 or 2 slot replaced, 3 boot the USB image.
int usb_check_replacements();
// The MD5 digest of a file as 32 lower-case hex digits and a zero byte. 1 or 0.
int image_md5(const char* path, char out[33]);
// 1 when the image is on the rejected list.
int is_rejected(const char* path);
// Puts the image on the rejected list.
void reject_image(const char* path);
