// placeholder: replaced when the rescue downloads land
#include "rescue/download.h"

#include <cstdio>

int rescue_tftp() {
    fputs("rescue_tftp: not available in this build\n", stderr);
    return 0;
}

int rescue_xmodem() {
    fputs("rescue_xmodem: not available in this build\n", stderr);
    return 0;
}

int serial_prepare_download() {
    return -1;
}

void serial_restore(int) {}
