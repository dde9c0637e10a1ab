// Application launch: an image slot, the USB image or the rescue partition
// taken to a running application, plainly, under a debugger or a debug
// server, or with the memory checker preloaded.
#include "boot/launch.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "board/i2c.h"
#include "board/mtd.h"
#include "board/sys.h"
#include "boot/bootcount.h"
#include "boot/console.h"
#include "boot/env.h"
#include "boot/startup.h"
#include "boot/usb.h"
#include "image/image.h"
#include "image/image_read.h"
#include "rescue/rescue.h"
#include "security/signature.h"
#include "security/strict.h"

namespace {

const char* const USB_IMAGE_PATH = "/mnt/usb/LQX4410_OS.img";
const char* const APP_PATH = "/tmp/home/bin/mp.elf.strip";
const char* const INSTALL_SCRIPT = "/tmp/home/bin/install.sh";
const char* const ENV_SETUP = "/tmp/home/bin/env-setup";
const char* const GDB_PATH = "/tmp/gdb";
const char* const GDB_ARCHIVE = "/tmp/gdb.gz";
const char* const RECOVERY_COPY = "/tmp/image";
const char* const BACKTRACE = "/bin/backtrace";

// Launch commands are composed here before they are run.
char command_buffer[256];

// Standard output is flushed first, so that messages keep their place
// around what the command prints.
int shell(const char* command) {
    fflush(stdout);
    return run_shell(command);
}

void shell_when_wanted() {
    if (boot_env_flags.shell) shell("/bin/sh\n");
}

bool file_exists(const char* absolute) {
    struct stat st;
    return stat(sys_path(absolute).c_str(), &st) == 0;
}

FILE* open_slot(int slot) {
    char name[32];
    snprintf(name, sizeof name, "/user/images/image%d", slot);
    return fopen(sys_path(name).c_str(), "rb");
}

void close_file(FILE** f) {
    if (*f) fclose(*f);
    *f = nullptr;
}

// Makes a file that another program is about to use durable first.
void sync_file(const char* absolute) {
    int fd = open(sys_path(absolute).c_str(), O_RDONLY);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// Neither slot file could be opened: rescue mode, the shell, a reboot.
[[noreturn]] void rescue_and_reboot() {
    rescue_menu();
    shell_when_wanted();
    reboot_board();
}

// Replaces the process; comes back only when that failed.
[[noreturn]] void start_replacing(const char* path, char* const argv[]) {
    sys_exec(path, argv);
    fputs("Failed to start Application OS.\n", stderr);
    reboot_board();
}

// Sets the variables listed in env-setup: pairs of blank-separated words. A
// last word without a partner becomes a variable with an empty value.
void apply_env_setup() {
    FILE* f = fopen(sys_path(ENV_SETUP).c_str(), "r");
    if (!f) return;
    static char name[512], value[512];
    for (;;) {
        memset(name, 0, sizeof name);
        memset(value, 0, sizeof value);
        if (fscanf(f, "%511s %511s", name, value) < 1) break;
        setenv(name, value, 1);
    }
    fclose(f);
}

// The signature rule of a booted image: the strict image rules in a strict
// build, the data signature (its digest taken as it was read) otherwise.
bool boot_accepted(const uint8_t* image, size_t size, uint32_t type, const image_read_result& read,
                   strict_result* strict) {
    if (kStrictImages) return strict_check_image(image, size, type, FLOOR_APPLICATION, strict) == 1;
    return verify_image_signature_digest(image, size, read.digest_ok ? read.digest : nullptr) == 1;
}

} // namespace

bool image_crc_mismatch(const uint8_t* bytes, size_t count, uint32_t expected) {
    return image_crc32(bytes, count, IMAGE_CRC_START) != expected;
}

int boot_image(int source) {
    FILE* image = nullptr;
    if (source == 1 || source == 2) {
        image = open_slot(source);
        if (!image) {
            int other = source == 1 ? 2 : 1;
            fprintf(stderr, "Failed to open Application image %d. Trying image %d.\n", source,
                    other);
            source = other;
            image = open_slot(source);
            if (!image) {
                fprintf(stderr, "Failed to open Application image %d.\n", source);
                rescue_and_reboot();
            }
        }
    } else if (source == 3) {
        // Only a regular file is read, and only then is its digest taken: a FIFO
        // or a device on the stick is not there.
        image = sys_fopen_regular(USB_IMAGE_PATH);
        if (!image) {
            fputs("Failed to open application image from USB.\n", stderr);
            return 0;
        }
        if (!is_rejected(USB_IMAGE_PATH)) {
            // Boots without a question the first time only.
            reject_image(USB_IMAGE_PATH);
        } else if (ask_yn_poll(
                       "USB image is in rejected list.\nWould you still like to load it? ")) {
            puts("Continuing to load USB image...");
        } else {
            fclose(image);
            return 0;
        }
    } else {
        return 0;
    }
    int other = source == 1 ? 2 : 1;
    if (!bootcount_admit(source)) {
        fclose(image);
        if (boot_env_flags.second_attempt) rescue_and_reboot();
        return 0;
    }

    FILE* tarball = fopen(sys_path(APP_TARBALL_PATH).c_str(), "wb");
    if (!tarball) {
        fputs("Failed to open application image output file.\n", stderr);
        fclose(image);
        shell_when_wanted();
        reboot_board();
    }

    image_bootable found = {};
    if (!image_find_bootable(image, &found)) {
        close_file(&image);
        close_file(&tarball);
        if (source == 3) {
            fputs("Error: USB image corrupted or belongs to another switch type.\n", stderr);
            return 0;
        }
        if (boot_env_flags.second_attempt) {
            fputs("No valid application image found. Trying rescue image\n", stderr);
            rescue_and_reboot();
        }
        fprintf(stderr, "Image has invalid header 0x%x. (0x%x)\n",
                image_get_be32(found.base + IMAGE_OFF_MAGIC), IMAGE_TYPE_DIAGNOSTICS);
        fprintf(stderr, "Image%d has invalid header... trying Image%d.\n", source, other);
        return 0;
    }

    // The file may end inside the sub-image: only what is there is read, and a
    // truncated sub-image fails its CRC check.
    uint64_t total = uint64_t(found.hdr_len) + found.data_len;
    // The scan measured what the file holds of it: never more than that is allocated.
    uint64_t held = found.available;
    uint8_t* buffer = static_cast<uint8_t*>(malloc(held ? size_t(held) : 1));
    image_read_result read = {};
    bool intact = false;
    if (buffer) {
        image_read_checked(image, buffer, size_t(held), found.hdr_len, &read);
        intact = held == total && read.bytes_read == total && total >= 4 &&
                 read.crc == image_get_be32(found.base + IMAGE_OFF_CRC);
    }
    if (!intact) {
        free(buffer);
        close_file(&image);
        close_file(&tarball);
        if (source == 3) {
            fputs("USB image CRC failed.", stderr);
            return 0;
        }
        if (boot_env_flags.second_attempt) {
            fputs("Both image1 and image2 failed.\n", stderr);
            shell_when_wanted();
            reboot_board();
        }
        fprintf(stderr, "Image%d CRC failed, trying Image%d now.\n", source, other);
        return 0;
    }

    strict_result strict = {};
    if (!boot_accepted(buffer, size_t(total), found.type, read, &strict)) {
        puts("Image has invalid signature. Quitting");
        free(buffer);
        close_file(&image);
        close_file(&tarball);
        return 0;
    }

    putchar('\n');
    fwrite(buffer + found.hdr_len, 1, found.data_len, tarball);
    free(buffer);
    close_file(&image);
    close_file(&tarball);
    bootcount_started(source);
    board_set_boot_source(uint8_t(source));
    if (kStrictImages) strict_raise_floor(FLOOR_APPLICATION, strict);
    if (boot_env_flags.gdb && !boot_env_flags.gdbserver) extract_gdb(source);
    launch_application(found.type == IMAGE_TYPE_DIAGNOSTICS);
}

void launch_application(bool is_diags) {
    sys_sleep(1);
    snprintf(command_buffer, sizeof command_buffer, "cd /tmp \ntar mxzf %s \nrm %s\n",
             APP_TARBALL_PATH, APP_TARBALL_PATH);
    if (shell(command_buffer) < 0) {
        fputs("Failed to gunzip Application OS.\n", stderr);
        reboot_board();
    }
    i2c_close_buses();

    if (is_diags) {
        puts("install diags image");
        shell("mkdir -p /tmp/home/bin");
        shell("mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip");
    }
    if (file_exists(INSTALL_SCRIPT)) {
        puts("Running install script");
        shell(INSTALL_SCRIPT);
        apply_env_setup();
    }
    if (boot_env_flags.shell) {
        puts("Dropping into shell");
        snprintf(command_buffer, sizeof command_buffer, "/bin/sh\n");
        shell(command_buffer);
        puts("Dropping out of shell");
    }

    const boot_env_flags_t& f = boot_env_flags;
    if (f.gdbserver) {
        snprintf(command_buffer, sizeof command_buffer,
                 f.memchk ? "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :%d %s\n"
                          : "/bin/gdbserver :%d %s\n",
                 f.gdbport, APP_PATH);
        shell(command_buffer);
        reboot_board();
    }
    if (f.gdb && file_exists(GDB_PATH)) {
        puts("*** Launching under GDB ***");
        shell("/tmp/gdb /tmp/home/bin/mp.elf.strip");
        reboot_board();
    }
    char backtrace[] = "/bin/backtrace";
    char* const backtrace_argv[] = {backtrace, nullptr};
    if (f.gdb) {
        puts("**** GDB mode selected but GDB not available. Please install GDB image ***");
        start_replacing(BACKTRACE, backtrace_argv);
    }
    if (f.memchk) {
        snprintf(command_buffer, sizeof command_buffer, "LD_PRELOAD=libduma.so.0.0.0 %s\n",
                 APP_PATH);
        char sh[] = "/bin/sh", dash_c[] = "-c";
        char* const sh_argv[] = {sh, dash_c, command_buffer, nullptr};
        start_replacing("/bin/sh", sh_argv);
    }
    start_replacing(BACKTRACE, backtrace_argv);
}

int boot_rescue_partition() {
    FILE* tarball = fopen(sys_path(APP_TARBALL_PATH).c_str(), "wb");
    if (!tarball) {
        fputs("Failed to open AppOS tarfile.\n", stderr);
        reboot_board();
    }
    uint8_t prefix[IMAGE_PREFIX_SIZE] = {};
    if (mtd_read(prefix, mtd_rescue, 0, sizeof prefix) != 0) memset(prefix, 0, sizeof prefix);
    image_header_info info;
    bool usable = image_header_parse(prefix, &info);
    uint32_t type = info.magic & ~uint32_t(IMAGE_MAGIC_LAYOUT2);
    if (type != IMAGE_TYPE_APPLICATION && type != IMAGE_TYPE_DIAGNOSTICS) {
        fputs("Image not found... \n", stderr);
        fclose(tarball);
        return 0;
    }

    // A sub-image larger than the partition cannot be intact: nothing beyond
    // the partition is read.
    mtd_geometry geometry = {};
    uint64_t total = image_total_size(info);
    uint8_t* buffer = nullptr;
    if (usable && mtd_get_geometry(mtd_rescue, &geometry) && total <= geometry.total_size)
        buffer = static_cast<uint8_t*>(malloc(size_t(total)));
    if (!buffer || mtd_read(buffer, mtd_rescue, 0, uint32_t(total)) != 0 ||
        image_crc_mismatch(buffer + 4, size_t(total - 4), image_get_be32(buffer))) {
        fputs("Image CRC failed. Quitting\n", stderr);
        free(buffer);
        fclose(tarball);
        return 0;
    }
    if (kStrictImages && !strict_check_image(buffer, size_t(total), type, FLOOR_NONE, nullptr)) {
        free(buffer);
        fclose(tarball);
        return 0;
    }
    const uint8_t* data = buffer + info.hdr_len;
    fwrite(data, 1, info.data_len, tarball);
    fclose(tarball);

    if (type == IMAGE_TYPE_DIAGNOSTICS) {
        puts("Launching diagnostics image");
        tarball = fopen(sys_path(APP_TARBALL_PATH).c_str(), "wb");
        if (!tarball) {
            fputs("Failed to open diags image file.\n", stderr);
            reboot_board();
        }
        fwrite(data, 1, info.data_len, tarball);
        fclose(tarball);
        board_set_boot_source(4);
    } else {
        printf("Install recovery image as image 1 or 2 (hit return to just boot image): ");
        fflush(stdout);
        char line[8];
        if (fgets(line, sizeof line, stdin)) {
            char digit = line[0];
            if (digit != '1' && digit != '2') {
                puts("\nBooting recovery image. You will need to download and install an image "
                     "before rebooting");
                board_set_boot_source(4);
            } else {
                printf("\nInstalling recovery image as image%c...\n", digit);
                FILE* copy = fopen(sys_path(RECOVERY_COPY).c_str(), "wb");
                if (!copy) {
                    fputs("Failed to open image file.\n", stderr);
                    reboot_board();
                }
                fwrite(buffer, 1, size_t(total), copy);
                fclose(copy);
                // The directory is made here too: the shell's mkdir below runs
                // in the background and could lose the race with the copy.
                mkdir(sys_path("/user/images").c_str(), 0755);
                shell("mkdir /user/images &> /dev/null");
                bootcount_reset(digit - '0');
                snprintf(command_buffer, sizeof command_buffer,
                         "cp /tmp/image /user/images/image%c\n", digit);
                shell(command_buffer);
                int slot = digit - '0';
                char slot_file[32];
                snprintf(slot_file, sizeof slot_file, "/user/images/image%d", slot);
                sync_file(slot_file); // on storage before the boot slot register names it
                printf("Setting boot image to %d\n", slot);
                board_set_boot_slot(uint8_t(slot));
                board_set_boot_source(uint8_t(slot));
            }
        }
    }
    free(buffer);
    launch_application(type == IMAGE_TYPE_DIAGNOSTICS);
}

int extract_gdb(int booted) {
    int slot;
    if (booted == 1)
        slot = 2;
    else if (booted == 2)
        slot = 1;
    else
        return 0;
    printf("Extracting GDB from image slot %d\n", slot);
    FILE* image = open_slot(slot);
    if (!image) {
        fprintf(stderr, "Failed to open GDB image (from slot %d)\n", slot);
        return 0;
    }
    FILE* out = fopen(sys_path(GDB_ARCHIVE).c_str(), "wb");
    if (!out) {
        fputs("Failed to open GDB output file.\n", stderr);
        fclose(image);
        return 0;
    }
    uint8_t prefix[IMAGE_PREFIX_SIZE] = {};
    size_t got = fread(prefix, 1, sizeof prefix, image);
    image_header_info info;
    image_header_parse(prefix, &info);
    if (got != sizeof prefix ||
        (info.magic & ~uint32_t(IMAGE_MAGIC_LAYOUT2)) != IMAGE_TYPE_APPLICATION) {
        fprintf(stderr, "Image has invalid header 0x%x\n", info.magic);
        fclose(out);
        fclose(image);
        return 0;
    }
    printf("Found GDB image %d of length = %u.\n", slot, info.data_len);
    // Byte by byte up to the end of the data or of the file, whichever comes first.
    if (fseeko(image, off_t(info.hdr_len), SEEK_SET) == 0) {
        for (uint32_t i = 0; i < info.data_len; ++i) {
            int c = getc(image);
            if (c == EOF) break;
            putc(c, out);
        }
    }
    fclose(out);
    fclose(image);
    puts("decompressing GDB....");
    shell("gunzip /tmp/gdb.gz");
    if (shell("tar -tf /tmp/gdb > /dev/null 2>&1") == 0) {
        fputs("Unexpected format for GDB image.\n", stderr);
        shell("rm /tmp/gdb");
        return 0;
    }
    shell("chmod +x /tmp/gdb");
    return 1;
}
