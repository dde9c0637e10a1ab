// placeholder: replaced when the rescue menu lands
#include "rescue/rescue.h"

#include <cstdio>

int rescue_menu() {
    fputs("rescue_menu: not available in this build\n", stderr);
    return 1;
}

int rescue_diags() {
    fputs("rescue_diags: not available in this build\n", stderr);
    return 0;
}

int rescue_usb_install() {
    fputs("rescue_usb_install: not available in this build\n", stderr);
    return 0;
}
