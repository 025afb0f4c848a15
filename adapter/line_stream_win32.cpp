// Reading and writing a Windows line that is a stream rather than a port:
// standard input and output as pipes, or a socket. The port keeps the read
// time-out rule itself (COMMTIMEOUTS); here it is kept by hand, as on POSIX:
// 10·n + 100 ms in all and 20 ms between bytes. Each kind fills the line's
// buffer with what has arrived (pipeFill, socketFill), waiting up to a given
// time for it, and the bytes are handed out from there as the engine asks.
#include <cstdio>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "adapter/constants.h"
#include "adapter/interrupt_flag.h"
#include "adapter/line_kinds.h"

namespace {

int fill(Line* line, uint32_t waitMs) {
    return line->kind == LINE_STDIO ? pipeFill(line, waitMs) : socketFill(line, waitMs);
}

}  // namespace

int streamRead(Line* line, uint8_t* buffer, uint32_t n, uint32_t* count) {
    *count = 0;
    const int64_t total = nowMs() + READ_TIMEOUT_PER_BYTE_MS * n + READ_TIMEOUT_CONSTANT_MS;
    int64_t deadline = total;
    while (*count < n) {
        if (lineTakeBuffered(line, buffer, n, count)) {
            int64_t interval = nowMs() + READ_INTERVAL_TIMEOUT_MS;
            deadline = interval < total ? interval : total;
            continue;
        }
        if (line->gone) return *count != 0 ? LINE_OK : LINE_GONE;
        int64_t now = nowMs();
        uint32_t remaining = deadline > now ? static_cast<uint32_t>(deadline - now) : 0;
        if (interruptRequested) remaining = 0;
        int status = fill(line, remaining);
        if (status == LINE_GONE) return *count != 0 ? LINE_OK : LINE_GONE;
        if (status != LINE_OK) {
            *count = 0;
            return status;
        }
        if (line->next == line->end) return LINE_OK;  // nothing within the time
    }
    return LINE_OK;
}

int streamReadWithin(Line* line, uint8_t* buffer, uint32_t n, uint32_t* count, uint32_t timeoutMs) {
    *count = 0;
    if (lineTakeBuffered(line, buffer, n, count)) return LINE_OK;
    if (line->gone) return LINE_GONE;
    int status = fill(line, timeoutMs);
    lineTakeBuffered(line, buffer, n, count);
    return *count != 0 ? LINE_OK : status;
}

bool streamInputWaiting(Line* line) {
    if (line->next < line->end || line->gone) return true;
    fill(line, 0);
    return line->next < line->end || line->gone;
}

void streamArmWait(Line* line) {
    if (line->waitEvent == nullptr) return;
    HANDLE event = static_cast<HANDLE>(line->waitEvent);
    // A pipe's event is set by its reader while input waits; bytes already
    // taken ahead set it here. A socket's event tells of input since the last
    // look: cleared, and input that came before is looked for here.
    if (line->kind == LINE_STDIO) {
        if (line->next < line->end || line->gone) SetEvent(event);
        return;
    }
    ResetEvent(event);
    if (streamInputWaiting(line)) SetEvent(event);
}

