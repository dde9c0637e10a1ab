// switch-sim: the sandbox's system call filter.
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "sandbox/sim_sandbox.h"
#include "sandbox/sim_common.h"

#ifndef __NR_fchmodat2
#define __NR_fchmodat2 452
#endif

namespace sim_sandbox {

// The seccomp program given to bwrap: TIOCSTI and TIOCLINUX ioctls fail with EPERM; so does
// every call that would set a setuid or setgid bit (chmod and its kin, and the mode of a
// file being created); io_uring and openat2 (whose modes a filter cannot see) and system
// calls of another architecture or ABI fail with ENOSYS; everything else is allowed.
std::vector<sock_filter> console_filter() {
#if defined(__x86_64__)
    const uint32_t arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    const uint32_t arch = AUDIT_ARCH_AARCH64;
#else
    return {};
#endif
    auto low_word = [](unsigned arg) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        return uint32_t(offsetof(seccomp_data, args[0]) + 8 * arg);
#else
        return uint32_t(offsetof(seccomp_data, args[0]) + 8 * arg + 4);
#endif
    };
    const uint32_t other_abi = 0x40000000u; // x32 system call numbers
    const uint32_t deny = SECCOMP_RET_ERRNO | EPERM, missing = SECCOMP_RET_ERRNO | ENOSYS;
    std::vector<sock_filter> p = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, missing),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, other_abi, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, missing),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ioctl, 0, 5),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, low_word(1)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, TIOCSTI, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, TIOCLINUX, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, deny),
    };
    for (uint32_t nr :
         {__NR_io_uring_setup, __NR_io_uring_enter, __NR_io_uring_register, __NR_openat2}) {
        p.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, nr, 0, 1));
        p.push_back(BPF_STMT(BPF_RET | BPF_K, missing));
    }
    struct mode_call {
        uint32_t nr;
        unsigned mode_arg;
    };
    const mode_call mode_calls[] = {
#ifdef __NR_chmod
        {__NR_chmod, 1},   {__NR_open, 2},     {__NR_creat, 1},     {__NR_mknod, 1},
#endif
        {__NR_fchmod, 1},  {__NR_fchmodat, 2}, {__NR_fchmodat2, 2}, {__NR_openat, 3},
        {__NR_mknodat, 2},
    };
    for (const mode_call& call : mode_calls) {
        p.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, call.nr, 0, 4));
        p.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, low_word(call.mode_arg)));
        p.push_back(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, S_ISUID | S_ISGID, 0, 1));
        p.push_back(BPF_STMT(BPF_RET | BPF_K, deny));
        p.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    }
    p.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    return p;
}

// A pipe holding the seccomp program for bwrap; returns its reading end or -1.
int console_filter_fd() {
    std::vector<sock_filter> program = console_filter();
    if (program.empty()) return -1;
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0) return -1;
    size_t size = program.size() * sizeof(sock_filter); // far below the pipe's capacity
    bool ok = write(pipefd[1], program.data(), size) == ssize_t(size);
    close(pipefd[1]);
    if (!ok) {
        close(pipefd[0]);
        return -1;
    }
    return pipefd[0];
}

} // namespace sim_sandbox

// In the sandbox: _tiocsti tries to push a character into the console's input, which the
// sandbox forbids. Prints the outcome; exit status 0 when refused.
int sim_cmd_tiocsti(int, char**) {
    char c = '\n';
    if (ioctl(0, TIOCSTI, &c) == 0) {
        puts("TIOCSTI allowed");
        return 1;
    }
    printf("TIOCSTI refused: %s\n", strerror(errno));
    return 0;
}
