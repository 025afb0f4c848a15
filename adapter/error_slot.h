// The process-wide error slot through which all failures travel, in the
// engine and in the adapter alike.
#pragma once

#include <cstdint>

#include "adapter/constants.h"
#include "adapter/messages.h"

// Room for the longest message: FIL005 with a name of FILE_NAME_SIZE - 1
// characters and a 20-digit offset (the widest unsigned long).
constexpr int ERROR_TEXT_SIZE = static_cast<int>(sizeof FIL005_SEEK_FAILED) + FILE_NAME_SIZE + 20;
static_assert(sizeof FIL003_FILE_TOO_LARGE + FILE_NAME_SIZE <= ERROR_TEXT_SIZE, "FIL003 with the longest name");

struct ErrorSlot {
    char format[ERROR_TEXT_SIZE];   // the format the latched error was raised with: its identity
    char message[ERROR_TEXT_SIZE];
    uint32_t pending;
};

extern ErrorSlot errorSlot;

// Latches the first error; later ones are dropped while it is pending.
void raiseError(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Prints the pending message and clears the pending flag.
void reportError();
// True when the last error was raised with this format text.
bool errorIs(const char* format);
// Clears the pending flag without printing.
void clearError();
inline bool errorPending() { return errorSlot.pending != 0; }

// Allocates, or latches MEM001 and gives null.
void* checkedAlloc(uint32_t count);
