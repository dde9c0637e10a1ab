// placeholder: replaced when the network configuration lands
#include "rescue/network.h"

#include <cstdio>

bool network_setup(bool ask_dhcp) {
    (void)ask_dhcp;
    fputs("network_setup: not available in this build\n", stderr);
    return false;
}
