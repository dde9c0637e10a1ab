// Operating-system services the boot manager uses through replaceable hooks,
// so that tests can record shell commands instead of running them and skip waits.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

// Runs a command through the shell (system(3) by default). Returns system's result.
int run_shell(const char* command);
extern int (*g_shell_runner)(const char* command);

// Replaces the process with the program at path (execv(3) by default, after
// flushing every output stream). Returns only when that failed.
int sys_exec(const char* path, char* const argv[]);
extern int (*g_exec_hook)(const char* path, char* const argv[]);

// The management port's interface requests: an IPv4 datagram socket (socket(2) by
// default) and the ioctls on it (ioctl(2)); tests fake the link. The socket is closed with
// close(2).
extern int (*g_netif_socket)();
extern int (*g_netif_ioctl)(int fd, unsigned long request, void* arg);

void sys_sleep(unsigned seconds);
void sys_usleep(uint64_t microseconds);
extern void (*g_sleep_hook)(uint64_t microseconds);

// Root under which the boot manager's own file opens of absolute paths (/user, /tmp,
// /mnt/usb) are made: "" on the switch; tests point it at a temporary directory. Shell
// command texts are never rewritten.
extern const char* g_fs_root;
// g_fs_root followed by the absolute path.
std::string sys_path(const char* absolute);

// Opens a file that may be hostile (the USB stick, a download) for reading,
// without blocking, and keeps it only when the opened descriptor is a regular
// file: a FIFO, a device or a directory (or a link to one) counts as absent.
// Links to regular files are followed. The descriptor, or -1.
int sys_open_regular(const char* absolute);
// The same as a stream ("rb"), or null.
FILE* sys_fopen_regular(const char* absolute);
// True when sys_open_regular would open the file: a regular file, or a link to one.
bool sys_is_regular(const char* absolute);

// The text with every control byte (below 0x20, and 0x7F) shown as '?', so that a
// name from the USB stick cannot break a console or log line.
std::string printable_text(const char* text);

// The text as one shell word: wrapped in single quotes, each ' written as '\''.
// Every text from the operator, a file or the USB stick goes into a command this way.
std::string shell_quote(const char* text);
