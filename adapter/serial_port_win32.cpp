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
#include "adapter/serial_port.h"
#include "adapter/constants.h"
#include "adapter/messages.h"

namespace {

const char DEFAULT_PORT[] = "COM1";
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

HANDLE comPort = INVALID_HANDLE_VALUE;

// Bytes read from the port and not yet delivered, handed out through
// portInput: what has arrived costs one read, and the engine still takes its
// bytes one per read.
uint8_t inputBuffer[4096];

// Moves read-ahead bytes to the caller; true when any were moved.
bool takeBuffered(uint8_t* buffer, uint32_t n, uint32_t* count) {
    bool moved = false;
    while (portInput.next < portInput.end && *count < n) {
        buffer[(*count)++] = *portInput.next++;
        moved = true;
    }
    return moved;
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

DWORD lineBaud = 115200;

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
DWORD bytesWaiting() {
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
DWORD endPendingRead(OVERLAPPED* osReader) {
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
int awaitRead(OVERLAPPED* osReader, DWORD n, DWORD* dwRead) {
    DWORD waited =
        WaitForSingleObject(osReader->hEvent, READ_TIMEOUT_CONSTANT_MS + n * READ_TIMEOUT_PER_BYTE_MS + WAIT_MARGIN_MS);
    if (waited == WAIT_OBJECT_0) {
        if (GetOverlappedResult(comPort, osReader, dwRead, FALSE) || isReadTimeout(GetLastError())) return 0;
        *dwRead = 0;
        printf(MSG_READ_RESULT_FAILED);
        return 1;
    }
    // Not ended by the port's time-out: the read got what arrived before
    // the cancel, most likely nothing.
    *dwRead = endPendingRead(osReader);
    if (waited == WAIT_TIMEOUT) return 0;
    printf(MSG_READ_WAIT_FAILED);
    return 1;
}

}  // namespace

int portOpen() {
    LineSettings settings;
    if (!lineSettingsRead(&settings)) return 5;
    const char* port = settings.port != nullptr ? settings.port : DEFAULT_PORT;
    char device[DEVICE_NAME_SIZE];
    deviceName(port, device);
    comPort = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                          nullptr);
    if (comPort == INVALID_HANDLE_VALUE) {
        printf(MSG_PORT_OPEN_FAILED, lastError());
        return openFailed(1);
    }

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
    lineBaud = settings.baud;

    // A write may take the time its bytes need on the line, and a margin:
    // a port held off (by flow control an earlier program left on) cannot
    // stop the program for ever.
    COMMTIMEOUTS timeouts;
    ZeroMemory(&timeouts, sizeof timeouts);
    timeouts.ReadIntervalTimeout = READ_INTERVAL_TIMEOUT_MS;
    timeouts.ReadTotalTimeoutMultiplier = READ_TIMEOUT_PER_BYTE_MS;
    timeouts.ReadTotalTimeoutConstant = READ_TIMEOUT_CONSTANT_MS;
    timeouts.WriteTotalTimeoutMultiplier = lineTimeMs(1, lineBaud);
    timeouts.WriteTotalTimeoutConstant = WRITE_TIMEOUT_CONSTANT_MS;
    if (!SetCommTimeouts(comPort, &timeouts)) {
        printf(MSG_PORT_TIMEOUTS_FAILED, lastError());
        return openFailed(4);
    }
    printf(MSG_PORT_RECONFIGURED, port);
    return 0;
}

void portClose() {
    if (comPort != INVALID_HANDLE_VALUE) CloseHandle(comPort);
    comPort = INVALID_HANDLE_VALUE;
    portInput.next = portInput.end = nullptr;
}

int portRead(uint8_t* buffer, uint32_t n, uint32_t* count) {
    *count = 0;
    if (takeBuffered(buffer, n, count)) return 0;
    // All that has arrived is taken in one read, which ends at once. Only
    // when nothing has does the read wait, for the n bytes asked for and
    // under the port's time-out rule.
    DWORD waiting = bytesWaiting();
    DWORD want = waiting > 0 ? waiting : n;
    if (want > sizeof inputBuffer) want = sizeof inputBuffer;
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
    } else if (GetLastError() != ERROR_IO_PENDING) {
        dwRead = 0;
        printf(MSG_READ_FAILED);
        result = 1;
    } else {
        result = awaitRead(&osReader, want, &dwRead);
    }
    CloseHandle(osReader.hEvent);
    // Bytes that came are kept even when the read failed: the next read hands them out.
    portInput.next = inputBuffer;
    portInput.end = inputBuffer + dwRead;
    if (result == 0) takeBuffered(buffer, n, count);
    return result;
}

void portDiscardOutput() {
    if (comPort != INVALID_HANDLE_VALUE) PurgeComm(comPort, PURGE_TXCLEAR);
}

bool portInputWaiting() { return portInput.next < portInput.end || bytesWaiting() > 0; }

// The write is waited for as long as its time-out allows, and a margin; a
// driver that does not keep the time-out has its write cancelled then.
int portWrite(const uint8_t* bytes, uint32_t n) {
    OVERLAPPED osWrite;
    ZeroMemory(&osWrite, sizeof osWrite);
    osWrite.hEvent = createOperationEvent();
    if (osWrite.hEvent == nullptr) return 0;

    int result = 0;
    DWORD dwWritten = 0;
    if (WriteFile(comPort, bytes, n, &dwWritten, &osWrite)) {
        result = dwWritten == n ? 1 : 0;  // a write its time-out ended is short
    } else if (GetLastError() == ERROR_IO_PENDING) {
        DWORD limit = WRITE_TIMEOUT_CONSTANT_MS + n * lineTimeMs(1, lineBaud) + WAIT_MARGIN_MS;
        if (WaitForSingleObject(osWrite.hEvent, limit) != WAIT_OBJECT_0) {
            CancelIo(comPort);
            while (!HasOverlappedIoCompleted(&osWrite)) Sleep(WAIT_POLL_MS);
        }
        result = GetOverlappedResult(comPort, &osWrite, &dwWritten, FALSE) && dwWritten == n ? 1 : 0;
    }
    CloseHandle(osWrite.hEvent);
    return result;
}

// A busy wait on the C library's clock, as the engine's retry pause asks;
// CLOCKS_PER_SEC converts the milliseconds whatever the clock's unit.
void portPause(uint32_t milliseconds) {
    const clock_t start = clock();
    if (start == static_cast<clock_t>(-1)) return;  // no processor clock: nothing to wait on
    const clock_t ticks = static_cast<clock_t>(static_cast<long long>(milliseconds) * CLOCKS_PER_SEC / 1000);
    while (clock() - start < ticks) {
    }
}

// ---- For the terminal mode: a comm event tells that input has arrived.

namespace {

OVERLAPPED commWait;
DWORD commMask = 0;
bool commWaitPending = false;

}  // namespace

void* portWaitHandle() {
    if (commWait.hEvent == nullptr) commWait.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return commWait.hEvent;
}

bool portArmWait() {
    if (portInputWaiting()) return true;
    if (comPort == INVALID_HANDLE_VALUE || portWaitHandle() == nullptr) return false;
    if (commWaitPending) {
        DWORD ignored = 0;
        if (!GetOverlappedResult(comPort, &commWait, &ignored, FALSE)) return false;  // still waiting
        commWaitPending = false;
        return true;
    }
    SetCommMask(comPort, EV_RXCHAR);
    ResetEvent(commWait.hEvent);
    if (WaitCommEvent(comPort, &commMask, &commWait)) return true;
    if (GetLastError() != ERROR_IO_PENDING) return portInputWaiting();
    commWaitPending = true;
    // A byte that came before the wait began sets no event.
    return portInputWaiting();
}

int portReadAvailable(uint8_t* buffer, uint32_t n) {
    if (comPort == INVALID_HANDLE_VALUE) return -1;
    COMSTAT status;
    ZeroMemory(&status, sizeof status);
    DWORD errors = 0;
    // A port that no longer answers (a USB adapter pulled) is gone.
    if (!ClearCommError(comPort, &errors, &status)) return -1;
    if (portInput.next >= portInput.end && status.cbInQue == 0) return 0;
    uint32_t count = 0;
    if (portRead(buffer, n, &count) != 0) return -1;
    return static_cast<int>(count);
}

void portSendBreak() {
    if (comPort == INVALID_HANDLE_VALUE) return;
    SetCommBreak(comPort);
    Sleep(250);
    ClearCommBreak(comPort);
}
