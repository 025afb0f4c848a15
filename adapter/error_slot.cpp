#include "adapter/error_slot.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "adapter/progress.h"
#include "adapter/messages.h"

ErrorSlot errorSlot;

void raiseError(const char* format, ...) {
    if (errorSlot.pending) return;
    snprintf(errorSlot.format, sizeof errorSlot.format, "%s", format);
    va_list args;
    va_start(args, format);
    vsnprintf(errorSlot.message, sizeof errorSlot.message, format, args);
    va_end(args);
    errorSlot.pending = 1;
}

void reportError() {
    if (!errorSlot.pending) return;
    // A line that is gone is said once, however many steps find it so.
    static bool lineGoneSaid = false;
    bool repeat = strcmp(errorSlot.format, LIN001_LINE_GONE) == 0 && lineGoneSaid;
    if (strcmp(errorSlot.format, LIN001_LINE_GONE) == 0) lineGoneSaid = true;
    if (!repeat) consoleShowError(errorSlot.message);
    fflush(stdout);
    errorSlot.pending = 0;
}

bool errorIs(const char* format) { return strcmp(errorSlot.format, format) == 0; }

void clearError() { errorSlot.pending = 0; }

void* checkedAlloc(uint32_t count) {
    void* result = malloc(count);
    if (result == nullptr && count != 0) raiseError(MEM001_NO_MEMORY, static_cast<unsigned long>(count));
    return result;
}

