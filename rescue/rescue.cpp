// Rescue mode: a one-key menu on the serial console from which the operator
// fetches and installs a package, changes the security mode, wipes the keys,
// sets the MAC address, shows the installed versions, starts the diagnostics
// image or reboots. Only T, X, P, R and E are listed; U, V, M, K and D work
// without being listed.
//
// A console at end of input (a hung-up line) can never answer: the menu then
// leaves as Exit would, and a prompt as its quit would, instead of asking again
// for ever.
#include "rescue/rescue.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "board/sys.h"
#include "boot/console.h"
#include "boot/env.h"
#include "boot/launch.h"
#include "boot/startup.h"
#include "image/image.h"
#include "image/install.h"
#include "rescue/download.h"
#include "rescue/network.h"
#include "security/lowsec.h"
#include "security/signature.h"
#include "security/strict.h"

namespace {

const char* const USB_DIR = "/mnt/usb";
const char* const WORK_DIR = "/tmp";

const struct {
    char key;
    const char* line;
} LISTED_OPTIONS[] = {
    {'T', "\t%c) Configure networking and tftp download an image\n"},
    {'X', "\t%c) Use xmodem 1K to serial download an image\n"},
    {'P', "\t%c) Physical presence (low security mode)\n"},
    {'R', "\t%c) Reboot\n"},
    {'E', "\t%c) Exit\n"},
};

// F (the downgrade floor) only in a strict build.
const char* const MENU_KEYS = kStrictImages ? "TXUVRMPKDEF" : "TXUVRMPKDE";

void print_menu() {
    puts("Please select one of the following options:");
    for (const auto& option : LISTED_OPTIONS) printf(option.line, option.key);
}

// Waits for one of the menu keys, upper-cased. End of input chooses E.
int read_choice() {
    for (;;) {
        printf("\nOption? : ");
        fflush(stdout);
        int key = get_key();
        echo_key(key);
        if (boot_env_flags.interrupted) {
            boot_env_flags.interrupted = 0;
            continue;
        }
        if (key == 0) {
            if (console_input_closed()) return 'E';
            continue;
        }
        key = toupper(key);
        for (const char* k = MENU_KEYS; *k != '\0'; ++k)
            if (key == *k) return key;
        printf("unknown option \"%c\". Please try again\n", key);
    }
}

// The leading decimal number of a line, as "%d" reads it: blanks, a sign and
// digits, with any text after them ignored. False when there is no number or
// it does not fit an int.
bool parse_number(const char* text, int* number) {
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (end == text || errno == ERANGE || value < INT_MIN || value > INT_MAX) return false;
    *number = static_cast<int>(value);
    return true;
}

// Entries are examined through the directory's descriptor, so a working
// directory that cannot be changed matters to nothing here.
void change_dir(const char* absolute) {
    if (chdir(sys_path(absolute).c_str()) != 0) return;
}

bool is_directory(DIR* dir, const char* name) {
    struct stat st;
    if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    return S_ISDIR(st.st_mode);
}

void leave_usb_dir(DIR* dir) {
    change_dir(WORK_DIR);
    closedir(dir);
}

void erase_user_filesystem() {
    puts("unmount filesystem");
    fflush(stdout);
    run_shell("/bin/umount /user &> /dev/null");
    puts("\nErasing filesystem for clean install");
    fflush(stdout);
    run_shell("flash_eraseall /dev/mtd-user-char");
    puts("Mounting...");
    fflush(stdout);
    run_shell("/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null");
    puts("creating default filesystem");
    fflush(stdout);
    run_shell("mkdir /user/images &> /dev/null");
}

} // namespace

int rescue_menu() {
    puts("Entering Rescue Mode.");
    for (;;) {
        print_menu();
        switch (read_choice()) {
        case 'T':
            rescue_tftp();
            break;
        case 'X':
            rescue_xmodem();
            break;
        case 'U':
            rescue_usb_install();
            break;
        case 'V':
            show_installed_versions();
            break;
        case 'R':
            sys_sleep(1);
            reboot_board();
        case 'M':
            set_mac_address();
            break;
        case 'P':
            physical_presence_test();
            break;
        case 'K':
            wipe_system_keys();
            break;
        case 'D':
            rescue_diags();
            break;
        case 'F':
            strict_lower_floor();
            break;
        case 'E':
            return 1;
        }
        if (boot_env_flags.interrupted) boot_env_flags.interrupted = 0;
    }
}

int rescue_diags() {
    bool developer = developer_images_running() != 0;
    if (developer) puts("NOTE: switch running developer signed images");
    if (!developer && !lowsec_is_enabled()) {
        puts("Standalone diags cannot be run on a secured switch");
        puts("Please establish physical presence first");
        return 0;
    }
    printf("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ");
    fflush(stdout);
    // No key (an interrupted read, or input that has ended) declines the erase.
    int key = get_key();
    printf("\n");
    if (key != 0 && toupper(key) == 'Y') erase_user_filesystem();
    puts("Booting diags image...");
    fflush(stdout);
    boot_rescue_partition();
    return 1;
}

int rescue_usb_install() {
    DIR* dir = opendir(sys_path(USB_DIR).c_str());
    if (!dir) {
        puts("Unable to open USB directory. Quitting");
        return 0;
    }
    change_dir(USB_DIR);
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (is_directory(dir, entry->d_name)) continue;
        printf("\t%d: %s\n", ++count, printable_text(entry->d_name).c_str());
    }
    printf("Choose file number to install (q to quit): ");
    fflush(stdout);

    int number = 0;
    for (;;) {
        char line[128];
        read_line(line, sizeof line);
        // End of input can never bring a number: it quits as 'q' does.
        if (line[0] == 'q' || line[0] == 'Q' || console_input_closed()) {
            leave_usb_dir(dir);
            return 0;
        }
        if (parse_number(line, &number)) break;
        printf("Invalid file number %s. Try again pleas\n", line);
        fflush(stdout);
    }
    leave_usb_dir(dir);
    if (number <= 0) return 0;

    dir = opendir(sys_path(USB_DIR).c_str());
    if (!dir) {
        puts("Unable to re-open USB directory. Quitting");
        return 0;
    }
    change_dir(USB_DIR);
    std::string chosen;
    count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (is_directory(dir, entry->d_name)) continue;
        if (++count == number) {
            chosen = entry->d_name;
            break;
        }
    }
    if (chosen.empty()) {
        leave_usb_dir(dir);
        return 0;
    }
    printf("Installing %s\n", printable_text(chosen.c_str()).c_str());
    fflush(stdout);
    leave_usb_dir(dir);
    std::string path = std::string(USB_DIR) + '/' + chosen;
    int installed = image_install_package(path.c_str(), 0, 0);
    // The log keeps one line an install, whatever bytes the name holds.
    if (installed == 1) install_log_append(printable_text(path.c_str()).c_str(), "USB");
    return installed;
}
