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

// Writes the first `length` bytes of the buffer, the plain runs with one
// ioWrite each and the bytes that need it as escape pairs, then the `tail`
// bytes behind them raw with the last run. Returns the CRC-16 of the
// `length` bytes as they stand, unescaped.
uint32_t writeEscapedRuns(ZmodemSession* session, uint32_t length, uint32_t tail) {
    const uint8_t* buffer = session->buffer;
    uint32_t crc = 0;
    uint32_t runStart = 0;  // first byte not yet written
    for (uint32_t i = 0; i < length; i++) {
        crc = crc16Update(crc, buffer[i]);
        if (!escapeNeeded(session, buffer[i])) continue;
        if (i > runStart) ioWrite(session, session->io, buffer + runStart, i - runStart);
        session->currentChar = buffer[i];
        writeEscapedByte(session);
        runStart = i + 1;
    }
    if (length + tail > runStart) ioWrite(session, session->io, buffer + runStart, length + tail - runStart);
    return crc;
}

}  // namespace

void sendFileInfo(ZmodemSession* session) {
    uint8_t* buffer = session->buffer;
    size_t n = strlen(session->fileName) + 1;
    memcpy(buffer, session->fileName, n);
    // Length in decimal, time and mode in octal; in a batch of several, the
    // files and bytes still to come, this one included.
    char* text = reinterpret_cast<char*>(buffer + n);
    int textLength = snprintf(text, FILE_INFO_TEXT_SIZE, "%ld %lo %lo 0",
                              static_cast<long>(static_cast<int32_t>(session->fileLength)),
                              static_cast<unsigned long>(session->fileTime),
                              static_cast<unsigned long>(session->fileMode));
    if (session->batchFiles != 0)
        textLength += snprintf(text + textLength, FILE_INFO_TEXT_SIZE - static_cast<uint32_t>(textLength), " %lu %llu",
                               static_cast<unsigned long>(session->batchFiles),
                               static_cast<unsigned long long>(session->batchBytes));
    n += static_cast<size_t>(textLength) + 1;
    // A name may hold bytes of the escape set (UTF-8 and Windows code pages
    // do): they are escaped like data, or the receiver would take them for
    // flow control. ZDLE and ZCRCW go out with the last plain run.
    buffer[n] = ZDLE;
    buffer[n + 1] = ZCRCW;
    uint32_t crc = writeEscapedRuns(session, static_cast<uint32_t>(n), 2);
    crc = crc16Update(crc, ZCRCW);
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
    uint32_t crc = writeEscapedRuns(session, length, 0);
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
