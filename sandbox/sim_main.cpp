// switch-sim: makes simulated switches and powers them on in a sandbox.
#include <cstdio>
#include <cstring>

#include "sandbox/sim_common.h"

// switch-sim demo (sim_demo.cpp).
int sim_cmd_demo(int argc, char** argv);

namespace {

const char usage_text[] =
    "usage: switch-sim COMMAND DIR ...\n"
    "  new DIR [--serial TEXT] [--erase-size BYTES]\n"
    "        make a board: erased flash, EEPROM with the serial, boot slot 1, USB boot off\n"
    "  env DIR [KEY=VALUE ...]\n"
    "        set the boot loader environment to exactly these entries, or print it\n"
    "  eeprom DIR OFFSET [BYTE ...]\n"
    "        set EEPROM bytes at OFFSET, or print the byte there (numbers: 213 or 0xD5)\n"
    "  boot DIR [--rtc \"YYYY-MM-DD HH:MM:SS\"] [--usb-after SECONDS] [--timeout SECONDS]\n"
    "       [--target host|ppc|e500] [--link up|down] [--time-scale F]\n"
    "        power the board on once; the console is this terminal; the exit status is\n"
    "        the boot manager's. DIR/usb/, when present, is the USB stick at /mnt/usb,\n"
    "        mounted SECONDS after power-on (default 0). --rtc: 2000 to 2099, what the\n"
    "        board's clock shows. --timeout powers the board off after SECONDS (exit\n"
    "        status 124). --target ppc runs the PowerPC build of the boot manager\n"
    "        (build-ppc/bootmgr-sim) under qemu-ppc-static. --link down starts with the\n"
    "        management link down. --time-scale F makes every sleep of the boot manager\n"
    "        F times as long (0.001 to 1000). Console escape: Ctrl-] x sends a file by\n"
    "        xmodem (sx -k), Ctrl-] q powers the board off\n"
    "  demo [DIR] [boot options]\n"
    "        make a board (in a new temporary directory without DIR) with production-signed\n"
    "        sample applications in image slots 1 and 2 (the older), then boot it; then\n"
    "        rescue DIR-rescue (empty slots) by TFTP with scripted console answers\n"
    "        (--time-scale default 0.1 there, --timeout default 120 a power-on)\n"
    "  events DIR [KIND]\n"
    "        print the board's event log (kinds: shell, cmd, led, reboot, tftpd, dhcpd)\n"
    "  shell DIR [--rtc ...] [--usb-after ...] [--timeout ...] [-- COMMAND ...]\n"
    "        run a command (default: a shell) in the sandbox of a boot, for debugging\n"
    "Network: eth0 reaches 192.0.2.1 only, where a TFTP server serves DIR/tftp/ and a\n"
    "DHCP server offers 192.0.2.100 to 192.0.2.199.\n";

struct command_entry {
    const char* name;
    int (*run)(int argc, char** argv);
};

const command_entry commands[] = {
    {"new", sim_cmd_new},   {"env", sim_cmd_env},       {"eeprom", sim_cmd_eeprom},
    {"boot", sim_cmd_boot}, {"events", sim_cmd_events}, {"shell", sim_cmd_shell},
    {"log", sim_cmd_log},   {"_init", sim_cmd_init},    {"_tiocsti", sim_cmd_tiocsti},
    {"demo", sim_cmd_demo},
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        fputs(usage_text, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    for (const command_entry& command : commands) {
        if (strcmp(argv[1], command.name) == 0) {
            int status = command.run(argc - 1, argv + 1);
            if (fflush(stdout) != 0 && status == 0) status = 1;
            return status;
        }
    }
    sim_error("unknown command '%s'", argv[1]);
    fputs(usage_text, stderr);
    return 2;
}
