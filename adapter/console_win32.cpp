// The terminal mode's console on Windows: the input and output modes and the
// code pages, saved and given back; keys read as input records and sent as
// the bytes xterm sends (UTF-8, VT sequences for the cursor and function keys).
#include "adapter/console.h"

#include <cstring>

#include <windows.h>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
#ifndef DISABLE_NEWLINE_AUTO_RETURN
#define DISABLE_NEWLINE_AUTO_RETURN 0x0008
#endif

namespace {

HANDLE input = INVALID_HANDLE_VALUE;
HANDLE output = INVALID_HANDLE_VALUE;
DWORD savedInputMode = 0;
DWORD savedOutputMode = 0;
UINT savedInputCp = 0;
UINT savedOutputCp = 0;
bool saved = false;
DWORD rawInputMode = 0;
// A UTF-8 sequence cut at the end of a write waits for the rest, so that the
// console never draws half a character.
char pendingUtf8[4];
size_t pendingCount = 0;
WCHAR highSurrogate = 0;

struct KeySequence {
    WORD key;
    const char* bytes;
};

const KeySequence KEYS[] = {
    {VK_UP, "\x1b[A"},     {VK_DOWN, "\x1b[B"},   {VK_RIGHT, "\x1b[C"},  {VK_LEFT, "\x1b[D"},
    {VK_HOME, "\x1b[H"},   {VK_END, "\x1b[F"},    {VK_INSERT, "\x1b[2~"}, {VK_DELETE, "\x1b[3~"},
    {VK_PRIOR, "\x1b[5~"}, {VK_NEXT, "\x1b[6~"},  {VK_F1, "\x1bOP"},     {VK_F2, "\x1bOQ"},
    {VK_F3, "\x1bOR"},     {VK_F4, "\x1bOS"},     {VK_F5, "\x1b[15~"},   {VK_F6, "\x1b[17~"},
    {VK_F7, "\x1b[18~"},   {VK_F8, "\x1b[19~"},   {VK_F9, "\x1b[20~"},   {VK_F10, "\x1b[21~"},
    {VK_F11, "\x1b[23~"},  {VK_F12, "\x1b[24~"},
};

size_t utf8Of(unsigned long code, uint8_t* out) {
    if (code < 0x80) {
        out[0] = static_cast<uint8_t>(code);
        return 1;
    }
    if (code < 0x800) {
        out[0] = static_cast<uint8_t>(0xC0 | code >> 6);
        out[1] = static_cast<uint8_t>(0x80 | (code & 0x3F));
        return 2;
    }
    if (code < 0x10000) {
        out[0] = static_cast<uint8_t>(0xE0 | code >> 12);
        out[1] = static_cast<uint8_t>(0x80 | (code >> 6 & 0x3F));
        out[2] = static_cast<uint8_t>(0x80 | (code & 0x3F));
        return 3;
    }
    out[0] = static_cast<uint8_t>(0xF0 | code >> 18);
    out[1] = static_cast<uint8_t>(0x80 | (code >> 12 & 0x3F));
    out[2] = static_cast<uint8_t>(0x80 | (code >> 6 & 0x3F));
    out[3] = static_cast<uint8_t>(0x80 | (code & 0x3F));
    return 4;
}

// The bytes of one key press, at most 8.
size_t bytesOfKey(const KEY_EVENT_RECORD& key, uint8_t* out) {
    WCHAR c = key.uChar.UnicodeChar;
    if (key.wVirtualKeyCode == VK_BACK) {
        out[0] = 0x7F;  // as xterm sends it
        return 1;
    }
    if (c == 0) {
        for (const KeySequence& row : KEYS) {
            if (row.key != key.wVirtualKeyCode) continue;
            size_t n = strlen(row.bytes);
            memcpy(out, row.bytes, n);
            return n;
        }
        return 0;
    }
    if (c >= 0xD800 && c < 0xDC00) {
        highSurrogate = c;
        return 0;
    }
    unsigned long code = c;
    if (c >= 0xDC00 && c < 0xE000) {
        if (highSurrogate == 0) return 0;
        code = 0x10000 + ((static_cast<unsigned long>(highSurrogate) - 0xD800) << 10) + (c - 0xDC00);
    }
    highSurrogate = 0;
    return utf8Of(code, out);
}

void writeAll(const char* p, size_t n) {
    while (n > 0) {
        DWORD done = 0;
        if (!WriteFile(output, p, static_cast<DWORD>(n), &done, nullptr) || done == 0) return;
        p += done;
        n -= done;
    }
}

}  // namespace

bool consoleIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

