// switch-sim _init: the sandbox's first program.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "sandbox/sim_sandbox.h"
#include "sandbox/sim_common.h"
#include "sandbox/sim_net.h"

namespace sim_sandbox {

namespace {

void create_usb_marker() {
    int fd = open(SIM_USB_MARKER, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
}

} // namespace

} // namespace sim_sandbox

using namespace sim_sandbox;

// In the sandbox: _init [--uid UID --gid GID] [--expect PATH=DEV:INO ...]
//                       [--usb-after SECONDS] -- PROGRAM [ARG ...]
// Checks that each PATH is the directory the launcher opened (bwrap mounts by path, so a
// link swapped in meanwhile is caught here), gives root up for UID and GID when the
// launcher ran as root, then plays the platform's part at power-on: the USB hot-plug
// handling creates the mount marker once the stick is mounted (after the given delay), and
// the program starts with SIGINT and SIGQUIT back at their defaults.
int sim_cmd_init(int argc, char** argv) {
    long usb_after = -1;
    bool link_down = false;
    long long uid = -1, gid = -1;
    int i = 1;
    for (; i + 1 < argc; i += 2) {
        uint64_t value = 0;
        if (strcmp(argv[i], "--usb-after") == 0) {
            if (!sim_parse_number(argv[i + 1], uint64_t(max_usb_delay), &value)) return 127;
            usb_after = long(value);
        } else if (strcmp(argv[i], "--uid") == 0 || strcmp(argv[i], "--gid") == 0) {
            if (!sim_parse_number(argv[i + 1], 0xFFFFFFFEu, &value) || value == 0) return 127;
            (argv[i][2] == 'u' ? uid : gid) = static_cast<long long>(value);
        } else if (strcmp(argv[i], "--link") == 0) {
            link_down = strcmp(argv[i + 1], "down") == 0;
        } else if (strcmp(argv[i], "--expect") == 0) {
            const char* eq = strchr(argv[i + 1], '=');
            struct stat st;
            std::string path(argv[i + 1], eq ? size_t(eq - argv[i + 1]) : 0);
            if (eq == nullptr || stat(path.c_str(), &st) != 0 ||
                std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
                        std::to_string(static_cast<unsigned long long>(st.st_ino)) !=
                    eq + 1) {
                sim_error("%s: not the board's own directory (replaced while the board powered "
                          "on); refused",
                          path.c_str());
                return 127;
            }
        } else {
            break;
        }
    }
    if (i >= argc || strcmp(argv[i], "--") != 0 || i + 1 >= argc || (uid < 0) != (gid < 0)) {
        sim_error("usage: switch-sim _init [--uid UID --gid GID] [--expect PATH=DEV:INO ...] "
                  "[--usb-after SECONDS] -- PROGRAM [ARG ...]");
        return 127;
    }
    ++i;
    if (uid > 0) {
        // For good: no capability left in the bounding set, no way back through exec.
        prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
        for (int cap = 0; cap < 64; ++cap) prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
        if (setgroups(0, nullptr) != 0 || setresgid(gid_t(gid), gid_t(gid), gid_t(gid)) != 0 ||
            setresuid(uid_t(uid), uid_t(uid), uid_t(uid)) != 0 || setuid(0) == 0 ||
            geteuid() == 0) {
            sim_error("cannot give up root: %s", strerror(errno));
            return 127;
        }
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct none[2] = {};
        syscall(SYS_capset, &header, none);
    }
    // Without a network the board still boots; its network commands then fail.
    sim_net_start(link_down);
    if (usb_after == 0) {
        create_usb_marker();
    } else if (usb_after > 0) {
        pid_t pid = fork();
        if (pid == 0) {
            signal(SIGINT, SIG_IGN);
            signal(SIGQUIT, SIG_IGN);
            int null_fd = open("/dev/null", O_RDWR);
            if (null_fd >= 0) {
                dup2(null_fd, 0);
                dup2(null_fd, 1);
                dup2(null_fd, 2);
                if (null_fd > 2) close(null_fd);
            }
            timespec left{usb_after, 0};
            while (nanosleep(&left, &left) != 0 && errno == EINTR) {
            }
            create_usb_marker();
            _exit(0);
        }
    }
    signal(SIGINT, SIG_DFL);
    signal(SIGQUIT, SIG_DFL);
    execvp(argv[i], argv + i); // a bare name is searched in the sandbox's PATH
    sim_error("%s: %s", argv[i], strerror(errno));
    return 127;
}
