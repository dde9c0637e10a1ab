// The console escape of switch-sim boot (see sim_console.h).
#include "sandbox/sim_console.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <csignal>
#include <grp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char* const sender_path = "/usr/bin/sx";
const size_t max_name = 4096;

void say(const sim_console_escape& e, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = write(e.output, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= size_t(n);
    }
}

void forward(const sim_console_escape& e, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = write(e.master, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        length -= size_t(n);
    }
}

// Milliseconds to the escape's deadline for poll(): -1 without one, 0 once it passed.
int time_left(const sim_console_escape& e) {
    if (e.deadline_ms < 0) return -1;
    long long left = e.deadline_ms - sim_now_ms();
    return left <= 0 ? 0 : int(std::min(left, 1000000LL));
}

// The next byte of the operator's typing: from the rest of the piece, then from the
// terminal. False at end of input or at the deadline.
bool next_byte(const sim_console_escape& e, const char** data, size_t* length, char* c) {
    if (*length > 0) {
        *c = **data;
        ++*data;
        --*length;
        return true;
    }
    for (;;) {
        pollfd p = {e.input, POLLIN, 0};
        int left = time_left(e);
        if (left == 0) return false;
        int ready = poll(&p, 1, left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) return false;
        ssize_t n = read(e.input, c, 1);
        if (n == 1) return true;
        if (n < 0 && errno == EINTR) continue;
        return false;
    }
}

// Reads a file name, echoing it, with backspace; Enter ends it, Ctrl-C, Escape or Ctrl-]
// cancels (an empty name is returned).
std::string read_name(const sim_console_escape& e, const char** data, size_t* length) {
    say(e, "\r\n[switch-sim] file to send by xmodem (Enter sends, Ctrl-C cancels): ");
    std::string name;
    char c;
    while (next_byte(e, data, length, &c)) {
        if (c == '\r' || c == '\n') {
            say(e, "\r\n");
            return name;
        }
        if (c == '\x03' || c == '\x1b' || c == SIM_CONSOLE_ESCAPE) break;
        if ((c == '\x7f' || c == '\b') && !name.empty()) {
            name.pop_back();
            say(e, "\b \b");
        } else if (static_cast<unsigned char>(c) >= ' ' && c != '\x7f' && name.size() < max_name) {
            name += c;
            say(e, std::string(1, c));
        }
    }
    say(e, "\r\n[switch-sim] cancelled\r\n");
    return std::string();
}

// Sends the file with "sx -k" and waits for the transfer. The sender talks to a socket
// whose other end the launcher relays to and from the console's master side: reads from
// the master are prompt, so a receiver that flushes its port as it ends rarely takes its
// last answer with it, and a sender that drains its output never waits on a switch that
// stopped reading. The file is opened here; the sender reads it through its descriptor,
// under the sandbox's identity when the launcher runs as root.
void send_file(sim_console_escape* e, const std::string& name) {
    int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        say(*e, "[switch-sim] " + name + ": " + strerror(errno) + "\r\n");
        return;
    }
    int line[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, line) != 0) {
        say(*e, std::string("[switch-sim] socketpair: ") + strerror(errno) + "\r\n");
        close(fd);
        return;
    }
    pid_t pid = fork();
    if (pid == 0) {
        if (e->drop_identity &&
            (setgroups(0, nullptr) != 0 || setresgid(e->gid, e->gid, e->gid) != 0 ||
             setresuid(e->uid, e->uid, e->uid) != 0)) {
            _exit(126);
        }
        // Out of the way of the numbers they take below first.
        int file = fcntl(fd, F_DUPFD_CLOEXEC, 10), end = fcntl(line[1], F_DUPFD_CLOEXEC, 10),
            output = fcntl(e->output, F_DUPFD_CLOEXEC, 10);
        if (file < 0 || end < 0 || output < 0 || dup2(file, 3) != 3 || dup2(end, 0) != 0 ||
            dup2(end, 1) != 1 || dup2(output, 2) != 2) {
            _exit(126);
        }
        execl(sender_path, "sx", "-k", "-t", "20", "/dev/fd/3", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fd);
    close(line[1]);
    int status = 0;
    if (pid > 0) say(*e, "[switch-sim] sending; Ctrl-C stops the sender\r\n");
    // Meanwhile Ctrl-C stops a sender that waits for an answer that does not come, and
    // Ctrl-] stops it and begins an escape; other typing is not the switch's.
    int stop_signal = SIGTERM;
    bool line_open = true;
    char buffer[4096];
    while (pid > 0) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) break;
        if (time_left(*e) == 0) { // the power-on's time is up
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        pollfd p[3] = {
            {e->input, POLLIN, 0}, {e->master, POLLIN, 0}, {line_open ? line[0] : -1, POLLIN, 0}};
        if (poll(p, 3, 100) <= 0) continue;
        ssize_t n;
        if (p[1].revents != 0 && (n = read(e->master, buffer, sizeof buffer)) > 0 && line_open &&
            write(line[0], buffer, size_t(n)) < 0) {
            line_open = false;
        }
        if (p[2].revents != 0) {
            n = read(line[0], buffer, sizeof buffer);
            if (n > 0) {
                forward(*e, buffer, size_t(n));
            } else {
                line_open = false;
            }
        }
        char c = 0;
        if (p[0].revents != 0 && read(e->input, &c, 1) == 1 &&
            (c == '\x03' || c == SIM_CONSOLE_ESCAPE)) {
            kill(pid, stop_signal);
            stop_signal = SIGKILL; // a second time, for good
            e->pending = c == SIM_CONSOLE_ESCAPE;
            if (e->pending) {
                while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                }
                break;
            }
        }
    }
    close(line[0]);
    bool sent = pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::string ended = pid < 0             ? std::string(strerror(errno))
                        : WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                            : "signal " + std::to_string(WTERMSIG(status));
    // A receiver that ends and flushes its port can still lose its last answer on the
    // way: only the switch knows whether the file arrived.
    say(*e, sent ? "\r\n[switch-sim] sent " + name + "\r\n"
                 : "\r\n[switch-sim] sx ended (" + ended + ")\r\n");
}

} // namespace

long long sim_now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

bool sim_console_input(sim_console_escape* e, const char* data, size_t length) {
    while (length > 0) {
        if (!e->pending) {
            const void* found = memchr(data, SIM_CONSOLE_ESCAPE, length);
            size_t plain = found ? size_t(static_cast<const char*>(found) - data) : length;
            forward(*e, data, plain);
            data += plain;
            length -= plain;
            if (length == 0) break;
            ++data; // the escape itself
            --length;
            e->pending = true;
            say(*e, "\r\n[switch-sim] x: send a file by xmodem, q: power off, Ctrl-]: send "
                    "Ctrl-]\r\n");
            continue;
        }
        char key = *data++;
        --length;
        e->pending = false;
        if (key == 'q' || key == 'Q') {
            say(*e, "\r\n[switch-sim] powering the board off\r\n");
            return true;
        }
        if (key == SIM_CONSOLE_ESCAPE) {
            forward(*e, &key, 1);
        } else if (key == 'x' || key == 'X') {
            std::string name = read_name(*e, &data, &length);
            if (!name.empty()) send_file(e, name);
        }
    }
    return false;
}
