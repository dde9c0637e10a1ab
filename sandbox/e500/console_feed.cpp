// The e500 target's console in pipe mode (guest side): the boot manager reads its input
// from a pipe, as in the sandbox when the launcher's input is not a terminal, so that the
// end of the launcher's input reaches it as the end of a pipe. This program relays the
// console (its standard input, the serial port in raw mode) into that pipe, and closes the
// pipe once the launcher says "eof" on the control line (/dev/ttyS1) and the console has
// had nothing more to pass on for a moment. Its exit status is the program's.
//
// usage: console-feed PROGRAM [ARG ...]
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

const char control_line[] = "/dev/ttyS1";
const int quiet_ms = 300; // the console's last bytes are passed on before the pipe ends

void make_raw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return;
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
}

bool write_all(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= size_t(n);
    }
    return true;
}

int exit_status(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 127;
    int pipefd[2];
    if (pipe(pipefd) != 0) return 127;
    signal(SIGPIPE, SIG_IGN);
    pid_t pid = fork();
    if (pid < 0) return 127;
    if (pid == 0) {
        dup2(pipefd[0], 0);
        close(pipefd[0]);
        close(pipefd[1]);
        execv(argv[1], argv + 1);
        _exit(127);
    }
    close(pipefd[0]);
    make_raw(0);
    int control = open(control_line, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (control >= 0) write_all(control, "ready\n", 6);
    int feed = pipefd[1];
    bool end_asked = false;
    std::string line;
    char buffer[4096];
    int status = 0;
    while (feed >= 0) {
        pollfd fds[2] = {{0, POLLIN, 0}, {control, POLLIN, 0}};
        int ready = poll(fds, control >= 0 ? 2 : 1, end_asked ? quiet_ms : 100);
        if (ready < 0 && errno != EINTR) break;
        if (ready == 0 && end_asked) {
            close(feed);
            feed = -1;
            break;
        }
        if (fds[0].revents != 0) {
            ssize_t n = read(0, buffer, sizeof buffer);
            if (n > 0 && !write_all(feed, buffer, size_t(n))) {
                close(feed); // the program no longer reads
                feed = -1;
            }
        }
        if (control >= 0 && fds[1].revents != 0) {
            ssize_t n = read(control, buffer, sizeof buffer);
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] != '\n' && buffer[i] != '\r') {
                    if (line.size() < 64) line += buffer[i];
                    continue;
                }
                if (line == "eof") end_asked = true;
                line.clear();
            }
            if (n <= 0) {
                close(control);
                control = -1;
            }
        }
        if (waitpid(pid, &status, WNOHANG) == pid) return exit_status(status);
    }
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return exit_status(status);
}
