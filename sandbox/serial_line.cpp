// Preloaded into the XMODEM receiver inside the simulated switch. On a real serial line a
// program that drains its port and then discards pending output loses nothing: the drain
// waited until every byte was on the wire. The simulated console is a pseudo-terminal,
// whose drain returns at once, so the same discard would throw away the receiver's last
// acknowledgement before the sender read it. Here only pending input is discarded.
#include <sys/ioctl.h>
#include <termios.h>

extern "C" __attribute__((visibility("default"))) int tcflush(int fd, int queue) {
    if (queue == TCOFLUSH) return 0;
    return ioctl(fd, TCFLSH, queue == TCIOFLUSH ? TCIFLUSH : queue);
}
