#include "board/sys.h"

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "board/devio.h"

static int default_shell_runner(const char* command) {
    return system(command);
}
static int default_exec(const char* path, char* const argv[]) {
    return execv(path, argv);
}
static int default_netif_socket() {
    return socket(AF_INET, SOCK_DGRAM, 0);
}
static int default_netif_ioctl(int fd, unsigned long request, void* arg) {
    return ioctl(fd, request, arg);
}
static void default_sleep(uint64_t microseconds) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(microseconds / 1000000u);
    ts.tv_nsec = static_cast<long>((microseconds % 1000000u) * 1000u);
    // A signal ends the wait early, as sleep(3) does.
    nanosleep(&ts, nullptr);
}

int (*g_shell_runner)(const char* command) = default_shell_runner;
void (*g_sleep_hook)(uint64_t microseconds) = default_sleep;
int (*g_exec_hook)(const char* path, char* const argv[]) = default_exec;
int (*g_netif_socket)() = default_netif_socket;
int (*g_netif_ioctl)(int fd, unsigned long request, void* arg) = default_netif_ioctl;

int run_shell(const char* command) {
    dev_note_event(command);
    return g_shell_runner(command);
}

int sys_exec(const char* path, char* const argv[]) {
    fflush(nullptr);
    return g_exec_hook(path, argv);
}

void sys_sleep(unsigned seconds) {
    g_sleep_hook(uint64_t(seconds) * 1000000u);
}
void sys_usleep(uint64_t microseconds) {
    g_sleep_hook(microseconds);
}

const char* g_fs_root = "";

std::string sys_path(const char* absolute) {
    return std::string(g_fs_root) + absolute;
}

int sys_open_regular(const char* absolute) {
    int fd = open(sys_path(absolute).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = ENOENT;
        return -1;
    }
    return fd;
}

FILE* sys_fopen_regular(const char* absolute) {
    int fd = sys_open_regular(absolute);
    if (fd < 0) return nullptr;
    FILE* f = fdopen(fd, "rb");
    if (!f) close(fd);
    return f;
}

bool sys_is_regular(const char* absolute) {
    int fd = sys_open_regular(absolute);
    if (fd < 0) return false;
    close(fd);
    return true;
}

std::string printable_text(const char* text) {
    std::string shown = text ? text : "";
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return shown;
}

std::string shell_quote(const char* text) {
    std::string word = "'";
    for (const char* p = text ? text : ""; *p != '\0'; ++p) {
        if (*p == '\'')
            word += "'\\''";
        else
            word += *p;
    }
    word += '\'';
    return word;
}
