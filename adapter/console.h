// The user's console for the terminal mode: raw for the whole run, given back
// as it was on every way out. POSIX: termios on standard input; Windows: the
// console's input and output modes and code pages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// True when standard input is a terminal (a console on Windows).
bool consoleIsTerminal();
// Saves the console's state and makes it raw: keys come as typed, Ctrl-C,
// Ctrl-Z and Ctrl-\ as bytes, no echo; output is shown as it comes (UTF-8
// and VT sequences, no translation of line ends). False when it cannot.
bool consoleRaw();
// During a transfer: Ctrl-C stops the transfer (as a signal or console event),
// other keys wait unread, and the program's own lines end as usual.
void consoleTransfer();
// Drops the keys typed during a transfer, before its closing lines are shown.
void consoleDropKeys();
// Back to raw after a transfer.
void consoleResume();
// Gives the console back as it was saved. Safe from a signal handler (POSIX).
void consoleRestore();
// Takes the keys that are there without waiting, as the bytes xterm would
// send (on Windows, arrows and function keys become VT sequences). Returns
// the count, 0 when none, -1 when the console is gone.
int consoleReadKeys(uint8_t* buffer, size_t size);
// Shows bytes on the screen as they are.
void consoleWrite(const void* bytes, size_t n);
// The program's own text: each "\n" is shown as a line end.
inline void consoleSay(const char* text) {
    while (*text != '\0') {
        const char* end = strchr(text, '\n');
        if (end == nullptr) {
            consoleWrite(text, strlen(text));
            return;
        }
        consoleWrite(text, static_cast<size_t>(end - text));
        consoleWrite("\r\n", 2);
        text = end + 1;
    }
}
#ifdef _WIN32
// The handle to wait on for keys.
void* consoleWaitHandle();
#else
int consoleWaitHandle();
#endif
