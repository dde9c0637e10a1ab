// Boot counting, off unless the boot loader environment sets bootlimit=N: the starts of each
// image slot that its application has not confirmed, kept in the board EEPROM record
// BOARD_RECORD_BOOT_COUNT (board/record.h). A slot started bootlimit times without a
// confirmation is passed over for the other one; both passed over end in rescue mode.
#pragma once
#include <cstdint>

// Whether slot (1 or 2) may be started. False when counting is on and the slot has used up its
// starts: one line on standard error, one in the install log and, on the first attempt, the
// boot slot register set to the other slot. True for any other source.
bool bootcount_admit(int slot);
// Counts one more start of slot before its application is launched (counting on, slot 1 or 2).
void bootcount_started(int slot);
// A new image in slot: its count starts again (counting on).
void bootcount_reset(int slot);
// The application confirms a good start: the count of the slot named by the boot source
// register goes back to 0. Returns that slot, 0 when the application came from elsewhere or its
// count was 0 already, -1 when the EEPROM could not be read or written.
int bootcount_confirm();

// The record's one payload byte: the count of slot 1 in the low four bits, of slot 2 in the high.
int bootcount_of(uint8_t payload, int slot);
