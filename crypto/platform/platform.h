// The toolkit's only way to the host: memory, whole files, locks, clocks,
// a yield point, start-up hooks, and the debug print layer with its level mask.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "crypto/platform/errors.h"

// Memory
void* PLATFORM_malloc(size_t bytes);
void PLATFORM_free(void* p);

// Whole files. readFile hands out size + 1 bytes; the caller frees them with PLATFORM_free.
MSTATUS PLATFORM_readFile(const char* name, uint8_t** buffer, uint32_t* length);
MSTATUS PLATFORM_writeFile(const char* name, const uint8_t* data, uint32_t length);

// Locks (inert in this single-threaded system)
typedef void* PlatformMutex;
MSTATUS PLATFORM_mutexCreate(PlatformMutex* m);
MSTATUS PLATFORM_mutexWait(PlatformMutex m);
MSTATUS PLATFORM_mutexRelease(PlatformMutex m);
MSTATUS PLATFORM_mutexFree(PlatformMutex* m);
MSTATUS PLATFORM_mutexWaitChecked(PlatformMutex m, uint32_t* held);
MSTATUS PLATFORM_mutexReleaseChecked(PlatformMutex m, uint32_t* held);

// Clocks
struct PlatformTimeStamp {
    uint32_t seconds;
};
// Without a previous stamp: fills out and returns 0; with one: the milliseconds since it.
uint32_t PLATFORM_timeStamp(const PlatformTimeStamp* previous, PlatformTimeStamp* out);
uint32_t PLATFORM_milliseconds();
MSTATUS PLATFORM_getDate(uint8_t out[6]);
void PLATFORM_yield(uint32_t value);

// Start-up and shutdown hooks
MSTATUS PLATFORM_startupHook1();
MSTATUS PLATFORM_startupHook2();
MSTATUS PLATFORM_startupHook3();
MSTATUS PLATFORM_startupHook4(uint32_t strict);
MSTATUS PLATFORM_startupHook5(uint32_t strict);
MSTATUS PLATFORM_shutdownHooks();

// Debug print. A print happens only when every bit of its level is in the mask.
enum : uint32_t { DEBUG_DEFAULT_MASK = 0x00400002u };
extern uint32_t g_debugLevelMask;
extern int32_t g_debugConsoleState[2];
void DEBUG_print(uint32_t level, const char* text);
void DEBUG_printLine(uint32_t level, const char* text);
void DEBUG_printInt(uint32_t level, int32_t value);
void DEBUG_printHexByte(uint32_t level, int32_t value);
void DEBUG_printStatusLine(uint32_t level, const char* text, int32_t value);
void DEBUG_printHexDump(uint32_t level, const uint8_t* data, uint32_t length);
// Redirects the debug output to a file opened for writing; a null path returns it
// to standard output.
MSTATUS DEBUG_CONSOLE_setOutput(const char* path);

// Overwrites memory in a way the optimiser may not remove (key material, contexts).
void PLATFORM_zeroize(void* p, size_t bytes);
