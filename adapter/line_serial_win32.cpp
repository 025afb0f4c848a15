// The serial port on Windows: COM1 (or the port ZMODEM_PORT names) in
// overlapped mode, raw 8N1 at 115200 (or ZMODEM_BAUD) with no flow control,
// DTR and RTS on unless ZMODEM_DTR or ZMODEM_RTS say off. The port itself
// bounds every read (COMMTIMEOUTS: 20 ms between bytes, 10·n + 100 ms in all)
// and every write (the time its bytes need, and 5 s); overlapped I/O is used
// only to wait on an operation with a time-out, never to leave one running in
// the background.
#include <cstdio>
#include <cstring>
#include <ctime>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "adapter/port_settings.h"
#include "adapter/line_kinds.h"
#include "adapter/constants.h"
#include "adapter/messages.h"

namespace {

const char DEVICE_PREFIX[] = "\\\\.\\";  // \\.\ names a device, not a file
constexpr size_t DEVICE_NAME_SIZE = 280;
constexpr BYTE DATA_BITS = 8;
constexpr DWORD BITS_PER_BYTE = 10;  // 8N1: start, eight data bits, stop
// A pending read is waited for this much longer than the port's own read
// time-out should take. The bound holds when the time-outs could not be set,
// and a read would otherwise wait for ever; it keeps a silent line's time-out
// close to the one the port would give.
constexpr DWORD WAIT_MARGIN_MS = 100;
constexpr DWORD WAIT_POLL_MS = 1;  // while a cancelled read winds down

// The line settings are written with the 32-bit layout of the record.
static_assert(sizeof(DCB) == 28, "DCB must have its 28-byte layout");

// The port of the line; bytes read from it and not yet delivered are kept in
// the line's buffer: what has arrived costs one read, and the engine still
// takes its bytes one per read.
HANDLE portOf(const Line* line) { return line->handle != nullptr ? static_cast<HANDLE>(line->handle) : INVALID_HANDLE_VALUE; }

// The errors of a port that is there no more: a USB adapter pulled out.
bool isGoneError(DWORD error) {
    return error == ERROR_DEVICE_REMOVED || error == ERROR_BAD_COMMAND || error == ERROR_ACCESS_DENIED ||
           error == ERROR_GEN_FAILURE || error == ERROR_INVALID_HANDLE || error == ERROR_DEV_NOT_EXIST ||
           error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_FILE_NOT_FOUND || error == ERROR_NOT_READY;
}

int markGone(Line* line) {
    line->gone = true;
    return LINE_GONE;
}

// The error number of the last failed system call, printed as a signed decimal.
int lastError() { return static_cast<int>(GetLastError()); }

// A read whose time-out passed is a successful read of what arrived, possibly
// nothing, and Windows reports it as such. Wine ends a read that got no byte
// at all with STATUS_TIMEOUT, which its GetOverlappedResult (or a read that
// ends at once) reports as a failure with ERROR_TIMEOUT. That is the same
// empty read and is taken as one, not as a failed read.
bool isReadTimeout(DWORD error) { return error == ERROR_TIMEOUT; }

// A manual-reset, initially clear, unnamed event for one overlapped operation.
HANDLE createOperationEvent() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }

void applyLineSettings(DCB* dcb, const LineSettings* settings) {
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = settings->baud;
    dcb->ByteSize = DATA_BITS;
    dcb->Parity = NOPARITY;
    dcb->StopBits = ONESTOPBIT;
    dcb->fOutxCtsFlow = FALSE;
    dcb->fOutxDsrFlow = FALSE;
    dcb->fDtrControl = settings->dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb->fDsrSensitivity = FALSE;
    dcb->fTXContinueOnXoff = TRUE;
    dcb->fOutX = FALSE;
    dcb->fInX = FALSE;
    dcb->fNull = FALSE;
    dcb->fRtsControl = settings->rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    dcb->fAbortOnError = FALSE;
}

// Milliseconds the line needs for n bytes at the chosen speed, rounded up.
DWORD lineTimeMs(uint32_t n, DWORD baud) {
    return static_cast<DWORD>((static_cast<unsigned long long>(n) * BITS_PER_BYTE * 1000 + baud - 1) / baud);
}


