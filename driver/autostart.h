// Auto-start: finds, in what the line brings to the terminal, the hex header
// that opens a Zmodem session from the other end, and the edges of what a
// session leaves behind when it is over. A ZRQINIT means the remote
// runs a sender, a ZRINIT a receiver. Only a complete header with a good CRC
// counts, however its bytes are split between reads; the bytes of a possible
// header are held back until it is known, and everything else is shown.
#pragma once

#include <cstddef>
#include <cstdint>

// "**", ZDLE, 'B', then type, four data bytes and the CRC in lowercase hex.
constexpr int AUTOSTART_HEADER_LENGTH = 18;

struct Autostart {
    uint8_t held[AUTOSTART_HEADER_LENGTH];
    int heldCount;
};

enum AutostartFound { AUTOSTART_NONE, AUTOSTART_SENDER, AUTOSTART_RECEIVER };

void autostartReset(Autostart* detector);
// Scans n bytes. The bytes to show go to out (room for n + AUTOSTART_HEADER_LENGTH)
// and their count to *shown. On a header the scan stops there: *used says how
// many input bytes were taken, and the rest belongs to the session.
AutostartFound autostartScan(Autostart* detector, const uint8_t* data, size_t n, uint8_t* out, size_t* shown,
                             size_t* used);
// Gives up what is held (the line went quiet in the middle): it is shown.
size_t autostartRelease(Autostart* detector, uint8_t* out);

// The end of a session that went through. The sender may repeat its ZFIN
// (sz does after a skipped last file) and signs off with "OO"; those are
// dropped as they come, and the first byte that is neither ends the tail:
// from there on it is the remote's own output.
struct SessionTail {
    bool active;
    uint8_t held[AUTOSTART_HEADER_LENGTH + 4];
    int heldCount;
    int finishes;  // repeated ZFINs dropped so far
};

void tailStart(SessionTail* tail);
// Scans n bytes; what is shown goes to out (room for n + AUTOSTART_HEADER_LENGTH
// + 4), its count returned. Inactive, the bytes pass as they are.
size_t tailScan(SessionTail* tail, const uint8_t* data, size_t n, uint8_t* out);
// The line went quiet: the tail is over, and what it held is shown.
size_t tailEnd(SessionTail* tail, uint8_t* out);

// What a failed or stopped session leaves on the line, up to the remote's
// own output. The remote's text is UTF-8 with the usual controls, its lines
// ending in CR LF as a terminal sends them; the session's bytes (escapes,
// headers, binary data, a text file's bare LF) break that run, so what is
// shown is the text that comes after the last byte text cannot hold.
struct Debris {
    uint8_t text[1024];
    size_t count;     // of the run of text so far
    int utf8Missing;  // continuation bytes the current character still needs
    bool afterEscape; // the last byte was an ESC
    bool afterCr;     // the last byte was a CR
};

void debrisStart(Debris* debris);
// Takes n bytes; text/count hold the end of the last run of text.
void debrisScan(Debris* debris, const uint8_t* data, size_t n);
