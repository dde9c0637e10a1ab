// The toolkit's platform layer on Linux: the C library allocator and stdio,
// inert locks (the boot manager has one thread), POSIX clocks, and the debug
// print layer with its level mask.
#include "crypto/platform/platform.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <sys/stat.h>

// ---------------------------------------------------------------- memory

void* PLATFORM_malloc(size_t bytes) {
    return std::malloc(bytes);
}

void PLATFORM_free(void* p) {
    std::free(p);
}

void PLATFORM_zeroize(void* p, size_t bytes) {
    if (p == nullptr) return;
    volatile uint8_t* q = static_cast<volatile uint8_t*>(p);
    while (bytes-- != 0) *q++ = 0;
}

// ---------------------------------------------------------------- files

namespace {
struct FileCloser {
    void operator()(FILE* f) const {
        if (f != nullptr) std::fclose(f);
    }
};
} // namespace

MSTATUS PLATFORM_readFile(const char* name, uint8_t** buffer, uint32_t* length) {
    if (name == nullptr || buffer == nullptr || length == nullptr) return ERR_NULL_POINTER;
    *buffer = nullptr;
    *length = 0;

    std::unique_ptr<FILE, FileCloser> f(std::fopen(name, "rb"));
    if (!f) return ERR_FILE_OPEN_FAILED;
    // Only regular files have a size to go by (not directories, devices or pipes).
    struct stat st;
    if (fstat(fileno(f.get()), &st) != 0 || !S_ISREG(st.st_mode)) return ERR_FILE_OPEN_FAILED;
    if (std::fseek(f.get(), 0, SEEK_END) != 0) return ERR_FILE_OPEN_FAILED;
    long size = std::ftell(f.get());
    if (size <= 0) return ERR_FILE_OPEN_FAILED; // empty, or not a seekable file
    if (std::fseek(f.get(), 0, SEEK_SET) != 0) return ERR_FILE_OPEN_FAILED;
    // The length is handed out as 32 bits and one byte more is allocated.
    if (static_cast<unsigned long>(size) >= 0xFFFFFFFFul) return ERR_MEM_ALLOC_FAIL;

    uint8_t* data = static_cast<uint8_t*>(PLATFORM_malloc(static_cast<size_t>(size) + 1));
    if (data == nullptr) return ERR_MEM_ALLOC_FAIL;
    size_t got = std::fread(data, 1, static_cast<size_t>(size), f.get());
    if (got != static_cast<size_t>(size)) {
        PLATFORM_free(data);
        return ERR_FILE_READ_FAILED;
    }
    data[size] = 0;
    *buffer = data;
    *length = static_cast<uint32_t>(size);
    return OK;
}

MSTATUS PLATFORM_writeFile(const char* name, const uint8_t* data, uint32_t length) {
    if (name == nullptr || (data == nullptr && length != 0)) return ERR_NULL_POINTER;
    FILE* f = std::fopen(name, "wb");
    if (f == nullptr) return ERR_FILE_OPEN_FAILED;
    size_t put = length != 0 ? std::fwrite(data, 1, length, f) : 0;
    // A failing close loses buffered bytes just as a short write does.
    int closed = std::fclose(f);
    if (put != length || closed != 0) return ERR_FILE_WRITE_FAILED;
    return OK;
}

// ---------------------------------------------------------------- locks

namespace {
// Handles point here so that a created mutex is never null; nothing is locked.
uint8_t s_inertMutex;
} // namespace

MSTATUS PLATFORM_mutexCreate(PlatformMutex* m) {
    if (m == nullptr) return ERR_NULL_POINTER;
    *m = &s_inertMutex;
    return OK;
}

MSTATUS PLATFORM_mutexWait(PlatformMutex) {
    return OK;
}

MSTATUS PLATFORM_mutexRelease(PlatformMutex) {
    return OK;
}

MSTATUS PLATFORM_mutexFree(PlatformMutex* m) {
    if (m != nullptr) *m = nullptr;
    return OK;
}

MSTATUS PLATFORM_mutexWaitChecked(PlatformMutex m, uint32_t* held) {
    if (held == nullptr) return ERR_NULL_POINTER;
    if (*held != 0) return ERR_MUTEX_WAIT_HELD;
    MSTATUS status = PLATFORM_mutexWait(m);
    if (status < 0) return status;
    *held = 1;
    return OK;
}

MSTATUS PLATFORM_mutexReleaseChecked(PlatformMutex m, uint32_t* held) {
    if (held == nullptr) return ERR_NULL_POINTER;
    if (*held == 0) return ERR_MUTEX_RELEASE_NOT_HELD;
    MSTATUS status = PLATFORM_mutexRelease(m);
    if (status < 0) return status;
    *held = 0;
    return OK;
}

// ---------------------------------------------------------------- clocks
//
// The time stamp and the millisecond clock run on CLOCK_MONOTONIC, so that a
// date set from the real-time clock during start-up does not make them jump;
// the date comes from the system clock in UTC.

namespace {
uint64_t monotonicMilliseconds() {
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return 0;
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}
} // namespace

