// Rescue downloads: a package fetched by TFTP or received by xmodem into
// /tmp/image, then installed.
#pragma once

#define RESCUE_DOWNLOAD_PATH "/tmp/image"

// Menu option T: network settings, the file name, three attempts. The installer's result.
int rescue_tftp();
// Menu option X: the operator's two handshakes around the xmodem receiver. The installer's result.
int rescue_xmodem();
// Puts /dev/ttyS0 in the receiver's mode. Its descriptor, or -1.
int serial_prepare_download();
// Puts /dev/ttyS0 back as it was and closes it.
void serial_restore(int fd);
