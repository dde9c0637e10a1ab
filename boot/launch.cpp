// placeholder: replaced when the application launch lands
#include "boot/launch.h"

#include <cstdio>

int boot_image(int source) {
    (void)source;
    fputs("boot_image: not available in this build\n", stderr);
    return 0;
}