bool consoleRaw() {
    input = GetStdHandle(STD_INPUT_HANDLE);
    output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!GetConsoleMode(input, &savedInputMode)) return false;
    GetConsoleMode(output, &savedOutputMode);
    savedInputCp = GetConsoleCP();
    savedOutputCp = GetConsoleOutputCP();
    saved = true;
    // Keys as records: no line editing, no echo, Ctrl-C as a key.
    rawInputMode = savedInputMode & ~static_cast<DWORD>(ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT |
                                                        ENABLE_WINDOW_INPUT | ENABLE_MOUSE_INPUT);
    SetConsoleMode(input, rawInputMode);
    SetConsoleCP(CP_UTF8);
    SetConsoleOutputCP(CP_UTF8);
    DWORD mode = savedOutputMode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING |
                 DISABLE_NEWLINE_AUTO_RETURN;
    // An older console without VT processing refuses the flags: it still shows the text.
    if (!SetConsoleMode(output, mode)) SetConsoleMode(output, savedOutputMode | ENABLE_PROCESSED_OUTPUT);
    return true;
}

void consoleTransfer() {
    if (!saved) return;
    // Ctrl-C as the console event that stops the transfer.
    SetConsoleMode(input, rawInputMode | ENABLE_PROCESSED_INPUT);
    SetConsoleMode(output, savedOutputMode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

void consoleDropKeys() {
    if (saved) FlushConsoleInputBuffer(input);
}

void consoleResume() {
    if (!saved) return;
    SetConsoleMode(input, rawInputMode);
    DWORD mode = savedOutputMode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING |
                 DISABLE_NEWLINE_AUTO_RETURN;
    if (!SetConsoleMode(output, mode)) SetConsoleMode(output, savedOutputMode | ENABLE_PROCESSED_OUTPUT);
}

void consoleRestore() {
    if (!saved) return;
    SetConsoleMode(input, savedInputMode);
    SetConsoleMode(output, savedOutputMode);
    if (savedInputCp != 0) SetConsoleCP(savedInputCp);
    if (savedOutputCp != 0) SetConsoleOutputCP(savedOutputCp);
}

int consoleReadKeys(uint8_t* buffer, size_t size) {
    DWORD waiting = 0;
    if (!GetNumberOfConsoleInputEvents(input, &waiting)) return -1;
    size_t n = 0;
    INPUT_RECORD records[32];
    while (waiting > 0 && n + 8 * 4 <= size) {
        DWORD got = 0;
        if (!ReadConsoleInputW(input, records, 32, &got)) return n > 0 ? static_cast<int>(n) : -1;
        for (DWORD i = 0; i < got; i++) {
            if (records[i].EventType != KEY_EVENT || !records[i].Event.KeyEvent.bKeyDown) continue;
            const KEY_EVENT_RECORD& key = records[i].Event.KeyEvent;
            uint8_t bytes[8];
            size_t length = bytesOfKey(key, bytes);
            for (WORD r = 0; r < (key.wRepeatCount == 0 ? 1 : key.wRepeatCount) && n + length <= size; r++) {
                memcpy(buffer + n, bytes, length);
                n += length;
            }
        }
        if (!GetNumberOfConsoleInputEvents(input, &waiting)) break;
    }
    return static_cast<int>(n);
}

void consoleWrite(const void* bytes, size_t n) {
    const char* p = static_cast<const char*>(bytes);
    if (output == INVALID_HANDLE_VALUE) output = GetStdHandle(STD_OUTPUT_HANDLE);
    // The rest of a character cut at the end of the last write.
    while (pendingCount > 0 && n > 0 && (static_cast<uint8_t>(*p) & 0xC0) == 0x80 && pendingCount < 4) {
        pendingUtf8[pendingCount++] = *p++;
        n--;
        uint8_t lead = static_cast<uint8_t>(pendingUtf8[0]);
        size_t want = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        if (pendingCount == want) break;
    }
    if (pendingCount > 0) {
        writeAll(pendingUtf8, pendingCount);
        pendingCount = 0;
    }
    // A lead byte near the end whose sequence is not whole waits.
    size_t whole = n;
    for (size_t back = 1; back <= 3 && back <= n; back++) {
        uint8_t c = static_cast<uint8_t>(p[n - back]);
        if ((c & 0xC0) == 0x80) continue;
        size_t want = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        if (want > back) whole = n - back;
        break;
    }
    writeAll(p, whole);
    for (size_t i = whole; i < n; i++) pendingUtf8[pendingCount++] = p[i];
}

void* consoleWaitHandle() { return GetStdHandle(STD_INPUT_HANDLE); }
