// The package installer and the install log.
#pragma once
#include <cstdint>

// Installs every sub-image of the package at path. same_version: skip a
// sub-image identical to what is installed; slot: 0 asks, 1 or 2. 1 when at
// least one sub-image was written and nothing failed. Does not return when the
// operator boots an application image at once.
uint8_t image_install_package(const char* path, uint8_t same_version, uint32_t slot);
// Writes data to a new file in 64 KiB chunks with a percentage display.
bool write_file_with_progress(const char* path, const uint8_t* data, uint32_t length);
// Prints and appends one line to /user/install.log. Returns 1.
int install_log_append(const char* file_name, const char* source);
