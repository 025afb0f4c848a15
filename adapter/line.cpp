// The line chosen in ZMODEM_PORT, and the dispatch of every line operation
// to the kind of line that is open.
#include "adapter/line.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "adapter/constants.h"
#include "adapter/line_kinds.h"
#include "adapter/messages.h"

int lineOpen(Line* line) {
    line->next = line->end = line->input;
    line->gone = false;
#ifndef _WIN32
    line->fd = line->outFd = -1;
    line->wrote = false;
    line->readSinceWrite = 0;
    line->sendNoWait = false;
    line->stopStalled = false;
#else
    line->handle = line->output = line->waitEvent = line->waitPending = nullptr;
#endif
    int result = 1;
    switch (line->kind) {
        case LINE_DEVICE: result = serialOpen(line); break;
        case LINE_STDIO: result = stdioOpen(line); break;
        case LINE_TCP:
        case LINE_TELNET: result = tcpOpen(line); break;
    }
    line->open = true;
    if (result != 0) lineClose(line);  // what a failed step left open
    return result;
}

void lineClose(Line* line) {
    if (!line->open) return;
    switch (line->kind) {
        case LINE_DEVICE: serialClose(line); break;
        case LINE_STDIO: stdioClose(line); break;
        case LINE_TCP:
        case LINE_TELNET: tcpClose(line); break;
    }
    line->open = false;
    line->next = line->end = line->input;
}

#ifndef _WIN32
int lineRead(Line* line, uint8_t* buffer, uint32_t n, uint32_t* count) { return fdRead(line, buffer, n, count); }

int lineReadWithin(Line* line, uint8_t* buffer, uint32_t n, uint32_t* count, uint32_t timeoutMs) {
    return fdReadWithin(line, buffer, n, count, timeoutMs);
}

bool lineInputWaiting(Line* line) { return fdInputWaiting(line); }

int lineWrite(Line* line, const uint8_t* bytes, uint32_t n) {
    return line->kind == LINE_TELNET ? telnetWrite(line, bytes, n) : fdWrite(line, bytes, n);
}

LineWaitHandle lineWaitHandle(Line* line) { return line->fd; }

void lineArmWait(Line*) {}
#else
// A device is a port that keeps the read rule itself; pipes and sockets are streams.
int lineRead(Line* line, uint8_t* buffer, uint32_t n, uint32_t* count) {
    return line->kind == LINE_DEVICE ? serialRead(line, buffer, n, count) : streamRead(line, buffer, n, count);
}

int lineReadWithin(Line* line, uint8_t* buffer, uint32_t n, uint32_t* count, uint32_t timeoutMs) {
    if (line->kind == LINE_DEVICE) return serialReadWithin(line, buffer, n, count, timeoutMs);
    return streamReadWithin(line, buffer, n, count, timeoutMs);
}

bool lineInputWaiting(Line* line) {
    return line->kind == LINE_DEVICE ? serialInputWaiting(line) : streamInputWaiting(line);
}

int lineWrite(Line* line, const uint8_t* bytes, uint32_t n) {
    switch (line->kind) {
        case LINE_DEVICE: return serialWrite(line, bytes, n);
        case LINE_STDIO: return pipeWrite(line, bytes, n);
        case LINE_TELNET: return telnetWrite(line, bytes, n);
        case LINE_TCP: break;
    }
    return socketWrite(line, bytes, n);
}

LineWaitHandle lineWaitHandle(Line* line) { return line->waitEvent; }

void lineArmWait(Line* line) {
    if (line->kind == LINE_DEVICE)
        serialArmWait(line);
    else
        streamArmWait(line);
}
#endif

void lineDiscardOutput(Line* line) {
    if (line->kind == LINE_DEVICE) serialDiscardOutput(line);
}

void lineBreak(Line* line, uint32_t milliseconds) {
    if (line->kind == LINE_DEVICE) serialBreak(line, milliseconds);
    if (line->kind == LINE_TELNET) telnetBreak(line, milliseconds);
}

void lineClaimStdio() {
    const char* port = getenv(PORT_VARIABLE);
    if (port != nullptr && strcmp(port, "-") == 0) stdioClaim();
}

void lineRestoreNow() { stdioRestoreNow(); }

uint64_t lineClockUs(Line*) {
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(since).count());
}
