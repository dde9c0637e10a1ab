// Small records kept in the board EEPROM past the registers the boot manager has always
// used, each in two copies so that a power cut while one is written leaves the other.
//
// A copy is: tag (1 byte, the record's own, never 0x00 or 0xFF), sequence (1 byte),
// the payload (length bytes), then a 16-bit check (CRC-16/CCITT-FALSE, polynomial 0x1021,
// initial value 0xFFFF, high byte first) over sequence and payload. Copy A stands at the
// record's offset, copy B right after it (offset + length + 4).
//
// The current value is the valid copy with the newer sequence (compared modulo 256: b is
// newer than a when (b - a) mod 256 is 1 to 127). A write goes to the other copy: its tag
// byte is cleared first, then sequence, payload and check are written, and the tag last, so
// a cut at any byte leaves that copy invalid and the older value current, until the last byte
// lands and the new value is.
#pragma once
#include <cstdint>

struct board_record {
    uint16_t offset; // copy A; copy B follows it
    uint8_t tag;
    uint8_t length; // payload bytes, 1 to 32
};

enum : int {
    BOARD_RECORD_MAX = 32,
    // Records in use, beside the register map: offset, tag.
    BOARD_RECORD_BOOT_COUNT = 0x0200, // 0x0200 to 0x023F
    BOARD_RECORD_BOOT_COUNT_TAG = 0x42,
    BOARD_RECORD_FLOOR = 0x0240, // 0x0240 to 0x027F
    BOARD_RECORD_FLOOR_TAG = 0x46,
};

// Reads the current value into payload (record.length bytes). Returns 1 when a valid copy was
// found, 0 when neither copy is valid (payload zeroed: a board that never held the record),
// -1 when the EEPROM could not be read (payload zeroed too; the message was printed).
int board_record_read(const board_record& record, uint8_t* payload);

// Stores payload as the new value. Returns 1 when every byte was written, 0 when a write
// failed (the previous value stays current) or the record could not be read first.
int board_record_write(const board_record& record, const uint8_t* payload);

// The 16-bit check of a copy, for tools that read or make these records.
uint16_t board_record_check(uint8_t sequence, const uint8_t* payload, int length);
