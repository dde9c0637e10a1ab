// Console input on the serial console: one raw key, yes/no questions and a
// small line editor. The console stays in canonical, echoing mode between
// calls; raw mode is set for the read of one key and undone at once.
#include "boot/console.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <stdio_ext.h>
#include <termios.h>
#include <unistd.h>

int g_yn_poll_timeout_ms = 5000;

namespace {

bool input_closed = false;

enum : int {
    KEY_CTRL_A = 0x01,
    KEY_CTRL_B = 0x02,
    KEY_CTRL_C = 0x03,
    KEY_CTRL_D = 0x04,
    KEY_CTRL_F = 0x06,
    KEY_BELL = 0x07,
    KEY_BACKSPACE = 0x08,
    KEY_LF = 0x0A,
    KEY_CR = 0x0D,
    KEY_ESC = 0x1B,
    KEY_DELETE = 0x7F,
};

// Reads one byte from descriptor 0 when the console is no terminal: a
// time-out is then kept with poll.
int read_key_plain(int timeout_tenths) {
    if (timeout_tenths > 0) {
        pollfd pfd = {0, POLLIN, 0};
        if (poll(&pfd, 1, timeout_tenths * 100) <= 0) return 0;
    }
    unsigned char key = 0;
    ssize_t n = read(0, &key, 1);
    if (n == 1)
        input_closed = false;
    else if (n == 0 || (errno != EINTR && errno != EAGAIN))
        input_closed = true;
    return n == 1 ? key : 0;
}

struct line_editor {
    char* buf;
    size_t size;
    size_t cursor;
    size_t room;
    int escape; // 0 normal, 1 after ESC, 2 after ESC [
    bool done;
};

size_t line_length(const line_editor& ed) {
    return strnlen(ed.buf, ed.size);
}

// Deletes the character under the cursor and redraws the tail of the line.
void delete_under_cursor(line_editor& ed) {
    size_t old_end = line_length(ed);
    if (ed.cursor >= old_end) return;
    memmove(ed.buf + ed.cursor, ed.buf + ed.cursor + 1, old_end - ed.cursor);
    ed.buf[old_end] = '\0';
    ++ed.room;
    for (size_t i = ed.cursor; ed.buf[i] != '\0'; ++i)
        echo_char(static_cast<unsigned char>(ed.buf[i]));
    echo_char(' ');
    for (size_t i = ed.cursor; i < old_end; ++i) echo_char(KEY_BACKSPACE);
}

// Inserts a character at the cursor and redraws the tail of the line.
void insert_at_cursor(line_editor& ed, int key) {
    size_t end = line_length(ed);
    if (ed.room < 2 || end + 1 >= ed.size) {
        echo_char(KEY_BELL);
        return;
    }
    echo_char(key);
    for (size_t i = ed.cursor; i < end; ++i) echo_char(static_cast<unsigned char>(ed.buf[i]));
    for (size_t i = end; i > ed.cursor; --i) {
        ed.buf[i] = ed.buf[i - 1];
        echo_char(KEY_BACKSPACE);
    }
    ed.buf[ed.cursor] = static_cast<char>(key);
    --ed.room;
    ++ed.cursor;
}

void cursor_left(line_editor& ed) {
    if (ed.cursor > 0) {
        --ed.cursor;
        echo_char(KEY_BACKSPACE);
    }
}

void cursor_right(line_editor& ed) {
    if (ed.buf[ed.cursor] != '\0') {
        echo_char(static_cast<unsigned char>(ed.buf[ed.cursor]));
        ++ed.cursor;
    }
}

void delete_before_cursor(line_editor& ed) {
    if (ed.cursor > 0) {
        cursor_left(ed);
        delete_under_cursor(ed);
    }
}

void handle_normal_key(line_editor& ed, int key) {
    switch (key) {
    case KEY_CTRL_A:
        while (ed.cursor > 0) cursor_left(ed);
        break;
    case KEY_CTRL_B:
        cursor_left(ed);
        break;
    case KEY_CTRL_C:
        puts(" <break>");
        fflush(stdout);
        ed.done = true;
        break;
    case KEY_CTRL_D:
        delete_under_cursor(ed);
        break;
    case KEY_CTRL_F:
        cursor_right(ed);
        break;
    case KEY_BACKSPACE:
    case KEY_DELETE:
        delete_before_cursor(ed);
        break;
    case KEY_CR:
    case KEY_LF:
        echo_char('\n');
        ed.done = true;
        break;
    case KEY_ESC:
        ed.escape = 1;
        break;
    default:
        if (key < 0x20)
            echo_char(KEY_BELL);
        else
            insert_at_cursor(ed, key);
        break;
    }
}

} // namespace

