// The boot manager's entry point and top-level boot policy: bring up the
// board, read the boot environment, set the clock, mount /user, honour a
// rescue or diagnostics request, offer USB media, boot the slot the board
// names and then the other one; reboot when nothing could be started.
#include <cstdio>

#include "board/i2c.h"
#include "board/mtd.h"
#include "board/sys.h"
#include "boot/env.h"
#include "boot/launch.h"
#include "boot/startup.h"
#include "boot/usb.h"
#include "crypto/random/random.h"
#include "rescue/network.h"
#include "rescue/rescue.h"
#include "security/keys.h"

namespace {

const char* const USB_IMAGE_NAME = "LQX4410_OS.img";

// USB media: the boot package, replacement images, the USB application
// image. Returns the boot choice (0 when nothing was chosen).
int offer_usb_media() {
    boot_env_flags.usb_boot = board_get_usb_boot() == USB_BOOT_ENABLED ? 1 : 0;
    if (boot_env_flags.usb_boot && usb_wait_mount() < 0) boot_env_flags.usb_boot = 0;
    if (!boot_env_flags.usb_boot) return 0;

    usb_check_boot_image();
    int choice = usb_check_replacements();
    if (choice == 3) {
        printf("Booting image '%s' from USB stick.\n", USB_IMAGE_NAME);
        if (boot_image(3)) reboot_board();
        puts("USB Boot failed. Trying flash images.");
        choice = 0;
    }
    return choice;
}

} // namespace

int main(int argc, char** argv) {
    (void)argc;
    (void)argv;
    // The console is a terminal: keep standard output line by line even when
    // it is not one, so that messages keep their order around the commands run.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    install_interrupt_handler();
    i2c_open_buses();
    mtd_open_partitions();
    TOOLKIT_initialize();
    read_boot_environment();
    set_clock_from_rtc();
    mount_user_filesystem();
    if (!check_system_keys()) puts("WARNING - problem with security keys. No keys found");

    if (boot_env_flags.diag_rescue) rescue_menu();
    if (boot_env_flags.diag_diags) rescue_diags();

    int choice = offer_usb_media();
    if (choice == 0) choice = choose_boot_slot();

    if (boot_env_flags.gdbserver) network_setup(true);

    printf("Booting image '%d'\n", choice);
    if (!boot_image(choice)) {
        int other = choice == 1 ? 2 : 1;
        printf("Booting image '%d'\n", other);
        boot_env_flags.second_attempt = 1;
        boot_image(other);
    }
    reboot_board();
}