uint32_t PLATFORM_timeStamp(const PlatformTimeStamp* previous, PlatformTimeStamp* out) {
    uint32_t nowSeconds = static_cast<uint32_t>(monotonicMilliseconds() / 1000u);
    if (previous == nullptr) {
        if (out != nullptr) out->seconds = nowSeconds;
        return 0;
    }
    return (nowSeconds - previous->seconds) * 1000u;
}

uint32_t PLATFORM_milliseconds() {
    return static_cast<uint32_t>(monotonicMilliseconds());
}

MSTATUS PLATFORM_getDate(uint8_t out[6]) {
    if (out == nullptr) return ERR_NULL_POINTER;
    std::memset(out, 0, 6);
    time_t now = std::time(nullptr);
    struct tm tmv;
    if (now == static_cast<time_t>(-1) || gmtime_r(&now, &tmv) == nullptr) return OK;
    int years = tmv.tm_year + 1900 - 1970 - 30; // years since 2000
    out[0] = static_cast<uint8_t>(years < 0 ? 0 : years);
    out[1] = static_cast<uint8_t>(tmv.tm_mon + 1);
    out[2] = static_cast<uint8_t>(tmv.tm_mday);
    out[3] = static_cast<uint8_t>(tmv.tm_hour);
    out[4] = static_cast<uint8_t>(tmv.tm_min);
    out[5] = static_cast<uint8_t>(tmv.tm_sec);
    return OK;
}

void PLATFORM_yield(uint32_t) {}

// ---------------------------------------------------------------- start-up hooks

MSTATUS PLATFORM_startupHook1() {
    return OK;
}
MSTATUS PLATFORM_startupHook2() {
    return OK;
}
MSTATUS PLATFORM_startupHook3() {
    return OK;
}
MSTATUS PLATFORM_startupHook4(uint32_t) {
    return OK;
}
MSTATUS PLATFORM_startupHook5(uint32_t) {
    return 1;
}
MSTATUS PLATFORM_shutdownHooks() {
    return OK;
}

// ---------------------------------------------------------------- debug print

uint32_t g_debugLevelMask = DEBUG_DEFAULT_MASK;
int32_t g_debugConsoleState[2] = {0, -1};

namespace {
FILE* s_debugOut = nullptr;    // chosen at the first print
bool s_debugOutIsFile = false; // opened by DEBUG_CONSOLE_setOutput

bool admitted(uint32_t level) {
    return (level & g_debugLevelMask) == level;
}

FILE* debugStream() {
    if (s_debugOut == nullptr) s_debugOut = stdout;
    return s_debugOut;
}

void emit(const char* text) {
    FILE* out = debugStream();
    std::fputs(text, out);
    std::fflush(out);
}
} // namespace

void DEBUG_print(uint32_t level, const char* text) {
    if (!admitted(level) || text == nullptr) return;
    emit(text);
}

void DEBUG_printLine(uint32_t level, const char* text) {
    if (!admitted(level)) return;
    if (text != nullptr) emit(text);
    emit("\r\n");
}

void DEBUG_printInt(uint32_t level, int32_t value) {
    if (!admitted(level)) return;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d", static_cast<int>(value));
    emit(buf);
}

void DEBUG_printHexByte(uint32_t level, int32_t value) {
    if (!admitted(level)) return;
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned>(value) & 0xFFu);
    emit(buf);
}

void DEBUG_printStatusLine(uint32_t level, const char* text, int32_t value) {
    if (!admitted(level)) return;
    if (text != nullptr) emit(text);
    DEBUG_printInt(level, value);
    emit("\r\n");
}

void DEBUG_printHexDump(uint32_t level, const uint8_t* data, uint32_t length) {
    if (!admitted(level)) return;
    char buf[32];
    std::snprintf(buf, sizeof buf, "length = %u\r\n", static_cast<unsigned>(length));
    emit(buf);
    if (data == nullptr) return;
    for (uint32_t i = 0; i < length; ++i) {
        std::snprintf(buf, sizeof buf, "%02x ", static_cast<unsigned>(data[i]));
        emit(buf);
        if ((i & 15u) == 15u || i + 1 == length) emit("\r\n");
    }
}

MSTATUS DEBUG_CONSOLE_setOutput(const char* path) {
    emit("Switching output stream\r\n");
    if (s_debugOutIsFile) {
        std::fclose(s_debugOut);
        s_debugOutIsFile = false;
    }
    // Never keep a closed stream: fall back to standard output until a file opens.
    s_debugOut = stdout;
    if (path == nullptr) return OK; // back to standard output
    FILE* f = std::fopen(path, "w");
    if (f == nullptr) {
        if ((g_debugLevelMask & 0x00400000u) != 0) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%s[%d]: ", "DEBUG_CONSOLE_setOutput", __LINE__);
            emit(buf);
            emit("Failed to open ");
            emit(path);
            emit(" for writing\r\n");
        }
        return ERR_DEBUG_OPEN_FAILED;
    }
    s_debugOut = f;
    s_debugOutIsFile = true;
    return OK;
}
