#include "zmodem/session.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "adapter/progress.h"
#include "zmodem/messages.h"

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
    consolePrintf("%s", errorSlot.message);
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

uint32_t headerOffset(const ZmodemSession* session) {
    const uint8_t* d = session->headerData;
    return static_cast<uint32_t>(d[0]) | static_cast<uint32_t>(d[1]) << 8 |
           static_cast<uint32_t>(d[2]) << 16 | static_cast<uint32_t>(d[3]) << 24;
}

void setHeaderOffset(ZmodemSession* session, uint32_t offset) {
    for (int i = 0; i < 4; i++) session->headerData[i] = static_cast<uint8_t>(offset >> (8 * i));
}