// COM1 to COM9 open under their own names; COM10 on, and every other device
// (\\.\CNCA0 of com0com), only under the device prefix, which is added to a
// name that has no backslash.
void deviceName(const char* port, char* device) {
    bool shortCom = _strnicmp(port, "COM", 3) == 0 && port[3] >= '1' && port[3] <= '9' && port[4] == '\0';
    bool prefixed = strchr(port, '\\') != nullptr;
    snprintf(device, DEVICE_NAME_SIZE, "%s%s", shortCom || prefixed ? "" : DEVICE_PREFIX, port);
}

// After the failed step's message: the ports there are to choose from.
int openFailed(int result) {
    portListPrint();
    return result;
}

// Bytes the port has received that no read has taken yet; 0 when it cannot tell.
DWORD bytesWaiting(Line* line) {
    HANDLE comPort = portOf(line);
    if (comPort == INVALID_HANDLE_VALUE) return 0;
    COMSTAT status;
    ZeroMemory(&status, sizeof status);
    DWORD errors = 0;
    return ClearCommError(comPort, &errors, &status) ? status.cbInQue : 0;
}

// Ends the read still running on osReader and into inputBuffer, and waits
// until it has ended, without relying on its event. Returns what it had read:
// a read ended by the cancel (ERROR_OPERATION_ABORTED) or by the port's
// time-out keeps the bytes it got.
DWORD endPendingRead(HANDLE comPort, OVERLAPPED* osReader) {
    CancelIo(comPort);
    while (!HasOverlappedIoCompleted(osReader)) Sleep(WAIT_POLL_MS);
    DWORD dwRead = 0;
    if (GetOverlappedResult(comPort, osReader, &dwRead, FALSE)) return dwRead;
    DWORD error = GetLastError();
    return error == ERROR_OPERATION_ABORTED || isReadTimeout(error) ? static_cast<DWORD>(osReader->InternalHigh) : 0;
}

// Waits for the pending read of n bytes on osReader to end, a little longer
// than the port's time-out takes. 0 with the count in dwRead, or 1 after a
// failure (any bytes it got are still counted, to be kept).
int awaitRead(HANDLE comPort, OVERLAPPED* osReader, DWORD n, DWORD* dwRead) {
    DWORD waited =
        WaitForSingleObject(osReader->hEvent, READ_TIMEOUT_CONSTANT_MS + n * READ_TIMEOUT_PER_BYTE_MS + WAIT_MARGIN_MS);
    if (waited == WAIT_OBJECT_0) {
        if (GetOverlappedResult(comPort, osReader, dwRead, FALSE) || isReadTimeout(GetLastError())) return 0;
        *dwRead = 0;
        if (isGoneError(GetLastError())) return LINE_GONE;
        printf(MSG_READ_RESULT_FAILED);
        return 1;
    }
    // Not ended by the port's time-out: the read got what arrived before
    // the cancel, most likely nothing.
    *dwRead = endPendingRead(comPort, osReader);
    if (waited == WAIT_TIMEOUT) return 0;
    printf(MSG_READ_WAIT_FAILED);
    return 1;
}

}  // namespace

int serialOpen(Line* line) {
    const LineSettings settings = line->settings;
    const char* port = line->name;
    char device[DEVICE_NAME_SIZE];
    deviceName(port, device);
    HANDLE comPort = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                          nullptr);
    if (comPort == INVALID_HANDLE_VALUE) {
        printf(MSG_PORT_OPEN_FAILED, lastError());
        return openFailed(1);
    }
    line->handle = comPort;

    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(comPort, &dcb)) {
        printf(MSG_PORT_GET_FAILED, lastError());
        return openFailed(2);
    }
    applyLineSettings(&dcb, &settings);
    if (!SetCommState(comPort, &dcb)) {
        printf(MSG_PORT_SET_FAILED, lastError());
        return openFailed(3);
    }
    line->baud = settings.baud;

    // A write may take the time its bytes need on the line, and a margin:
    // a port held off (by flow control an earlier program left on) cannot
    // stop the program for ever.
    COMMTIMEOUTS timeouts;
    ZeroMemory(&timeouts, sizeof timeouts);
    timeouts.ReadIntervalTimeout = READ_INTERVAL_TIMEOUT_MS;
    timeouts.ReadTotalTimeoutMultiplier = READ_TIMEOUT_PER_BYTE_MS;
    timeouts.ReadTotalTimeoutConstant = READ_TIMEOUT_CONSTANT_MS;
    timeouts.WriteTotalTimeoutMultiplier = lineTimeMs(1, line->baud);
    timeouts.WriteTotalTimeoutConstant = WRITE_TIMEOUT_CONSTANT_MS;
    if (!SetCommTimeouts(comPort, &timeouts)) {
        printf(MSG_PORT_TIMEOUTS_FAILED, lastError());
        return openFailed(4);
    }
    printf(MSG_PORT_RECONFIGURED, port);
    return 0;
}

