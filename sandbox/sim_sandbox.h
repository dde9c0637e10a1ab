// Powering on a simulated board: the boot manager runs in a bubblewrap sandbox whose root
// filesystem is a small tmpfs that looks like the switch's: a shell, busybox's file tools,
// stub platform programs that only record themselves, the board directory at /sim, its
// user/ at /user, its usb/ at /mnt/usb, a fresh /tmp, and the caller's terminal as the
// console (/dev/ttyS0). Nothing outside the board directory is writable from inside.
//
// Signals: Ctrl-C on the console must reach the boot manager (its SIGINT handler is part
// of the dialogues) without killing the launcher or bwrap, whose death would take the
// sandbox down. So the launcher and bwrap ignore SIGINT and SIGQUIT, the sandbox keeps the
// caller's session and controlling terminal (no --new-session), and the sandbox's first
// program ("_init") puts both signals back to their defaults before it starts the boot
// manager. Ctrl-\ therefore stops a boot manager that hangs. Sharing the terminal would let
// a program in the sandbox push input into the caller's shell with the TIOCSTI ioctl, so a
// seccomp filter refuses that ioctl (and TIOCLINUX) in the sandbox.
//
// Host privilege: the sandbox never runs with the host's root. Started by an ordinary user,
// bwrap makes an unprivileged user namespace as that user. Started by root, bwrap sets the
// sandbox up with its privilege (so the build, the sources and the board need not be
// reachable by anyone else), and the sandbox's first program gives up root for good before
// anything of the board runs: it becomes the owner of the board directory, or a dedicated
// unprivileged uid when root owns the board (which is then handed to that uid). A terminal
// is not passed on to it: the sandbox gets a pseudo-terminal of its own whose traffic the
// launcher relays. Everywhere: /proc/sys and the other host-writing parts of /proc are
// read-only, the board is mounted nosuid and nodev, no setuid or setgid bit can be set, and
// the boot has limits on its /tmp, its processes, its file sizes and (--timeout) its time.
//
// The board, user/ and usb/ are opened once and bound by descriptor; bwrap still mounts by
// path, so the first program checks that each mount is the directory opened (device and
// inode) before anything else runs: a link swapped in between is refused.
//
// Console and network: whenever the caller's input is a terminal the sandbox gets a
// pseudo-terminal of its own that the launcher relays, which lets the console escape
// (sim_console.h) reach the launcher; Ctrl-C still arrives as a byte and the sandbox's
// terminal turns it into SIGINT. After the host identity is final, _init gives the board
#pragma once
#include <linux/filter.h>
#include <string>
#include <sys/types.h>
#include <vector>

namespace sim_sandbox {

constexpr long max_usb_delay = 3600;

struct boot_options {
    std::string board; // absolute board directory
    bool rtc_given = false;
    long long rtc_offset = 0;
    long usb_after = -1;              // seconds; -1: not given
    long timeout = 0;                 // seconds; 0: none
    bool link_down = false;           // the management link starts without carrier
    std::string time_scale;           // factor of the boot manager's sleeps; "": 1
    bool ppc = false;                 // --target ppc
    bool e500 = false;                // --target e500 (sim_e500.h)
    std::vector<std::string> command; // what runs in the sandbox (after _init)
};

// Who the sandbox runs as on the host, and the directories bound by descriptor.
struct sandbox_setup {
    bool as_root = false; // started by root: _init gives root up for uid and gid
    uid_t uid = 0;
    gid_t gid = 0;
    int board_fd = -1, user_fd = -1, usb_fd = -1;
    std::string console;             // what is bound at /dev/ttyS0
    std::vector<int> inherited;      // descriptors bwrap must receive
    std::vector<std::string> expect; // _init's --expect PATH=DEV:INO checks
};

// The pseudo-terminal of a sandbox started by root while a terminal is attached: the
// sandbox's console is its slave, owned by the sandbox's uid; the launcher relays the
// caller's terminal to and from the master.
struct console_relay {
    bool tty[3] = {}; // which of the caller's standard descriptors are terminals
    int master = -1;
    std::string slave;
    int slave_fd = -1;
    int input = -1;  // the caller's terminal relayed into the master, or -1
    int output = -1; // where the master's output goes
    int model = -1;  // the terminal whose settings and size the slave copies
};

// Options (sim_sandbox_options.cpp): parses "DIR [--rtc TIME] [--usb-after SECONDS] ..."
// and, for the shell command, "-- CMD ..."; checks the board's files.
bool parse_boot_options(int argc, char** argv, bool want_command, boot_options* options);

// Host identity (sim_sandbox_identity.cpp): opens the board, user/ and usb/ once, and
// chooses the sandbox's host identity.
bool prepare_setup(const boot_options& options, sandbox_setup* setup);

// Mounts (sim_sandbox_mounts.cpp): the terminal device of standard input, when it is one,
// and the bwrap command line for one power-on.
std::string console_device();
bool sandbox_arguments(const boot_options& options, const sandbox_setup& setup, int filter_fd,
                       std::vector<std::string>* args);

// System call filter (sim_sandbox_seccomp.cpp): a pipe holding the seccomp program for
// bwrap; returns its reading end or -1.
int console_filter_fd();
// The program itself (empty where the filter is not built), for QEMU of the e500 target.
std::vector<sock_filter> console_filter();

// Console relay (sim_sandbox_relay.cpp).
bool open_relay(const sandbox_setup& setup, console_relay* r);
void attach_relay(const console_relay& r);
void on_window_change(int);
int wait_for_sandbox(pid_t pid, const sandbox_setup& setup, const console_relay& r, long timeout,
                     bool* timed_out, bool* powered_off);

} // namespace sim_sandbox
