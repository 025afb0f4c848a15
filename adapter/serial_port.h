// The raw serial port. One backend is linked per build: Win32, POSIX, or the
// in-memory line of the unit tests. Each provides exactly these functions.
#pragma once

#include <cstdint>

// 0: open and configured; 1: cannot be opened; 2: settings cannot be read;
// 3: settings cannot be written.
int portOpen();
void portClose();
// Reads up to n bytes; returns as soon as at least one byte is there, or when
// the read time-out (10·n + 100 ms, 20 ms between bytes) has passed.
// 0 on success (count may be 0), 1 on failure (count is 0).
int portRead(uint8_t* buffer, uint32_t n, uint32_t* count);
// Hands all n bytes to the port; 1 when done, 0 on failure.
int portWrite(const uint8_t* bytes, uint32_t n);
// Waits the given number of milliseconds between read attempts.
void portPause(uint32_t milliseconds);