void serialClose(Line* line) {
    if (portOf(line) != INVALID_HANDLE_VALUE) CloseHandle(portOf(line));
    line->handle = nullptr;
    if (line->waitEvent != nullptr) CloseHandle(static_cast<HANDLE>(line->waitEvent));
    line->waitEvent = nullptr;
    delete static_cast<OVERLAPPED*>(line->waitPending);
    line->waitPending = nullptr;
}

int serialRead(Line* line, uint8_t* buffer, uint32_t n, uint32_t* count) {
    *count = 0;
    if (lineTakeBuffered(line, buffer, n, count)) return LINE_OK;
    if (line->gone) return LINE_GONE;
    HANDLE comPort = portOf(line);
    uint8_t* inputBuffer = line->input;
    const DWORD inputSize = sizeof line->input;
    // All that has arrived is taken in one read, which ends at once. Only
    // when nothing has does the read wait, for the n bytes asked for and
    // under the port's time-out rule.
    DWORD waiting = bytesWaiting(line);
    DWORD want = waiting > 0 ? waiting : n;
    if (want > inputSize) want = inputSize;
    OVERLAPPED osReader;
    ZeroMemory(&osReader, sizeof osReader);
    osReader.hEvent = createOperationEvent();
    if (osReader.hEvent == nullptr) {
        printf(MSG_READ_EVENT_FAILED);
        return 1;
    }
    int result = 0;
    DWORD dwRead = 0;
    if (ReadFile(comPort, inputBuffer, want, &dwRead, &osReader)) {
        result = 0;
    } else if (isReadTimeout(GetLastError())) {
        dwRead = 0;
        result = 0;  // ended at once with nothing to deliver
    } else if (isGoneError(GetLastError())) {
        dwRead = 0;
        result = LINE_GONE;
    } else if (GetLastError() != ERROR_IO_PENDING) {
        dwRead = 0;
        printf(MSG_READ_FAILED);
        result = 1;
    } else {
        result = awaitRead(comPort, &osReader, want, &dwRead);
    }
    CloseHandle(osReader.hEvent);
    // Bytes that came are kept even when the read failed: the next read hands them out.
    line->next = inputBuffer;
    line->end = inputBuffer + dwRead;
    if (result == LINE_GONE) markGone(line);
    if (result != 1) lineTakeBuffered(line, buffer, n, count);
    return *count != 0 ? LINE_OK : result;
}

void serialDiscardOutput(Line* line) {
    if (portOf(line) != INVALID_HANDLE_VALUE) PurgeComm(portOf(line), PURGE_TXCLEAR);
}

bool serialInputWaiting(Line* line) {
    if (line->next < line->end || line->gone) return true;
    COMSTAT status;
    ZeroMemory(&status, sizeof status);
    DWORD errors = 0;
    if (!ClearCommError(portOf(line), &errors, &status)) return isGoneError(GetLastError());
    return status.cbInQue > 0;
}

int serialReadWithin(Line* line, uint8_t* buffer, uint32_t n, uint32_t* count, uint32_t timeoutMs) {
    *count = 0;
    if (lineTakeBuffered(line, buffer, n, count)) return LINE_OK;
    if (line->gone) return LINE_GONE;
    // Waits for the first byte in slices of the port's own read time-out.
    int64_t deadline = nowMs() + timeoutMs;
    do {
        int status = serialRead(line, buffer, 1, count);
        if (status != LINE_OK || *count != 0) {
            if (*count != 0) lineTakeBuffered(line, buffer, n, count);
            return status;
        }
    } while (nowMs() < deadline);
    return LINE_OK;
}

