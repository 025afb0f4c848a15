#include "zmodem/subpacket_tx.h"

#include <cstring>

#include "adapter/serial_link.h"
#include "zmodem/codec.h"

namespace {

void writeCrc16(ZmodemSession* session, uint32_t crc) {
    session->currentChar = static_cast<int32_t>((crc >> 8) & 0xFF);
    writeEscapedByte(session);
    session->currentChar = static_cast<int32_t>(crc & 0xFF);
    writeEscapedByte(session);
}

}  // namespace

void sendFileInfo(ZmodemSession* session) {
    uint8_t* buffer = session->buffer;
    size_t n = strlen(session->fileName) + 1;
    memcpy(buffer, session->fileName, n);
    int textLength = snprintf(reinterpret_cast<char*>(buffer + n), 32, "%ld 0 0 0",
                              static_cast<long>(static_cast<int32_t>(session->fileLength)));
    n += static_cast<size_t>(textLength) + 1;
    uint32_t crc = 0;
    for (size_t i = 0; i < n; i++) crc = crc16Update(crc, buffer[i]);
    buffer[n++] = ZDLE;
    buffer[n++] = ZCRCW;
    crc = crc16Update(crc, ZCRCW);
    ioWrite(session, session->io, buffer, static_cast<uint32_t>(n));
    writeCrc16(session, crc);
    session->currentChar = XON;
    writeRawByte(session);
}

void sendSubpacket(ZmodemSession* session) {
    uint8_t* buffer = session->buffer;
    uint32_t length = session->blockLength;
    int frameEnd = session->moreData ? ZCRCG : ZCRCE;
    buffer[length] = ZDLE;
    buffer[length + 1] = static_cast<uint8_t>(frameEnd);
    uint32_t crc = 0;
    uint32_t runStart = 0;  // first byte not yet written
    for (uint32_t i = 0; i < length; i++) {
        crc = crc16Update(crc, buffer[i]);
        if (!escapeNeeded(buffer[i])) continue;
        if (i > runStart) ioWrite(session, session->io, buffer + runStart, i - runStart);
        session->currentChar = buffer[i];
        writeEscapedByte(session);
        runStart = i + 1;
    }
    if (length > runStart) ioWrite(session, session->io, buffer + runStart, length - runStart);
    crc = crc16Update(crc, static_cast<uint32_t>(frameEnd));
    session->currentChar = ZDLE;
    writeRawByte(session);
    session->currentChar = frameEnd;
    writeRawByte(session);
    buffer[length + 2] = static_cast<uint8_t>(crc >> 8);
    buffer[length + 3] = static_cast<uint8_t>(crc & 0xFF);
    writeCrc16(session, crc);
    session->filePosition += length;
}
