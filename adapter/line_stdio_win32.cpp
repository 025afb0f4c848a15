// Standard input and output as the line on Windows (ZMODEM_PORT=-), when
// both are pipes: a host program that runs this one with pipes, or a
// terminal over SSH. The two handles are taken over before anything is
// printed, and what the program prints on standard output goes to standard
// error from then on. A pipe read waits for ever and a pipe cannot always
// be peeked (Wine's pipes from a POSIX parent cannot), so one thread reads
// the input pipe and hands each burst over through an event, on which the
// line's reads wait with their time-outs and the terminal mode waits with
// the console. A pipe whose other end has closed is a line that is gone. A
// console is not a pipe, and is refused.
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <io.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "adapter/line_kinds.h"
#include "adapter/messages.h"

namespace {

// What the reading thread has read and the line has not yet taken.
struct Handover {
    CRITICAL_SECTION lock;
    HANDLE ready;  // set: bytes are there, or the input has ended
    HANDLE taken;  // set: the bytes are taken, the thread may read again
    uint8_t bytes[LINE_INPUT_SIZE];
    DWORD count;
    bool ended;
};
Handover handover;

HANDLE claimedIn = INVALID_HANDLE_VALUE;
HANDLE claimedOut = INVALID_HANDLE_VALUE;
bool claimed = false;

// A handle of our own on the standard handle, that outlives the C library's descriptor.
HANDLE keep(DWORD which) {
    HANDLE standard = GetStdHandle(which);
    HANDLE own = INVALID_HANDLE_VALUE;
    if (standard == nullptr || standard == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
    if (!DuplicateHandle(GetCurrentProcess(), standard, GetCurrentProcess(), &own, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return INVALID_HANDLE_VALUE;
    return own;
}

bool isPipe(HANDLE handle) { return handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_PIPE; }

bool goneError(DWORD error) {
    return error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF || error == ERROR_PIPE_NOT_CONNECTED ||
           error == ERROR_NO_DATA || error == ERROR_INVALID_HANDLE;
}

int markGone(Line* line) {
    line->gone = true;
    return LINE_GONE;
}

DWORD WINAPI readInput(void*) {
    uint8_t burst[LINE_INPUT_SIZE];
    while (true) {
        DWORD got = 0;
        BOOL read = ReadFile(claimedIn, burst, sizeof burst, &got, nullptr);
        EnterCriticalSection(&handover.lock);
        if (read && got > 0) {
            memcpy(handover.bytes, burst, got);
            handover.count = got;
        } else {
            handover.ended = true;  // end of input or a broken pipe: nothing more comes
        }
        bool ended = handover.ended;
        SetEvent(handover.ready);
        LeaveCriticalSection(&handover.lock);
        if (ended) return 0;
        WaitForSingleObject(handover.taken, INFINITE);
    }
}

}  // namespace

void stdioClaim() {
    if (claimed) return;
    claimed = true;
    claimedIn = keep(STD_INPUT_HANDLE);
    claimedOut = keep(STD_OUTPUT_HANDLE);
    fflush(stdout);
    // Standard error is never the line here: the line is pipes, and a
    // console on standard error stays the user's.
    _dup2(_fileno(stderr), _fileno(stdout));
    SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
    int null = _open("NUL", _O_RDONLY);
    if (null >= 0) {
        _dup2(null, _fileno(stdin));
        _close(null);
    }
}

int stdioOpen(Line* line) {
    stdioClaim();
    if (!isPipe(claimedIn) || !isPipe(claimedOut)) {
        printf(MSG_STDIO_NOT_PIPES);
        return 1;
    }
    line->handle = claimedIn;
    line->output = claimedOut;
    InitializeCriticalSection(&handover.lock);
    handover.ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    handover.taken = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (handover.ready == nullptr || handover.taken == nullptr ||
        CreateThread(nullptr, 0, readInput, nullptr, 0, nullptr) == nullptr) {
        printf(MSG_PORT_OPEN_FAILED, static_cast<int>(GetLastError()));
        return 1;
    }
    line->waitEvent = handover.ready;
    printf(MSG_LINE_OPENED, MSG_STDIO_LINE_NAME);
    return 0;
}

// The reading thread may still wait in its read; it ends with the process.
void stdioClose(Line* line) {
    line->waitEvent = nullptr;
    line->handle = line->output = nullptr;
}

void stdioRestoreNow() {}

int pipeFill(Line* line, uint32_t waitMs) {
    HANDLE ready = static_cast<HANDLE>(line->waitEvent);
    if (WaitForSingleObject(ready, waitMs) != WAIT_OBJECT_0) return LINE_OK;
    EnterCriticalSection(&handover.lock);
    DWORD got = handover.count;
    bool ended = handover.ended;
    if (got > 0) {
        memcpy(line->input, handover.bytes, got);
        handover.count = 0;
        line->next = line->input;
        line->end = line->input + got;
    }
    // Signalled by an armed wait with nothing new: cleared until the reader hands over.
    if (!ended) ResetEvent(ready);
    LeaveCriticalSection(&handover.lock);
    if (got > 0) {
        SetEvent(handover.taken);
        return LINE_OK;
    }
    return ended ? markGone(line) : LINE_OK;
}

int pipeWrite(Line* line, const uint8_t* bytes, uint32_t n) {
    if (line->gone) return LINE_GONE;
    HANDLE output = static_cast<HANDLE>(line->output);
    uint32_t sent = 0;
    while (sent < n) {
        DWORD written = 0;
        if (!WriteFile(output, bytes + sent, n - sent, &written, nullptr))
            return goneError(GetLastError()) ? markGone(line) : LINE_FAILED;
        sent += written;
    }
    return LINE_OK;
}
