// Operating-system services the boot manager uses through replaceable hooks,
// so that tests can record shell commands instead of running them and skip waits.
#pragma once
#include <cstdint>

// Runs a command through the shell (system(3) by default). Returns system's result.
int run_shell(const char* command);
extern int (*g_shell_runner)(const char* command);

void sys_sleep(unsigned seconds);
void sys_usleep(uint64_t microseconds);
extern void (*g_sleep_hook)(uint64_t microseconds);
