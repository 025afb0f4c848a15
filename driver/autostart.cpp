#include "driver/autostart.h"

#include <cstring>

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

namespace {

// A ZFIN as hex header: its fields and CRC are always the same.
constexpr char FINISH_HEADER[] = "**\x18" "B0800000000022d\r";
constexpr int FINISH_LENGTH = sizeof FINISH_HEADER - 1;
// Repeats past these are not a session winding down.
constexpr int FINISH_REPEATS = 4;

enum TailPiece { PIECE_NONE, PIECE_PREFIX, PIECE_FINISH, PIECE_OVER, PIECE_XON };

// What the held bytes are: the start of a piece of the tail, a whole one, or none.
TailPiece tailPiece(const uint8_t* held, int count) {
    if (count == 1 && held[0] == XON) return PIECE_XON;
    if (held[0] == 'O') {
        if (count > 2 || (count == 2 && held[1] != 'O')) return PIECE_NONE;
        return count == 2 ? PIECE_OVER : PIECE_PREFIX;
    }
    for (int i = 0; i < count && i < FINISH_LENGTH; i++)
        if (held[i] != static_cast<uint8_t>(FINISH_HEADER[i])) return PIECE_NONE;
    if (count <= FINISH_LENGTH) return PIECE_PREFIX;
    // The line feed after the carriage return, with or without its high bit.
    return count == FINISH_LENGTH + 1 && (held[FINISH_LENGTH] & 0x7F) == '\n' ? PIECE_FINISH : PIECE_NONE;
}

size_t giveUp(SessionTail* tail, uint8_t* out) {
    size_t n = static_cast<size_t>(tail->heldCount);
    for (size_t i = 0; i < n; i++) out[i] = tail->held[i];
    tail->heldCount = 0;
    tail->active = false;
    return n;
}

bool isContinuation(uint8_t c) { return (c & 0xC0) == 0x80; }

// Bytes a UTF-8 character still needs after this lead; -1: no lead of text.
int continuationsAfter(uint8_t c) {
    if (c >= 0xC2 && c <= 0xDF) return 1;
    if (c >= 0xE0 && c <= 0xEF) return 2;
    if (c >= 0xF0 && c <= 0xF4) return 3;
    return -1;
}

bool isTextControl(uint8_t c) { return c == '\t' || c == '\n' || c == '\r' || c == '\a' || c == 0x1B; }

// What a remote's text puts after an ESC: a control sequence, an operating
// system command, a character set. Another byte there (a string that would
// swallow what follows, say) is no text.
bool opensSequence(uint8_t c) { return c == '[' || c == ']' || c == '(' || c == ')' || c == '=' || c == '>'; }

}  // namespace

void tailStart(SessionTail* tail) {
    tail->active = true;
    tail->heldCount = 0;
    tail->finishes = 0;
}

size_t tailScan(SessionTail* tail, const uint8_t* data, size_t n, uint8_t* out) {
    size_t o = 0;
    for (size_t i = 0; i < n; i++) {
        if (!tail->active) {
            out[o++] = data[i];
            continue;
        }
        tail->held[tail->heldCount++] = data[i];
        switch (tailPiece(tail->held, tail->heldCount)) {
            case PIECE_PREFIX:
                break;
            case PIECE_XON:
                tail->heldCount = 0;
                break;
            case PIECE_FINISH:
                tail->heldCount = 0;
                if (++tail->finishes > FINISH_REPEATS) tail->active = false;
                break;
            case PIECE_OVER:
                tail->heldCount = 0;
                tail->active = false;
                break;
            case PIECE_NONE:
                o += giveUp(tail, out + o);
                break;
        }
    }
    return o;
}

size_t tailEnd(SessionTail* tail, uint8_t* out) { return giveUp(tail, out); }

void debrisStart(Debris* debris) {
    debris->count = 0;
    debris->utf8Missing = 0;
    debris->afterEscape = false;
    debris->afterCr = false;
}

void debrisScan(Debris* debris, const uint8_t* data, size_t n) {
    for (size_t i = 0; i < n; i++) {
        uint8_t c = data[i];
        if (debris->afterEscape && !opensSequence(c)) debris->count = 0;
        debris->afterEscape = c == 0x1B;
        // A line end without its CR is a file's, not a terminal's.
        bool bareLf = c == '\n' && !debris->afterCr;
        debris->afterCr = c == '\r';
        if (bareLf) {
            debris->count = 0;
            continue;
        }
        bool text;
        if (debris->utf8Missing > 0 && isContinuation(c)) {
            debris->utf8Missing--;
            text = true;
        } else {
            // A character cut short is no text, nor what came with it.
            if (debris->utf8Missing > 0) debris->count = 0;
            debris->utf8Missing = 0;
            int more = c >= 0x80 ? continuationsAfter(c) : 0;
            text = (c >= 0x20 && c < 0x7F) || isTextControl(c) || more > 0;
            if (more > 0) debris->utf8Missing = more;
        }
        if (!text) {
            debris->count = 0;
            continue;
        }
        if (debris->count == sizeof debris->text) {
            // A long run is still no sign of the remote's own output: a
            // text file's data in flight is one. Its older half goes, from
            // a character's start.
            size_t keep = sizeof debris->text / 2;
            size_t from = debris->count - keep;
            while (from < debris->count && isContinuation(debris->text[from])) from++;
            memmove(debris->text, debris->text + from, debris->count - from);
            debris->count -= from;
        }
        debris->text[debris->count++] = c;
    }
}
