// The functions each kind of line provides to the dispatch in adapter/line.cpp.
#pragma once

#include <chrono>

#include "adapter/line.h"

// Milliseconds on a clock that only goes forward, for deadlines.
inline int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Hands out what has been read ahead, after the *count bytes already in the
// buffer, up to n in all. True when it moved any.
inline bool lineTakeBuffered(Line* line, uint8_t* buffer, uint32_t n, uint32_t* count) {
    bool moved = false;
    while (line->next < line->end && *count < n) {
        buffer[(*count)++] = *line->next++;
        moved = true;
    }
    return moved;
}

int serialOpen(Line* line);
void serialClose(Line* line);
void serialBreak(Line* line, uint32_t milliseconds);
void serialDiscardOutput(Line* line);

int stdioOpen(Line* line);
void stdioClose(Line* line);
void stdioClaim();
void stdioRestoreNow();

#ifdef _WIN32
int serialRead(Line* line, uint8_t* buffer, uint32_t n, uint32_t* count);
int serialReadWithin(Line* line, uint8_t* buffer, uint32_t n, uint32_t* count, uint32_t timeoutMs);
bool serialInputWaiting(Line* line);
int serialWrite(Line* line, const uint8_t* bytes, uint32_t n);
void serialArmWait(Line* line);
// Standard input and output as pipes, and sockets: the line's read rule kept
// by hand over what each fills in (line_stream_win32.cpp).
int streamRead(Line* line, uint8_t* buffer, uint32_t n, uint32_t* count);
int streamReadWithin(Line* line, uint8_t* buffer, uint32_t n, uint32_t* count, uint32_t timeoutMs);
bool streamInputWaiting(Line* line);
void streamArmWait(Line* line);
// Reads what has arrived into the line's buffer, waiting up to waitMs for it:
// LINE_OK (maybe nothing), LINE_GONE, or LINE_FAILED with its message.
int pipeFill(Line* line, uint32_t waitMs);    // line_stdio_win32.cpp
int pipeWrite(Line* line, const uint8_t* bytes, uint32_t n);
int socketFill(Line* line, uint32_t waitMs);  // line_tcp_win32.cpp
int socketWrite(Line* line, const uint8_t* bytes, uint32_t n);
// Waits up to the given time for the socket to be readable (or closed).
// 1 readable, 0 not, -1 a failed wait (WSAGetLastError tells why).
int socketAwaitReadable(Line* line, uint32_t milliseconds);
#else
// Every POSIX kind is a file descriptor: reads and writes with the line's
// time-out rule and the signs of a line that is gone (line_fd_posix.cpp).
int fdRead(Line* line, uint8_t* buffer, uint32_t n, uint32_t* count);
int fdReadWithin(Line* line, uint8_t* buffer, uint32_t n, uint32_t* count, uint32_t timeoutMs);
bool fdInputWaiting(Line* line);
int fdWrite(Line* line, const uint8_t* bytes, uint32_t n);
#endif

// tcp:HOST:PORT and telnet:HOST:PORT (line_tcp.cpp; on Windows line_tcp_win32.cpp).
int tcpOpen(Line* line);
void tcpClose(Line* line);

// The telnet layer of telnet:HOST:PORT (line_telnet.cpp). Negotiate: after
// connecting, 0 or 1 (its message printed). Decode: the bytes of one read,
// in place; gives how many are data. Write: all n bytes, 0xFF doubled.
int telnetNegotiate(Line* line);
uint32_t telnetDecode(Line* line, uint8_t* bytes, uint32_t n);
int telnetWrite(Line* line, const uint8_t* bytes, uint32_t n);
void telnetBreak(Line* line, uint32_t milliseconds);
