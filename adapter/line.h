// The line to the peer, whatever it is: a serial device, standard input and
// output, a raw TCP connection or telnet. ZMODEM_PORT chooses the kind when
// the program runs; one record holds the open line, and every function here
// takes it first and dispatches on its kind (adapter/line.cpp). Each kind
// lives in a file of its own (line_serial_*, line_stdio_*, line_tcp.cpp with
// line_telnet.cpp); the unit tests link their in-memory line in place of all
// of them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "adapter/port_settings.h"
#include "adapter/telnet_state.h"

enum LineKind { LINE_DEVICE, LINE_STDIO, LINE_TCP, LINE_TELNET };

// What an operation on the line came to. LINE_GONE: the line is there no
// more (a device removed or hung up, the other end of a pty or a pipe
// closed, a connection closed or reset, standard input at its end); it stays
// so, and every later operation says the same at once.
enum LineStatus { LINE_OK = 0, LINE_FAILED = 1, LINE_GONE = 2 };

constexpr size_t LINE_NAME_SIZE = 300;
constexpr size_t LINE_HOST_SIZE = 256;
constexpr size_t LINE_SERVICE_SIZE = 16;
constexpr size_t LINE_INPUT_SIZE = 4096;

#ifdef _WIN32
using LineWaitHandle = void*;  // a HANDLE for WaitForMultipleObjects
#else
using LineWaitHandle = int;    // a file descriptor for poll (POLLIN)
#endif

struct Line {
    LineKind kind;
    char name[LINE_NAME_SIZE];        // as the messages name it: the device, "-", "tcp:HOST:PORT"
    char host[LINE_HOST_SIZE];        // tcp and telnet: the host, without brackets
    char service[LINE_SERVICE_SIZE];  // tcp and telnet: the port number
    LineSettings settings;
    bool open;
    bool gone;
    // Bytes taken from the line and not yet handed out, from next to end.
    const uint8_t* next;
    const uint8_t* end;
    uint8_t input[LINE_INPUT_SIZE];
#ifdef _WIN32
    void* handle;       // the port, the input pipe, or the socket's event
    void* output;       // stdio: the output pipe
    uintptr_t socket;   // tcp and telnet
    void* waitEvent;    // signalled when input arrives (lineArmWait)
    void* waitPending;  // serial: the overlapped record of the armed wait
    uint32_t baud;
    uint32_t waitMask;
#else
    int fd;             // read side; the write side too but for stdio
    int outFd;          // the write side
    bool wrote;         // written to since the last wait for input
    uint32_t readSinceWrite;  // bytes read since then, counted up to a stream's worth
    bool restoreTerminal;
    termios savedTerminal;  // the modes the stdio terminal had
    bool sendNoWait;        // a socket written with MSG_DONTWAIT, its flags left alone
    bool stopStalled;       // since a stop was asked for, a write has found no room
#endif
    TelnetState telnet;
};

// Parses ZMODEM_PORT (null: the default device) into the record's kind, name,
// host and service, and takes the settings. A form that is not one of those
// accepted prints its message and gives false: the run ends with status 1
// before anything is opened.
bool lineParse(Line* line, const LineSettings* settings);

// Before anything is printed: when ZMODEM_PORT is "-", standard input and
// output become the line, and what the program prints on standard output
// goes to standard error from here on (nowhere, when standard error is the
// terminal that is the line). Does nothing for the other kinds.
void lineClaimStdio();

// Opens and sets up the line. 0 when it is open, and its success line has
// been printed ("Serial port %s successfully reconfigured." for a device);
// otherwise the failed step has printed its message and the run ends with
// status 2.
int lineOpen(Line* line);
// Closes it, and gives a terminal back the modes it had. Safe to repeat.
void lineClose(Line* line);

// Reads up to n bytes; returns as soon as at least one byte is there, or when
// the read time-out (10·n + 100 ms in all, 20 ms between bytes) has passed.
// LINE_OK with a count, maybe 0; LINE_FAILED (count 0, a message printed: the
// read counts as one that brought nothing); LINE_GONE.
int lineRead(Line* line, uint8_t* buffer, uint32_t n, uint32_t* count);
// lineRead, with its usual case done in line: all n bytes already read ahead.
inline int lineReadBuffered(Line* line, uint8_t* buffer, uint32_t n, uint32_t* count) {
    if (n == 0 || static_cast<uint32_t>(line->end - line->next) < n) return lineRead(line, buffer, n, count);
    for (uint32_t i = 0; i < n; i++) buffer[i] = line->next[i];
    line->next += n;
    *count = n;
    return LINE_OK;
}
// Reads what is there, up to n bytes, waiting at most timeoutMs (0: not at
// all) for the first. For a caller that waits on lineWaitHandle itself.
int lineReadWithin(Line* line, uint8_t* buffer, uint32_t n, uint32_t* count, uint32_t timeoutMs);
// True when a read would not wait: bytes have arrived, or the line is gone.
bool lineInputWaiting(Line* line);
// Hands all n bytes to the line. LINE_OK, LINE_FAILED or LINE_GONE.
int lineWrite(Line* line, const uint8_t* bytes, uint32_t n);
// Drops what has been written and not yet sent on the line, where it can.
void lineDiscardOutput(Line* line);
// A break of about the given length: a device holds its line low; telnet
// sends BREAK; a raw TCP line and standard output cannot, and do nothing.
void lineBreak(Line* line, uint32_t milliseconds);
// Waits the given number of milliseconds between read attempts.
void linePause(Line* line, uint32_t milliseconds);
// Microseconds since some fixed moment, never going back: how long the
// other end took to answer, and how fast the line drains.
uint64_t lineClockUs(Line* line);

// What to wait on, together with the console, for input from the line.
// POSIX: a descriptor to poll for POLLIN (POLLHUP or POLLERR: read, and the
// read says LINE_GONE). Windows: an event, signalled once lineArmWait has
// been called and input is there (or the line is gone); arm it before each wait.
LineWaitHandle lineWaitHandle(Line* line);
void lineArmWait(Line* line);

// From a signal handler, before the process ends at once: a terminal made
// raw for the line gets its modes back. Async-signal-safe.
void lineRestoreNow();

// The name of the line, as the messages give it.
inline const char* lineName(const Line* line) { return line->name; }
