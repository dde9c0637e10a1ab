// Two-copy records in the board EEPROM: read the newer valid copy, write the other one.
#include "board/record.h"

#include <array>
#include <cstring>

#include "board/i2c.h"

namespace {

struct copy_state {
    bool valid = false;
    uint8_t sequence = 0;
    std::array<uint8_t, BOARD_RECORD_MAX> payload{};
};

bool record_sane(const board_record& record) {
    return record.length >= 1 && record.length <= BOARD_RECORD_MAX && record.tag != 0x00 &&
           record.tag != 0xFF && record.offset + 2u * (record.length + 4u) <= 0x10000u;
}

uint16_t copy_offset(const board_record& record, int copy) {
    return static_cast<uint16_t>(record.offset + copy * (record.length + 4));
}

// Reads one copy in one transfer. False when the EEPROM did not answer.
bool read_copy(const board_record& record, int copy, copy_state* state) {
    std::array<uint8_t, BOARD_RECORD_MAX + 4> raw{};
    int size = record.length + 4;
    i2c_mux_select(0, 0);
    int ok = i2c_read_regs(0, EEPROM_ADDR8, copy_offset(record, copy), size, 2, raw.data());
    i2c_mux_deselect(0);
    if (!ok) return false;
    uint16_t stored = static_cast<uint16_t>(raw[2 + record.length] << 8 | raw[3 + record.length]);
    state->sequence = raw[1];
    state->valid =
        raw[0] == record.tag && stored == board_record_check(raw[1], raw.data() + 2, record.length);
    memcpy(state->payload.data(), raw.data() + 2, record.length);
    return true;
}

bool newer(uint8_t a, uint8_t b) {
    uint8_t step = static_cast<uint8_t>(a - b);
    return step >= 1 && step <= 127;
}

// Which copy is current: 0 or 1, or -1 when neither is valid.
int current_copy(const copy_state copies[2]) {
    if (copies[0].valid && copies[1].valid)
        return newer(copies[1].sequence, copies[0].sequence) ? 1 : 0;
    if (copies[0].valid) return 0;
    if (copies[1].valid) return 1;
    return -1;
}

// Reads both copies. -1 when the EEPROM did not answer, else the current copy or -1 in *current.
int read_both(const board_record& record, copy_state copies[2], int* current) {
    if (!read_copy(record, 0, &copies[0]) || !read_copy(record, 1, &copies[1])) return -1;
    *current = current_copy(copies);
    return 0;
}

} // namespace

uint16_t board_record_check(uint8_t sequence, const uint8_t* payload, int length) {
    uint16_t crc = 0xFFFF;
    auto feed = [&crc](uint8_t byte) {
        crc ^= static_cast<uint16_t>(byte << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    };
    feed(sequence);
    for (int i = 0; i < length; ++i) feed(payload[i]);
    return crc;
}

int board_record_read(const board_record& record, uint8_t* payload) {
    if (!record_sane(record) || !payload) return -1;
    memset(payload, 0, record.length);
    copy_state copies[2];
    int current = -1;
    if (read_both(record, copies, &current) < 0) return -1;
    if (current < 0) return 0;
    memcpy(payload, copies[current].payload.data(), record.length);
    return 1;
}

int board_record_write(const board_record& record, const uint8_t* payload) {
    if (!record_sane(record) || !payload) return 0;
    copy_state copies[2];
    int current = -1;
    if (read_both(record, copies, &current) < 0) return 0;
    int target = current == 0 ? 1 : 0;
    uint8_t sequence = current < 0 ? 1 : static_cast<uint8_t>(copies[current].sequence + 1);
    uint16_t check = board_record_check(sequence, payload, record.length);

    std::array<uint8_t, BOARD_RECORD_MAX + 4> bytes{};
    bytes[0] = record.tag;
    bytes[1] = sequence;
    memcpy(bytes.data() + 2, payload, record.length);
    bytes[2 + record.length] = static_cast<uint8_t>(check >> 8);
    bytes[3 + record.length] = static_cast<uint8_t>(check & 0xFF);

    uint16_t base = copy_offset(record, target);
    // The tag is cleared first and set last: until then this copy is not valid.
    if (board_write(base, 0x00) < 0) return 0;
    for (int i = 1; i < record.length + 4; ++i)
        if (board_write(static_cast<uint16_t>(base + i), bytes[i]) < 0) return 0;
    return board_write(base, record.tag) < 0 ? 0 : 1;
}
