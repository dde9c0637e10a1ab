// Rescue downloads: a package fetched by TFTP or received by xmodem into
// /tmp/image, then installed and logged.
#include "rescue/download.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <termios.h>
#include <unistd.h>

#include "board/sys.h"
#include "boot/console.h"
#include "boot/env.h"
#include "image/install.h"
#include "rescue/network.h"

namespace {

enum : size_t { FILE_NAME_SIZE = 128 };
enum : int { TFTP_ATTEMPTS = 3, REMINDER_SECONDS = 11 };

// The port's settings before the download, put back by serial_restore.
termios serial_saved;

// Arrived means a regular file to read: a FIFO or a device under the name is
// as good as no download.
bool download_arrived() {
    return sys_is_regular(RESCUE_DOWNLOAD_PATH);
}

// A file left by an earlier download must never be taken for the new one.
bool remove_old_download() {
    if (unlink(sys_path(RESCUE_DOWNLOAD_PATH).c_str()) == 0 || errno == ENOENT) return true;
    perror("Can't remove " RESCUE_DOWNLOAD_PATH);
    return false;
}

// Reads the port one byte a second until the awaited byte arrives, reminding the
// operator every eleven seconds. False when the port has hung up.
bool wait_for_byte(int fd, unsigned char awaited, const char* reminder) {
    for (unsigned seconds = 0;;) {
        unsigned char c = 0;
        ssize_t n = read(fd, &c, 1);
        if (n == 1 && c == awaited) return true;
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
        sys_sleep(1);
        if (++seconds % REMINDER_SECONDS == 0) puts(reminder);
        fflush(stdout);
    }
}

// "Image Filename: " until a name of two characters or more. False when the
// operator quits ("q", Ctrl-C, end of input).
bool ask_file_name(char* name, size_t size) {
    for (;;) {
        fputs("Image Filename: ", stdout);
        fflush(stdout);
        read_line(name, size);
        if (boot_env_flags.interrupted || console_input_closed()) return false;
        if (strlen(name) > 1) return true;
        if (strcmp(name, "q") == 0) return false;
        puts("Invalid filename. Try again please");
    }
}

int install_download(const char* name, const char* source) {
    int result = image_install_package(RESCUE_DOWNLOAD_PATH, 0, 0);
    if (result == 1) install_log_append(name, source);
    return result;
}

} // namespace

int rescue_tftp() {
    puts("Performing TFTP rescue. Please answer the following questions (enter 'q' to quit):");
    network_settings settings = network_settings_initial();
    if (!ask_network_settings(&settings, false)) return 0;
    uint32_t server = 0;
    if (!prompt_ip_address("Server addr:", &server, true, true)) return 0;
    char name[FILE_NAME_SIZE];
    if (!ask_file_name(name, sizeof name)) return 0;

    configure_mgmt_port(&settings); // a down link has been reported; the attempts then fail
    in_addr server_addr;
    server_addr.s_addr = server;
    const std::string dotted = inet_ntoa(server_addr);
    const std::string command =
        "tftp -g -r " + shell_quote(name) + " -l " RESCUE_DOWNLOAD_PATH " " + dotted + "\n";
    if (!remove_old_download()) return 0;
    bool arrived = false;
    for (int attempt = 1; attempt <= TFTP_ATTEMPTS && !arrived; ++attempt) {
        if (boot_env_flags.interrupted) return 0;
        printf("Installing image %s from TFTP server %s\n", name, dotted.c_str());
        fflush(stdout);
        run_shell(command.c_str());
        arrived = download_arrived();
        if (!arrived) {
            printf("Attempt %d/3 of tftp timed out\n", attempt);
            fflush(stdout);
            sys_sleep(3);
        }
    }
    if (!arrived) {
        puts("Tftp download failed. Aborting");
        return 0;
    }
    return install_download(name, dotted.c_str());
}

int rescue_xmodem() {
    puts("Running xmodem rescue.....");
    fflush(stdout);
    if (!remove_old_download()) return 0;
    int fd = serial_prepare_download();
    if (fd < 0) return 0; // reported; without the port the operator cannot send
    run_shell("/usr/bin/rx " RESCUE_DOWNLOAD_PATH);
    serial_restore(fd);
    if (!download_arrived()) return 0;
    return install_download("image", "xmodem");
}

int serial_prepare_download() {
    int fd = open(sys_path("/dev/ttyS0").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        perror("Can't open serial port!");
        return -1;
    }
    puts("       Change the baud rate to 115200 bps and hit the <ENTER> key");
    puts("       before initiating the download.");
    fflush(stdout);
    // Once drained, nothing of ours is left to send: only stray input is
    // discarded. (Discarding output as well would throw away what a
    // pseudo-terminal's reader has not yet taken, the prompts above included.)
    tcdrain(fd);
    tcflush(fd, TCIFLUSH);
    if (tcgetattr(fd, &serial_saved) != 0) {
        // Not a terminal: nothing could be set, or put back afterwards.
        perror("Can't open serial port!");
        close(fd);
        return -1;
    }
    termios t = serial_saved;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    t.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE);
    t.c_cflag |= CS8;
    t.c_iflag = IGNBRK;
    t.c_oflag = 0;
    t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ISIG | ECHO | ECHOE);
    // The handshake polls the non-blocking port: with VMIN at 0 an idle line
    // would read as nothing at all, which is a hang-up.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSADRAIN, &t);
    tcflow(fd, TCOON);
    if (!wait_for_byte(fd, '\r',
                       "\r\n    ... Waiting for the <Enter> key to be hit before the download can "
                       "start...\r")) {
        // The line hung up: nobody is there to send.
        tcsetattr(fd, TCSANOW, &serial_saved);
        close(fd);
        return -1;
    }
    return fd;
}

void serial_restore(int fd) {
    if (fd < 0) return;
    puts("       Change the baud rate back to 9600 bps, hit the <ENTER> key");
    fflush(stdout);
    tcdrain(fd); // the receiver's last acknowledgement goes out, not away
    tcflush(fd, TCIFLUSH);
    tcsetattr(fd, TCSADRAIN, &serial_saved);
    tcflow(fd, TCOON);
    wait_for_byte(fd, '\n', "\r\n    ... Waiting for the <ENTER> key to be hit...\r");
    close(fd);
}
