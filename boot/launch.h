// Application launch: from an image slot, the USB stick or the rescue
// partition to a running application.
#pragma once
#include <cstddef>
#include <cstdint>

#define APP_TARBALL_PATH "/tmp/veloximage.tar.gz"

// Boots source 1, 2 (image slots) or 3 (the USB image). Returns 0 when the
// source could not be booted; does not return once the application launched.
int boot_image(int source);
// Unpacks the application tarball and starts the application. Does not return.
[[noreturn]] void launch_application(bool is_diags);
// Boots the image in the rescue partition. 0 when it is missing or broken.
int boot_rescue_partition();
// Takes the debugger from the other image slot. 1 when /tmp/gdb is ready.
int extract_gdb(int booted);
// True when the image CRC over count bytes differs from expected.
bool image_crc_mismatch(const uint8_t* bytes, size_t count, uint32_t expected);
