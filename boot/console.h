// Console input: the serial console is descriptor 0 and standard output.
// The console stays in its normal (canonical, echoing) mode between calls.
#pragma once
#include <cstddef>

// Reads one key in raw mode. timeout_tenths: tenths of a second (0 to 255),
// 0 waits without limit. Returns 0 to 255; 0 means no key (time-out, a read
// that a signal interrupted, or input that has ended).
int read_key(int timeout_tenths);
// read_key(0).
int get_key();
// True once descriptor 0 has reported end of input (a closed pipe, a hung-up
// line): waiting loops use it to stop instead of spinning.
bool console_input_closed();
// Writes one character to standard output and flushes it.
void echo_char(int c);
// Echoes a key that answered a question, with a line end. No key (a time-out,
// an interrupted read, the end of input) echoes the line end only.
void echo_key(int key);
// Line editor. Returns `buffer`, holding the line NUL-terminated without its
// line end; at most size - 1 characters.
char* read_line(char* buffer, size_t size);
// "<question> y/N? " and one key: 1 for y or Y, 0 for anything else or no key.
int ask_yes_no(const char* question, int timeout_tenths);
// Prompt, "(y/n) " and a line with a time-out per pass: 1 for 'y', 0 for 'n'
// or time-out.
int ask_yn_poll(const char* prompt);

// Time-out of one ask_yn_poll pass in milliseconds (5000); tests shorten it.
extern int g_yn_poll_timeout_ms;
