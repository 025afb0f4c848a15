#include "driver/autostart.h"

#include "adapter/constants.h"
#include "zmodem/codec.h"

namespace {

int hexValue(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// -1: the held bytes begin no header; 0: they may; 1: a whole header, type
// in *type, with a good CRC.
int verdict(const uint8_t* held, int count, uint8_t* type) {
    static const uint8_t LEAD[4] = {ZPAD, ZPAD, ZDLE, FRAME_HEX};
    for (int i = 0; i < count; i++) {
        if (i < 4 ? held[i] != LEAD[i] : hexValue(held[i]) < 0) return -1;
    }
    // The type is known after its two digits: only the two that start a session.
    if (count >= 6 && (held[4] != '0' || (held[5] != '0' && held[5] != '1'))) return -1;
    if (count < AUTOSTART_HEADER_LENGTH) return 0;
    uint32_t crc = 0;
    uint8_t values[7];
    for (int i = 0; i < 7; i++) values[i] = static_cast<uint8_t>(hexValue(held[4 + 2 * i]) << 4 | hexValue(held[5 + 2 * i]));
    for (int i = 0; i < 5; i++) crc = crc16Update(crc, values[i]);
    if (crc != (static_cast<uint32_t>(values[5]) << 8 | values[6])) return -1;
    *type = values[0];
    return 1;
}

}  // namespace

void autostartReset(Autostart* detector) { detector->heldCount = 0; }

AutostartFound autostartScan(Autostart* detector, const uint8_t* data, size_t n, uint8_t* out, size_t* shown,
                             size_t* used) {
    size_t o = 0;
    for (size_t i = 0; i < n; i++) {
        uint8_t c = data[i];
        if (detector->heldCount == 0 && c != ZPAD) {
            out[o++] = c;
            continue;
        }
        detector->held[detector->heldCount++] = c;
        while (detector->heldCount > 0) {
            uint8_t type = 0;
            int v = verdict(detector->held, detector->heldCount, &type);
            if (v == 0) break;
            if (v == 1) {
                detector->heldCount = 0;
                *shown = o;
                *used = i + 1;
                return type == ZRQINIT ? AUTOSTART_SENDER : AUTOSTART_RECEIVER;
            }
            // Not a header from its first byte: that one is shown, and the
            // rest may still begin one.
            out[o++] = detector->held[0];
            detector->heldCount--;
            for (int k = 0; k < detector->heldCount; k++) detector->held[k] = detector->held[k + 1];
        }
    }
    *shown = o;
    *used = n;
    return AUTOSTART_NONE;
}

size_t autostartRelease(Autostart* detector, uint8_t* out) {
    size_t count = static_cast<size_t>(detector->heldCount);
    for (size_t i = 0; i < count; i++) out[i] = detector->held[i];
    detector->heldCount = 0;
    return count;
}
