// The raw serial port. One backend is linked per build: Win32, POSIX, or the
// in-memory line of the unit tests. Each provides these functions, and may
// keep bytes it has read ahead in portInput.
#pragma once

#include <cstdint>

// 0: open and configured; 1: cannot be opened; 2: settings cannot be read;
// 3: settings cannot be written; 4: time-outs cannot be set; 5: the line
// chosen in the environment is not valid. Every failure prints its message,
// and a port that could not be used also the list of ports to choose from.
int portOpen();
void portClose();
// Reads up to n bytes; returns as soon as at least one byte is there, or when
// the read time-out (10·n + 100 ms, 20 ms between bytes) has passed.
// 0 on success (count may be 0), 1 on failure (count is 0).
int portRead(uint8_t* buffer, uint32_t n, uint32_t* count);
// Bytes a backend has already taken from the device and not yet handed out,
// from next up to end. A backend that reads ahead in bursts keeps its buffer
// here; one that does not leaves it empty.
struct PortInput {
    const uint8_t* next;
    const uint8_t* end;
};
inline PortInput portInput = {nullptr, nullptr};
// portRead, with its usual case done in line: when all n bytes are already
// read ahead, they are handed out without a call into the backend.
inline int portReadBuffered(uint8_t* buffer, uint32_t n, uint32_t* count) {
    if (n == 0 || static_cast<uint32_t>(portInput.end - portInput.next) < n) return portRead(buffer, n, count);
    for (uint32_t i = 0; i < n; i++) buffer[i] = portInput.next[i];
    portInput.next += n;
    *count = n;
    return 0;
}
// True when a byte from the peer is there to be read at once: read ahead in
// portInput, or waiting in the device. Never waits.
bool portInputWaiting();
// Drops what has been written and not yet sent on the line.
void portDiscardOutput();
// Hands all n bytes to the port; 1 when done, 0 on failure.
int portWrite(const uint8_t* bytes, uint32_t n);
// Waits the given number of milliseconds between read attempts.
void portPause(uint32_t milliseconds);

// ---- For the terminal mode: the line waited on together with the console.
// The handle to wait on for input (POSIX: the descriptor for poll; Windows:
// an event set when input has arrived, after portArmWait).
#ifdef _WIN32
void* portWaitHandle();
// Starts the wait for input that portWaitHandle signals; true when bytes are
// there already.
bool portArmWait();
#else
int portWaitHandle();
#endif
// Takes what has arrived, without waiting: the count (0 for none), or -1
// when the line is gone.
int portReadAvailable(uint8_t* buffer, uint32_t n);
// Holds the line in the break state for about 250 ms.
void portSendBreak();
