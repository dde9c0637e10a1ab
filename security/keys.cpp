// placeholder: replaced when the system keys land
#include "security/keys.h"

#include <cstdio>

int check_system_keys() {
    fputs("check_system_keys: not available in this build\n", stderr);
    return 0;
}
