// bootmgr-confirm: run by the application once it has started well. With boot counting on
// (bootlimit=N in the boot loader environment), the count of the slot that was launched goes
// back to 0, so that the boot manager does not pass that slot over.
#include <cstdio>

#include "board/i2c.h"
#include "boot/bootcount.h"

int main(int argc, char** argv) {
    (void)argc;
    (void)argv;
    if (i2c_open_buses() < 0) return 1;
    int slot = bootcount_confirm();
    i2c_close_buses();
    if (slot < 0) {
        fputs("bootmgr-confirm: the board EEPROM could not be read or written\n", stderr);
        return 1;
    }
    if (slot > 0) printf("Image%d start confirmed\n", slot);
    return 0;
}
