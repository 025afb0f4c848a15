// Single bytes on the line in three codings (raw, ZDLE-escaped, hex), and the
// CRC-16 and CRC-32 checksums. Every byte travels through session->currentChar.
#pragma once

#include <array>
#include <cstdint>

#include "adapter/serial_link.h"
#include "zmodem/session.h"

extern const std::array<uint32_t, 256> CRC16_TABLE;  // CRC-16/XMODEM
extern const std::array<uint32_t, 256> CRC32_TABLE;  // reflected CRC-32, polynomial 0xEDB88320
extern const char HEX_DIGITS[17];

inline uint32_t crc16Update(uint32_t crc, uint32_t byte) {
    return (((crc & 0xFF) << 8) ^ CRC16_TABLE[((crc >> 8) ^ byte) & 0xFF]) & 0xFFFF;
}

inline uint32_t crc32Update(uint32_t crc, uint32_t byte) { return (crc >> 8) ^ CRC32_TABLE[(crc ^ byte) & 0xFF]; }

// True for the byte values that go out as ZDLE and an escaped form: the ten
// of the escape set, and every control character (0x00-0x1F, 0x80-0x9F) once
// the receiver has asked for them with ESCCTL.
bool escapeNeeded(const ZmodemSession* session, uint32_t byte);

// The two reads that every byte of a data subpacket passes through are in
// line, down to the port's read-ahead buffer.
inline void readRawByte(ZmodemSession* session) {
    uint8_t buf = 0;
    int32_t actual = 0;
    if (session->waitForInput)
        ioReadWait(session, session->io, &buf, 1, &actual);
    else
        ioReadOnce(session, session->io, &buf, 1, &actual);
    if (errorPending() || actual != 1) return;
    session->currentChar = buf;
    // Every byte from the line passes here: a run of CANs is the peer's cancel,
    // whatever state this side is in.
    if (buf != ZDLE)
        session->cancelRun = 0;
    else if (++session->cancelRun >= CANCEL_RUN)
        raiseError(ZMD010_REMOTE_CANCEL);
}

inline void readEscapedByte(ZmodemSession* session) {
    session->frameEnd = 0;
    readRawByte(session);
    if (errorPending() || session->currentChar != ZDLE) return;
    readRawByte(session);
    if (errorPending()) return;
    session->frameEnd = 0;
    int c = session->currentChar;
    if (c == ZRUB0) {
        session->currentChar = 0x7F;
    } else if (c == ZRUB1) {
        session->currentChar = 0xFF;
    } else if ((c & 0x40) == 0 || (c & 0x20) != 0) {
        session->frameEnd = 1;
    } else {
        session->currentChar = c & 0xBF;
    }
}

// Called where a byte read breaks a header or subpacket and the last byte
// read was a CAN: reads on, one attempt a byte, while CANs follow, so that a
// cancel is heard (ZMD010 pending) before the failure is reported and
// answered. The byte that ends a shorter run is consumed. Nothing pending on
// entry.
void readCancelRun(ZmodemSession* session);

void readHexByte(ZmodemSession* session);
void writeRawByte(ZmodemSession* session);
void writeEscapedByte(ZmodemSession* session);
void writeHexByte(ZmodemSession* session);
