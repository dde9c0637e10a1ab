// switch-sim: the console relay between the caller's terminal and the sandbox's
// pseudo-terminal, and the wait for the sandbox.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "sandbox/sim_common.h"
#include "sandbox/sim_sandbox.h"
#include "sandbox/sim_console.h"

namespace sim_sandbox {

namespace {

volatile sig_atomic_t g_window_changed = 0;

} // namespace

void on_window_change(int) {
    g_window_changed = 1;
}

bool open_relay(const sandbox_setup& setup, console_relay* r) {
    for (int fd = 0; fd < 3; ++fd) r->tty[fd] = isatty(fd) != 0;
    if (!r->tty[0] && !r->tty[1] && !r->tty[2]) return true;
    r->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const char* name = nullptr;
    if (r->master < 0 || grantpt(r->master) != 0 || unlockpt(r->master) != 0 ||
        (name = ptsname(r->master)) == nullptr) {
        return false;
    }
    r->slave = name;
    if ((setup.as_root && chown(name, setup.uid, setup.gid) != 0) || chmod(name, 0600) != 0)
        return false;
    r->model = r->tty[0] ? 0 : r->tty[1] ? 1 : 2;
    int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) return false;
    termios settings{};
    winsize size{};
    if (tcgetattr(r->model, &settings) == 0) tcsetattr(slave, TCSANOW, &settings);
    if (ioctl(r->model, TIOCGWINSZ, &size) == 0) ioctl(slave, TIOCSWINSZ, &size);
    // Held until the sandbox has ended, so that the master does not hang up in between.
    r->slave_fd = slave;
    r->input = r->tty[0] ? 0 : -1;
    r->output = r->tty[1] ? 1 : 2;
    return true;
}

// In the child: the slave becomes the controlling terminal of a session of its own and
// takes the place of each standard descriptor that was a terminal.
void attach_relay(const console_relay& r) {
    setsid();
    int slave = open(r.slave.c_str(), O_RDWR | O_CLOEXEC);
    if (slave < 0) _exit(127);
    ioctl(slave, TIOCSCTTY, 0);
    for (int fd = 0; fd < 3; ++fd) {
        if (r.tty[fd]) dup2(slave, fd);
    }
}

// Waits for the sandbox, relaying the console when there is a relay, and powers the board
// off (kills bwrap, which takes the sandbox down) when the time-out runs out.
int wait_for_sandbox(pid_t pid, const sandbox_setup& setup, const console_relay& r, long timeout,
                     bool* timed_out, bool* powered_off) {
    sim_console_escape escape;
    escape.input = r.input;
    escape.output = r.output;
    escape.master = r.master;
    escape.drop_identity = setup.as_root;
    escape.uid = setup.uid;
    escape.gid = setup.gid;
    int pidfd = int(syscall(SYS_pidfd_open, pid, 0));
    const long long deadline = timeout > 0 ? sim_now_ms() + timeout * 1000LL : -1;
    escape.deadline_ms = deadline; // the escape's own prompts end there too
    bool input_open = r.input >= 0, master_open = r.master >= 0, exited = false;
    int status = 0;
    char buffer[4096];
    while (!exited) {
        int wait_ms = pidfd >= 0 ? -1 : 50;
        if (deadline >= 0 && !*timed_out) {
            long long left = deadline - sim_now_ms();
            if (left <= 0) {
                kill(pid, SIGKILL);
                *timed_out = true;
                continue;
            }
            wait_ms = wait_ms < 0 || left < wait_ms ? int(std::min(left, 1000000LL)) : wait_ms;
        }
        pollfd fds[3];
        nfds_t count = 0;
        if (pidfd >= 0) fds[count++] = {pidfd, POLLIN, 0};
        int master_slot = master_open ? int(count) : -1;
        if (master_open) fds[count++] = {r.master, POLLIN, 0};
        int input_slot = input_open ? int(count) : -1;
        if (input_open) fds[count++] = {r.input, POLLIN, 0};
        int ready = poll(fds, count, wait_ms);
        if (g_window_changed) {
            g_window_changed = 0;
            winsize size{};
            if (ioctl(r.model, TIOCGWINSZ, &size) == 0) ioctl(r.master, TIOCSWINSZ, &size);
        }
        if (ready < 0 && errno != EINTR) break;
        if (master_slot >= 0 && fds[master_slot].revents != 0) {
            ssize_t n = read(r.master, buffer, sizeof buffer);
            if (n > 0) {
                sim_write_all(r.output, buffer, size_t(n));
            } else if (n == 0 || errno != EINTR) {
                master_open = false; // every slave descriptor is closed
            }
        }
        if (input_slot >= 0 && fds[input_slot].revents != 0) {
            ssize_t n = read(r.input, buffer, sizeof buffer);
            if (n > 0) {
                if (sim_console_input(&escape, buffer, size_t(n))) {
                    kill(pid, SIGKILL);
                    *powered_off = true; // by the operator, through the escape
                }
            } else if (n == 0 || errno != EINTR) {
                input_open = false;
            }
        }
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno == ECHILD)) exited = true;
    }
    if (!exited) {
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (master_open) { // what the sandbox wrote last
        fcntl(r.master, F_SETFL, O_NONBLOCK);
        ssize_t n;
        while ((n = read(r.master, buffer, sizeof buffer)) > 0)
            sim_write_all(r.output, buffer, size_t(n));
    }
    if (pidfd >= 0) close(pidfd);
    if (r.slave_fd >= 0) close(r.slave_fd);
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
}

} // namespace sim_sandbox
