// Boot counting: unconfirmed starts per image slot in a two-copy board EEPROM record.
#include "boot/bootcount.h"

#include <cstdio>
#include <string>

#include "board/i2c.h"
#include "board/record.h"
#include "board/sys.h"
#include "boot/env.h"

namespace {

// One byte: written at every counted start, and each EEPROM byte takes 100 ms.
const board_record kCounts = {BOARD_RECORD_BOOT_COUNT, BOARD_RECORD_BOOT_COUNT_TAG, 1};
const char* const INSTALL_LOG = "/user/install.log";

bool is_slot(int slot) {
    return slot == 1 || slot == 2;
}

uint8_t with_count(uint8_t payload, int slot, int count) {
    int shift = slot == 1 ? 0 : 4;
    return uint8_t((payload & ~(0x0F << shift)) | (count & 0x0F) << shift);
}

// The payload, or -1 when the EEPROM could not be read.
int read_counts() {
    uint8_t payload = 0;
    return board_record_read(kCounts, &payload) < 0 ? -1 : payload;
}

// Sets slot's count; nothing is written when it holds that count already.
int store_count(int slot, int count) {
    int payload = read_counts();
    if (payload < 0) return -1;
    if (bootcount_of(uint8_t(payload), slot) == count) return 0;
    uint8_t updated = with_count(uint8_t(payload), slot, count);
    return board_record_write(kCounts, &updated) ? 1 : -1;
}

void log_passed_over(const char* what) {
    uint8_t c[7] = {};
    rtc_read(c);
    FILE* log = fopen(sys_path(INSTALL_LOG).c_str(), "a");
    if (!log) return;
    fprintf(log, "%s at %2.2x:%2.2x:%2.2x on %x-%x-20%2.2x\n", what, c[2] & 0x3F, c[1] & 0x7F,
            c[0] & 0x7F, c[4] & 0x3F, c[5] & 0x1F, c[6]);
    fclose(log);
}

} // namespace

int bootcount_of(uint8_t payload, int slot) {
    return slot == 1 ? payload & 0x0F : payload >> 4;
}

bool bootcount_admit(int slot) {
    int limit = boot_env_flags.bootlimit;
    if (limit == 0 || !is_slot(slot)) return true;
    int payload = read_counts();
    int count = payload < 0 ? 0 : bootcount_of(uint8_t(payload), slot);
    if (count < limit) return true;
    int other = slot == 1 ? 2 : 1;
    char what[96];
    if (boot_env_flags.second_attempt)
        snprintf(what, sizeof what, "Image%d not confirmed after %d starts, trying rescue mode",
                 slot, count);
    else
        snprintf(what, sizeof what, "Image%d not confirmed after %d starts, trying Image%d", slot,
                 count, other);
    fprintf(stderr, "%s now.\n", what);
    log_passed_over(what);
    if (!boot_env_flags.second_attempt) board_set_boot_slot(uint8_t(other));
    return false;
}

void bootcount_started(int slot) {
    if (boot_env_flags.bootlimit == 0 || !is_slot(slot)) return;
    int payload = read_counts();
    int count = payload < 0 ? 0 : bootcount_of(uint8_t(payload), slot);
    store_count(slot, count < 15 ? count + 1 : 15);
}

void bootcount_reset(int slot) {
    if (boot_env_flags.bootlimit != 0 && is_slot(slot)) store_count(slot, 0);
}

int bootcount_confirm() {
    uint8_t source = 0;
    board_read(EEPROM_BOOT_SOURCE, 1, &source);
    if (!is_slot(source)) return 0;
    int stored = store_count(source, 0);
    return stored < 0 ? -1 : stored == 0 ? 0 : source;
}
