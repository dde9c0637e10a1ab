// The process-wide entropy depot: a 64-byte mixing block that collects
// entropy bits, stirred with the SHA-1 G function, and a 48-byte output block
// from which withdrawals are served.
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "crypto/hash/hash.h"
#include "crypto/random/random.h"

namespace {

struct EntropyDepot {
    uint8_t mix[64];
    uint8_t output[ENTROPY_OUTPUT_BYTES];
    uint32_t used; // output bytes handed out; 48 means empty
    uint32_t bitPosition;
    uint32_t initialised, primed, shutDown;
    PlatformMutex mutex;
    PlatformMutex spareMutex;
    uint32_t held;
    uint32_t refreshCount;
};

EntropyDepot s_depot;

MSTATUS firstUse() {
    if (s_depot.shutDown != 0) return ERR_ENTROPY_SHUTDOWN;
    if (s_depot.initialised != 0) return OK;
    MSTATUS status = PLATFORM_mutexCreate(&s_depot.mutex);
    if (status < 0) return status;
    status = PLATFORM_mutexCreate(&s_depot.spareMutex);
    if (status < 0) return status;
    s_depot.used = ENTROPY_OUTPUT_BYTES;
    s_depot.bitPosition = 0;
    s_depot.held = 0;
    s_depot.initialised = 1;
    return OK;
}

void putU64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void putClock(uint8_t* p, clockid_t id) {
    struct timespec ts = {0, 0};
    clock_gettime(id, &ts);
    putU64(p, static_cast<uint64_t>(ts.tv_sec));
    putU64(p + 8, static_cast<uint64_t>(ts.tv_nsec));
}

// Volatile machine state folded into every refresh: four clocks to the
// nanosecond (wall, monotonic, process and thread CPU time), the process id,
// a stack address, and the depot's own refresh count. None of it is secret on
// its own; it keeps consecutive refreshes apart even without new entropy bits.
void machineState(uint8_t state[96]) {
    std::memset(state, 0, 96);
    putClock(state + 0, CLOCK_REALTIME);
    putClock(state + 16, CLOCK_MONOTONIC);
    putClock(state + 32, CLOCK_PROCESS_CPUTIME_ID);
    putClock(state + 48, CLOCK_THREAD_CPUTIME_ID);
    putU64(state + 64, static_cast<uint64_t>(getpid()));
    putU64(state + 72, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&state)));
    putU64(state + 80, s_depot.refreshCount);
    putU64(state + 88, static_cast<uint64_t>(clock()));
}

void stir() {
    uint8_t out[20];
    for (int i = 0; i < 3; ++i) {
        SHA1_gFunction(s_depot.mix, out);
        std::memcpy(s_depot.mix + 20 * i, out, 20);
    }
    PLATFORM_zeroize(out, sizeof out);
}

void refresh() {
    uint32_t ms = PLATFORM_milliseconds();
    s_depot.mix[0] ^= static_cast<uint8_t>(ms >> 24);
    s_depot.mix[1] ^= static_cast<uint8_t>(ms >> 16);
    s_depot.mix[2] ^= static_cast<uint8_t>(ms >> 8);
    s_depot.mix[3] ^= static_cast<uint8_t>(ms);
    uint8_t date[6];
    PLATFORM_getDate(date);
    for (int i = 0; i < 6; ++i) s_depot.mix[47 - i] ^= date[i];
    for (int i = 0; i < 48; ++i) s_depot.mix[(4 + i) % 48] ^= static_cast<uint8_t>(0x67 + i);
    uint8_t state[96];
    machineState(state);
    for (int i = 0; i < 96; ++i) s_depot.mix[i % 48] ^= state[i];
    PLATFORM_zeroize(state, sizeof state);
    stir();
    ++s_depot.refreshCount;
}

void refill() {
    for (uint32_t i = 0; i < ENTROPY_OUTPUT_BYTES; ++i) s_depot.output[i] ^= s_depot.mix[i];
    stir();
    s_depot.used = 0;
}

} // namespace

MSTATUS ENTROPY_addBit(uint32_t bit) {
    MSTATUS status = firstUse();
    if (status < 0) return status;
    status = PLATFORM_mutexWaitChecked(s_depot.mutex, &s_depot.held);
    if (status < 0) return status;
    s_depot.bitPosition = (s_depot.bitPosition + 1) % ENTROPY_POOL_BITS;
    if ((bit & 1u) != 0) {
        s_depot.mix[s_depot.bitPosition / 8] ^=
            static_cast<uint8_t>(1u << (s_depot.bitPosition % 8));
    }
    return PLATFORM_mutexReleaseChecked(s_depot.mutex, &s_depot.held);
}

MSTATUS ENTROPY_getBytes(uint8_t* buffer, uint32_t count) {
    MSTATUS status = firstUse();
    if (status < 0) return status;
    if (buffer == nullptr && count != 0) return ERR_NULL_POINTER;
    status = PLATFORM_mutexWaitChecked(s_depot.mutex, &s_depot.held);
    if (status < 0) return status;
    if (s_depot.primed == 0) {
        refresh();
        refill();
        s_depot.primed = 1;
    }
    while (count != 0) {
        uint32_t unused = ENTROPY_OUTPUT_BYTES - s_depot.used;
        uint32_t take = count < unused ? count : unused;
        std::memcpy(buffer, s_depot.output + s_depot.used, take);
        std::memset(s_depot.output + s_depot.used, 0, take);
        s_depot.used += take;
        buffer += take;
        count -= take;
        if (count != 0 && s_depot.used == ENTROPY_OUTPUT_BYTES) {
            refresh();
            refill();
        }
    }
    return PLATFORM_mutexReleaseChecked(s_depot.mutex, &s_depot.held);
}

MSTATUS ENTROPY_shutdown() {
    if (s_depot.initialised != 0) {
        PLATFORM_mutexFree(&s_depot.mutex);
        PLATFORM_mutexFree(&s_depot.spareMutex);
    }
    PLATFORM_zeroize(&s_depot, sizeof s_depot);
    s_depot.shutDown = 1;
    return OK;
}

MSTATUS ENTROPY_reinitialize() {
    if (s_depot.initialised != 0) {
        PLATFORM_mutexFree(&s_depot.mutex);
        PLATFORM_mutexFree(&s_depot.spareMutex);
    }
    PLATFORM_zeroize(&s_depot, sizeof s_depot);
    return OK;
}

MSTATUS ENTROPY_getInfo(EntropyDepotInfo* info) {
    if (info == nullptr) return ERR_NULL_POINTER;
    info->initialised = s_depot.initialised;
    info->primed = s_depot.primed;
    info->shutDown = s_depot.shutDown;
    info->bitPosition = s_depot.bitPosition;
    info->unusedBytes = s_depot.initialised != 0 ? ENTROPY_OUTPUT_BYTES - s_depot.used : 0;
    info->refreshCount = s_depot.refreshCount;
    return OK;
}
