#include "zmodem/header.h"

#include "adapter/serial_link.h"
#include "zmodem/codec.h"
#include "adapter/messages.h"

const uint8_t ZRQINIT_HEADER[HEX_HEADER_LENGTH] = {
    ZPAD, ZPAD, ZDLE, FRAME_HEX, '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', CR, LF, XON,
};

namespace {

// Writes one byte raw, unless an error is pending.
void putRaw(ZmodemSession* session, int c) {
    if (errorPending()) return;
    session->currentChar = c;
    writeRawByte(session);
}

void setHeader(ZmodemSession* session, uint8_t format, uint8_t type, uint8_t p0, uint8_t p1, uint8_t p2,
               uint8_t p3) {
    session->frameFormat = format;
    session->headerType = type;
    session->headerData[0] = p0;
    session->headerData[1] = p1;
    session->headerData[2] = p2;
    session->headerData[3] = p3;
}

void setPositionHeader(ZmodemSession* session, uint8_t format, uint8_t type) {
    session->frameFormat = format;
    session->headerType = type;
    setHeaderOffset(session, session->filePosition);
}

// The five bytes a header's CRC covers: type, then ZP0..ZP3.
uint8_t headerByte(const ZmodemSession* session, int index) {
    return index == 0 ? session->headerType : session->headerData[index - 1];
}

void storeHeaderByte(ZmodemSession* session, int index, uint8_t value) {
    if (index == 0)
        session->headerType = value;
    else
        session->headerData[index - 1] = value;
}

// Writes the type, ZP0..ZP3 and their CRC-16 (high byte first) with the
// given byte writer.
void sendCrc16Fields(ZmodemSession* session, void (*writeByte)(ZmodemSession*)) {
    uint32_t crc = 0;
    for (int i = 0; i < 5 && !errorPending(); i++) {
        uint8_t b = headerByte(session, i);
        crc = crc16Update(crc, b);
        session->currentChar = b;
        writeByte(session);
    }
    for (int shift = 8; shift >= 0 && !errorPending(); shift -= 8) {
        session->currentChar = static_cast<int32_t>((crc >> shift) & 0xFF);
        writeByte(session);
    }
}

// Reads the type and ZP0..ZP3 with the given byte reader and checks a CRC-16
// sent high byte first.
void receiveCrc16Header(ZmodemSession* session, void (*readByte)(ZmodemSession*)) {
    uint32_t crc = 0;
    for (int i = 0; i < 5 && !errorPending(); i++) {
        readByte(session);
        if (errorPending()) return;
        storeHeaderByte(session, i, static_cast<uint8_t>(session->currentChar));
        crc = crc16Update(crc, static_cast<uint32_t>(session->currentChar));
    }
    uint32_t received = 0;
    for (int i = 0; i < 2; i++) {
        readByte(session);
        if (errorPending()) return;
        received = (received << 8) | static_cast<uint32_t>(session->currentChar);
    }
    if (crc == received) return;
    if (session->cancelRun > 0) readCancelRun(session);
    raiseError(ZMD004_CRC16_ERROR, crc, received);
}

}  // namespace

void sendHeader(ZmodemSession* session) {
    if (session->frameFormat == FRAME_HEX)
        sendHexHeader(session);
    else if (session->frameFormat == FRAME_BIN32)
        sendBin32Header(session);
    else
        sendBin16Header(session);
    if (!errorPending()) ioOnHeaderSent(session, session->io);
}

void sendHexHeader(ZmodemSession* session) {
    putRaw(session, ZPAD);
    putRaw(session, ZPAD);
    putRaw(session, ZDLE);
    putRaw(session, session->frameFormat);
    sendCrc16Fields(session, writeHexByte);
    putRaw(session, CR);
    putRaw(session, LF);
    if (session->headerType != ZFIN && session->headerType != ZACK) putRaw(session, XON);
}

void sendBin16Header(ZmodemSession* session) {
    putRaw(session, ZPAD);
    putRaw(session, ZDLE);
    putRaw(session, session->frameFormat);
    sendCrc16Fields(session, writeEscapedByte);
}

void sendBin32Header(ZmodemSession* session) {
    putRaw(session, ZPAD);
    putRaw(session, ZDLE);
    putRaw(session, session->frameFormat);
    uint32_t crc = 0xFFFFFFFFu;
    for (int i = 0; i < 5 && !errorPending(); i++) {
        uint8_t b = headerByte(session, i);
        crc = crc32Update(crc, b);
        session->currentChar = b;
        writeEscapedByte(session);
    }
    crc = ~crc;
    for (int i = 0; i < 4 && !errorPending(); i++) {
        session->currentChar = static_cast<int32_t>((crc >> (8 * i)) & 0xFF);
        writeEscapedByte(session);
    }
}

// The frame of the headers that data subpackets follow: CRC-32 for a
// receiver that takes it.
static uint8_t dataFrameFormat(const ZmodemSession* session) { return session->sendCrc32 ? FRAME_BIN32 : FRAME_BIN16; }

void sendZrinit(ZmodemSession* session) {
    setHeader(session, FRAME_HEX, ZRINIT, 0, 0, 0, ZRINIT_FLAGS);
    sendHeader(session);
}

