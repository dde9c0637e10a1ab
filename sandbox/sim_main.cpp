// switch-sim: makes simulated switches and powers them on in a sandbox.
#include <cstdio>
#include <cstring>

#include "sandbox/sim_common.h"

// switch-sim demo (sim_demo.cpp).
int sim_cmd_demo(int argc, char** argv);

namespace {

// Each command's synopsis and description; "switch-sim COMMAND --help" prints one, the
// usage text all of them.
struct command_entry {
    const char* name;
    int (*run)(int argc, char** argv);
    const char* help; // null: runs in the sandbox, not offered
};

const command_entry commands[] = {
    {"new", sim_cmd_new,
     "new DIR [--serial TEXT] [--erase-size BYTES]\n"
     "        make a board: erased flash, EEPROM with the serial, boot slot 1, USB boot off\n"},
    {"env", sim_cmd_env,
     "env DIR [KEY=VALUE ...]\n"
     "        set the boot loader environment to exactly these entries (KEY= leaves KEY\n"
     "        out), or print it\n"},
    {"eeprom", sim_cmd_eeprom,
     "eeprom DIR OFFSET [BYTE ...]\n"
     "        set EEPROM bytes at OFFSET, or print the byte there (numbers: 213 or 0xD5)\n"},
    {"boot", sim_cmd_boot,
     "boot DIR [--rtc \"YYYY-MM-DD HH:MM:SS\"] [--usb-after SECONDS] [--timeout SECONDS]\n"
     "       [--target host|ppc|e500] [--link up|down] [--time-scale F]\n"
     "        power the board on once; the console is this terminal. DIR/usb/, when\n"
     "        present, is the USB stick at /mnt/usb, mounted SECONDS after power-on\n"
     "        (default 0). --rtc: 2000 to 2099, what the board's clock shows. --timeout\n"
     "        powers the board off after SECONDS. --target ppc runs the PowerPC build of\n"
     "        the boot manager (build-ppc/bootmgr-sim) under qemu-ppc-static. --link down\n"
     "        starts with the management link down. --time-scale F makes every sleep of\n"
     "        the boot manager F times as long (0.001 to 1000). Console escape: Ctrl-] x\n"
     "        sends a file by xmodem (sx -k), Ctrl-] q powers the board off. One board is\n"
     "        powered on once at a time. Afterwards one line says how the board stopped;\n"
     "        exit status 0 rebooted, 124 powered off by --timeout, 125 powered off by the\n"
     "        operator (Ctrl-] q), 128+N stopped by signal N (131: Ctrl-\\); when the\n"
     "        program ended without a reboot (the application the boot manager started,\n"
     "        or the boot manager itself) its own status\n"},
    {"demo", sim_cmd_demo,
     "demo [DIR] [boot options]\n"
     "        make a board (in a new temporary directory without DIR) with production-signed\n"
     "        sample applications in image slots 1 and 2 (the older), then boot it; then\n"
     "        rescue DIR-rescue (empty slots) by TFTP with scripted console answers\n"
     "        (--time-scale default 0.1 there, --timeout default 120 a power-on)\n"},
    {"events", sim_cmd_events,
     "events DIR [KIND] [--raw]\n"
     "        print the board's event log with the board's clock time (kinds: shell, cmd,\n"
     "        led, reboot, tftpd, dhcpd); --raw: as written, host seconds first\n"},
    {"shell", sim_cmd_shell,
     "shell DIR [--rtc ...] [--usb-after ...] [--timeout ...] [-- COMMAND ...]\n"
     "        run a command (default: a shell; a bare name is searched in the sandbox's\n"
     "        PATH) in the sandbox of a boot, for debugging; the exit status is its own\n"},
    {"log", sim_cmd_log, nullptr},
    {"_init", sim_cmd_init, nullptr},
    {"_tiocsti", sim_cmd_tiocsti, nullptr},
};

const char network_text[] =
    "Network: eth0 reaches 192.0.2.1 only, where a TFTP server serves DIR/tftp/ and a\n"
    "DHCP server offers 192.0.2.100 to 192.0.2.199.\n";

void print_usage(FILE* out) {
    fputs("usage: switch-sim COMMAND DIR ...\n", out);
    for (const command_entry& command : commands)
        if (command.help) fprintf(out, "  %s", command.help);
    fputs(network_text, out);
}

// "--help" or "-h" among a command's own words (those before "--").
bool wants_help(int argc, char** argv) {
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i)
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) return true;
    return false;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        print_usage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    for (const command_entry& command : commands) {
        if (strcmp(argv[1], command.name) == 0) {
            if (command.help && wants_help(argc - 1, argv + 1)) {
                printf("usage: switch-sim %s", command.help);
                return fflush(stdout) == 0 ? 0 : 1;
            }
            int status = command.run(argc - 1, argv + 1);
            if (fflush(stdout) != 0 && status == 0) status = 1;
            return status;
        }
    }
    sim_error("unknown command '%s'", argv[1]);
    print_usage(stderr);
    return 2;
}
