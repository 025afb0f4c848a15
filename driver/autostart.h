// Auto-start: finds, in what the line brings to the terminal, the hex header
// that opens a Zmodem session from the other end. A ZRQINIT means the remote
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