void serialBreak(Line* line, uint32_t milliseconds) {
    if (portOf(line) == INVALID_HANDLE_VALUE || line->gone) return;
    SetCommBreak(portOf(line));
    Sleep(milliseconds);
    ClearCommBreak(portOf(line));
}

// An overlapped wait for a received byte, whose event the caller waits on.
void serialArmWait(Line* line) {
    HANDLE comPort = portOf(line);
    if (comPort == INVALID_HANDLE_VALUE) return;
    if (line->waitEvent == nullptr) line->waitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (line->waitPending == nullptr) {
        line->waitPending = new OVERLAPPED;
        ZeroMemory(line->waitPending, sizeof(OVERLAPPED));
    }
    OVERLAPPED* pending = static_cast<OVERLAPPED*>(line->waitPending);
    if (pending->hEvent != nullptr && !HasOverlappedIoCompleted(pending)) return;  // still armed
    if (line->next < line->end || line->gone || bytesWaiting(line) > 0) {
        SetEvent(static_cast<HANDLE>(line->waitEvent));
        return;
    }
    ZeroMemory(pending, sizeof(OVERLAPPED));
    pending->hEvent = static_cast<HANDLE>(line->waitEvent);
    ResetEvent(pending->hEvent);
    SetCommMask(comPort, EV_RXCHAR | EV_ERR | EV_BREAK);
    if (WaitCommEvent(comPort, reinterpret_cast<LPDWORD>(&line->waitMask), pending)) {
        SetEvent(pending->hEvent);
    } else if (GetLastError() != ERROR_IO_PENDING) {
        if (isGoneError(GetLastError())) markGone(line);
        SetEvent(pending->hEvent);
    }
}

// The write is waited for as long as its time-out allows, and a margin; a
// driver that does not keep the time-out has its write cancelled then.
int serialWrite(Line* line, const uint8_t* bytes, uint32_t n) {
    if (line->gone) return LINE_GONE;
    HANDLE comPort = portOf(line);
    OVERLAPPED osWrite;
    ZeroMemory(&osWrite, sizeof osWrite);
    osWrite.hEvent = createOperationEvent();
    if (osWrite.hEvent == nullptr) return LINE_FAILED;

    int result = 0;
    DWORD dwWritten = 0;
    if (WriteFile(comPort, bytes, n, &dwWritten, &osWrite)) {
        result = dwWritten == n ? 1 : 0;  // a write its time-out ended is short
    } else if (isGoneError(GetLastError())) {
        result = 2;
    } else if (GetLastError() == ERROR_IO_PENDING) {
        DWORD limit = WRITE_TIMEOUT_CONSTANT_MS + n * lineTimeMs(1, line->baud) + WAIT_MARGIN_MS;
        if (WaitForSingleObject(osWrite.hEvent, limit) != WAIT_OBJECT_0) {
            CancelIo(comPort);
            while (!HasOverlappedIoCompleted(&osWrite)) Sleep(WAIT_POLL_MS);
        }
        BOOL done = GetOverlappedResult(comPort, &osWrite, &dwWritten, FALSE);
        result = done && dwWritten == n ? 1 : (!done && isGoneError(GetLastError()) ? 2 : 0);
    }
    CloseHandle(osWrite.hEvent);
    if (result == 2) return markGone(line);
    return result == 1 ? LINE_OK : LINE_FAILED;
}

// A busy wait on the C library's clock, as the engine's retry pause asks;
// CLOCKS_PER_SEC converts the milliseconds whatever the clock's unit.
void linePause(Line*, uint32_t milliseconds) {
    const clock_t start = clock();
    if (start == static_cast<clock_t>(-1)) return;  // no processor clock: nothing to wait on
    const clock_t ticks = static_cast<clock_t>(static_cast<long long>(milliseconds) * CLOCKS_PER_SEC / 1000);
    while (clock() - start < ticks) {
    }
}