void sendZskip(ZmodemSession* session) {
    setHeader(session, FRAME_HEX, ZSKIP, 0, 0, 0, 0);
    sendHeader(session);
}

void sendZrpos(ZmodemSession* session) {
    setPositionHeader(session, FRAME_HEX, ZRPOS);
    ioPurge(session, session->io);
    sendHeader(session);
}

void sendZrposAtOnce(ZmodemSession* session) {
    setPositionHeader(session, FRAME_HEX, ZRPOS);
    ioDrain(session, session->io);
    sendHeader(session);
}

void sendZfin(ZmodemSession* session) {
    setHeader(session, FRAME_HEX, ZFIN, 0, 0, 0, 0);
    sendHeader(session);
}

void sendZeof(ZmodemSession* session) {
    setPositionHeader(session, FRAME_HEX, ZEOF);
    sendHeader(session);
}

void sendZfile(ZmodemSession* session) {
    setHeader(session, dataFrameFormat(session), ZFILE, 0, 0, 0, ZCBIN);
    sendHeader(session);
}

void sendZdata(ZmodemSession* session) {
    setPositionHeader(session, dataFrameFormat(session), ZDATA);
    sendHeader(session);
}

void sendZack(ZmodemSession* session) {
    setPositionHeader(session, FRAME_HEX, ZACK);
    sendHeader(session);
}

void sendAbort(ZmodemSession* session) {
    uint8_t sequence[ABORT_LENGTH];
    for (int i = 0; i < ABORT_LENGTH; i++) sequence[i] = static_cast<uint8_t>(i < ABORT_LENGTH / 2 ? ZDLE : BS);
    ioWrite(session, session->io, sequence, sizeof sequence);
}

void sendZrqinit(ZmodemSession* session) { ioWrite(session, session->io, ZRQINIT_HEADER, sizeof ZRQINIT_HEADER); }

void receiveHeader(ZmodemSession* session) {
    readRawByte(session);
    receiveHeaderFrom(session);
}

void receiveHeaderFrom(ZmodemSession* session) {
    session->headerDone = 0;
    while (!errorPending() && !session->headerDone) {
        while (session->currentChar != ZPAD) {
            ioOnGarbage(session, session->io);
            readRawByte(session);
            if (errorPending()) return;
        }
        int pads = 1;
        readRawByte(session);
        if (errorPending()) return;
        while (session->currentChar == ZPAD) {
            pads++;
            if (pads > 2) ioOnGarbage(session, session->io);
            readRawByte(session);
            if (errorPending()) return;
        }
        if (session->currentChar != ZDLE) continue;
        readRawByte(session);
        if (errorPending()) return;
        int letter = session->currentChar;
        if (letter == FRAME_BIN16) {
            session->frameFormat = FRAME_BIN16;
            receiveBin16Header(session);
        } else if (letter == FRAME_BIN32) {
            session->frameFormat = FRAME_BIN32;
            receiveBin32Header(session);
        } else if (letter == FRAME_HEX && pads >= 2) {
            session->frameFormat = FRAME_HEX;
            receiveHexHeader(session);
        }
    }
}

bool isHeaderTrailer(int32_t c) { return c == XON || c == CR || c == LF || c == (CR | 0x80) || c == (LF | 0x80); }

void receiveHeaderWithin(ZmodemSession* session, int reads) {
    session->waitForInput = 0;
    for (int n = 0; n < reads; n++) {
        readRawByte(session);
        if (errorPending() && errorIs(ZMD009_TIMEOUT)) {
            clearError();
        } else if (errorPending()) {
            break;
        } else if (isHeaderTrailer(session->currentChar)) {
            ioOnGarbage(session, session->io);
        } else {
            session->waitForInput = 1;
            receiveHeaderFrom(session);
            return;
        }
    }
    session->waitForInput = 1;
    if (!errorPending()) raiseError(ZMD009_TIMEOUT);
}

void receiveHexHeader(ZmodemSession* session) {
    receiveCrc16Header(session, readHexByte);
    if (errorPending()) return;
    readRawByte(session);
    if (errorPending()) return;
    if (session->currentChar == CR) {
        readRawByte(session);
        if (errorPending()) return;
    }
    session->headerDone = 1;
}

void receiveBin16Header(ZmodemSession* session) {
    receiveCrc16Header(session, readEscapedByte);
    if (!errorPending()) session->headerDone = 1;
}

void receiveBin32Header(ZmodemSession* session) {
    uint32_t crc = 0xFFFFFFFFu;
    for (int i = 0; i < 5; i++) {
        readEscapedByte(session);
        if (errorPending()) return;
        storeHeaderByte(session, i, static_cast<uint8_t>(session->currentChar));
        crc = crc32Update(crc, static_cast<uint32_t>(session->currentChar));
    }
    uint32_t received = 0;
    for (int i = 0; i < 4; i++) {
        readEscapedByte(session);
        if (errorPending()) return;
        received |= static_cast<uint32_t>(session->currentChar) << (8 * i);
    }
    crc = ~crc;
    if (crc == received) {
        session->headerDone = 1;
        return;
    }
    if (session->cancelRun > 0) readCancelRun(session);
    raiseError(ZMD006_CRC32_ERROR, static_cast<unsigned long>(crc), static_cast<unsigned long>(received));
}
