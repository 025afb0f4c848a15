// Standard input and output as the line on Windows (ZMODEM_PORT=-), when
// both are pipes: a host program that runs this one with pipes, or a
// terminal over SSH. The two handles are taken over before anything is
// printed, and what the program prints on standard output goes to standard
// error from then on. Input waiting is seen with PeekNamedPipe, which also
// bounds the waits of a read (a pipe read itself would wait for ever); a
// pipe whose other end has closed is a line that is gone. A console is not
// a pipe, and is refused.
#include <cstdio>

#include <fcntl.h>
#include <io.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "adapter/interrupt_flag.h"
#include "adapter/line_kinds.h"
#include "adapter/messages.h"

namespace {

constexpr DWORD PIPE_POLL_MS = 1;

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
    line->waitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    printf(MSG_LINE_OPENED, MSG_STDIO_LINE_NAME);
    return 0;
}

void stdioClose(Line* line) {
    if (line->waitEvent != nullptr) CloseHandle(static_cast<HANDLE>(line->waitEvent));
    line->waitEvent = nullptr;
    line->handle = line->output = nullptr;
}

void stdioRestoreNow() {}

int pipeFill(Line* line, uint32_t waitMs) {
    HANDLE input = static_cast<HANDLE>(line->handle);
    const ULONGLONG deadline = GetTickCount64() + waitMs;
    while (true) {
        DWORD waiting = 0;
        if (!PeekNamedPipe(input, nullptr, 0, nullptr, &waiting, nullptr)) {
            if (goneError(GetLastError())) return markGone(line);
            printf(MSG_READ_FAILED);
            return LINE_FAILED;
        }
        if (waiting > 0) {
            DWORD want = waiting < sizeof line->input ? waiting : static_cast<DWORD>(sizeof line->input);
            DWORD got = 0;
            if (!ReadFile(input, line->input, want, &got, nullptr)) {
                if (goneError(GetLastError())) return markGone(line);
                printf(MSG_READ_FAILED);
                return LINE_FAILED;
            }
            if (got == 0) return markGone(line);
            line->next = line->input;
            line->end = line->input + got;
            return LINE_OK;
        }
        if (GetTickCount64() >= deadline || interruptRequested) return LINE_OK;
        Sleep(PIPE_POLL_MS);
    }
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
