// switch-sim: who the sandbox runs as on the host, and the board's directories opened once.
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sandbox/sim_sandbox.h"
#include "sandbox/board_layout.h"
#include "sandbox/sim_common.h"

namespace sim_sandbox {

namespace {

// The host identity a sandbox started by root runs under when root owns the board.
const uid_t dedicated_id = 99999;

// Root hands a board it owns to the sandbox's identity: every directory and regular file
// of the board that root owns changes to uid:gid. Links are not followed, other mounts and
// files with several names are left alone.
bool adopt_board(int dir_fd, dev_t device, uid_t uid, gid_t gid, int depth) {
    if (depth > 32) return true;
    int listing = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listing < 0 ? nullptr : fdopendir(listing);
    if (dir == nullptr) {
        if (listing >= 0) close(listing);
        return false;
    }
    bool ok = true;
    while (dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
        struct stat st;
        if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_dev != device) continue;
        if (S_ISDIR(st.st_mode)) {
            int sub = openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0) continue;
            if (st.st_uid == 0 && fchown(sub, uid, gid) != 0) ok = false;
            ok = adopt_board(sub, device, uid, gid, depth + 1) && ok;
            close(sub);
        } else if (S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == 0) {
            if (fchownat(dir_fd, name, uid, gid, AT_SYMLINK_NOFOLLOW) != 0) ok = false;
        }
    }
    closedir(dir);
    return ok;
}

std::string dev_ino(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return std::string();
    return std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
           std::to_string(static_cast<unsigned long long>(st.st_ino));
}

} // namespace

// Opens the board, user/ and usb/ once, and chooses the sandbox's host identity.
bool prepare_setup(const boot_options& options, sandbox_setup* setup) {
    const std::string& board = options.board;
    setup->board_fd = open(board.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (setup->board_fd < 0) {
        sim_error("%s: %s", board.c_str(), strerror(errno));
        return false;
    }
    struct open_dir {
        const char* name;
        int* fd;
        const char* mount;
        bool optional;
    };
    const open_dir dirs[] = {{"user", &setup->user_fd, "/user", false},
                             {"usb", &setup->usb_fd, "/mnt/usb", true}};
    for (const open_dir& d : dirs) {
        *d.fd = openat(setup->board_fd, d.name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (*d.fd < 0 && errno == ENOENT && d.optional) continue;
        if (*d.fd < 0) {
            sim_error("%s/%s: must be a directory of its own, not a link or a file", board.c_str(),
                      d.name);
            return false;
        }
    }
    for (const open_dir& d : dirs) {
        if (*d.fd >= 0) setup->expect.push_back(std::string(d.mount) + "=" + dev_ino(*d.fd));
    }
    setup->expect.push_back(std::string(SIM_BOARD_DEFAULT) + "=" + dev_ino(setup->board_fd));
    for (int fd : {setup->board_fd, setup->user_fd, setup->usb_fd}) {
        if (fd >= 0) setup->inherited.push_back(fd);
    }
    if (geteuid() != 0) return true;

    setup->as_root = true;
    struct stat st;
    if (fstat(setup->board_fd, &st) != 0) return false;
    if (st.st_uid != 0) {
        setup->uid = st.st_uid;
        passwd* pw = getpwuid(st.st_uid);
        setup->gid = st.st_gid != 0 ? st.st_gid : pw != nullptr ? pw->pw_gid : gid_t(st.st_uid);
    } else {
        setup->uid = dedicated_id;
        setup->gid = dedicated_id;
    }
    int dir = open(board.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = dir >= 0 && (st.st_uid != 0 || fchown(dir, setup->uid, setup->gid) == 0) &&
              adopt_board(dir, st.st_dev, setup->uid, setup->gid, 0);
    if (dir >= 0) close(dir);
    if (!ok) {
        sim_error("%s: cannot hand the board to uid %u: %s", board.c_str(), unsigned(setup->uid),
                  strerror(errno));
        return false;
    }
    return true;
}

} // namespace sim_sandbox