int read_key(int timeout_tenths) {
    if (timeout_tenths < 0) timeout_tenths = 0;
    if (timeout_tenths > 255) timeout_tenths = 255;
    termios saved;
    if (tcgetattr(0, &saved) != 0) return read_key_plain(timeout_tenths);
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VTIME] = static_cast<cc_t>(timeout_tenths);
    raw.c_cc[VMIN] = timeout_tenths ? 0 : 1;
    tcsetattr(0, TCSANOW, &raw);
    unsigned char key = 0;
    ssize_t n = read(0, &key, 1);
    // Without a time-out a read only returns nothing at end of input (hang-up).
    if (n == 1)
        input_closed = false;
    else if ((n == 0 && timeout_tenths == 0) || (n < 0 && errno != EINTR && errno != EAGAIN))
        input_closed = true;
    tcsetattr(0, TCSANOW, &saved);
    return n == 1 ? key : 0;
}

int get_key() {
    return read_key(0);
}

bool console_input_closed() {
    return input_closed;
}

void echo_char(int c) {
    putchar(c);
    fflush(stdout);
}

void echo_key(int key) {
    if (key != 0) putchar(key);
    putchar('\n');
    fflush(stdout);
}

char* read_line(char* buffer, size_t size) {
    if (!buffer || size == 0) return buffer;
    memset(buffer, 0, size);
    line_editor ed = {buffer, size, 0, size, 0, false};
    while (!ed.done) {
        int key = get_key();
        if (key == 0 && input_closed) {
            // Nobody can type any more: end the line as Enter would.
            echo_char('\n');
            break;
        }
        if (ed.escape == 1) {
            ed.escape = 0;
            if (key == '[') {
                ed.escape = 2;
                continue;
            }
            if (key == KEY_BACKSPACE || key == KEY_DELETE) {
                delete_before_cursor(ed);
                continue;
            }
            handle_normal_key(ed, key);
        } else if (ed.escape == 2) {
            if ((key >= '0' && key <= '9') || key == ';') continue;
            ed.escape = 0;
            if (key == 'C')
                cursor_right(ed);
            else if (key == 'D')
                cursor_left(ed);
        } else {
            handle_normal_key(ed, key);
        }
    }
    return buffer;
}

int ask_yes_no(const char* question, int timeout_tenths) {
    printf("%s y/N? ", question ? question : "");
    fflush(stdout);
    int key = read_key(timeout_tenths);
    echo_key(key);
    if (key == 0) return 0;
    return (key == 'Y' || key == 'y') ? 1 : 0;
}

int ask_yn_poll(const char* prompt) {
    fputs(prompt ? prompt : "", stdout);
    for (;;) {
        fputs("(y/n) ", stdout);
        fflush(stdout);
        __fpurge(stdin);
        pollfd pfd = {0, POLLIN, 0};
        int ready = poll(&pfd, 1, g_yn_poll_timeout_ms);
        if (ready <= 0) break;
        unsigned char c = 0;
        ssize_t n = read(0, &c, 1);
        if (n == 1) {
            input_closed = false;
            if (c == 'y') return 1;
            if (c == 'n') return 0;
            continue;
        }
        // Nothing read: a Ctrl-D on a terminal asks again; input that has
        // ended (hang-up, end of a pipe or file, bad descriptor) can never answer.
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 && isatty(0) && !(pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) continue;
        input_closed = true;
        break;
    }
    puts("\nTimeout. Assuming \"no\".");
    fflush(stdout);
    return 0;
}
