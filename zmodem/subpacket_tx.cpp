#include "zmodem/subpacket_tx.h"

#include <cstring>

#include "adapter/serial_link.h"
#include "zmodem/codec.h"

namespace {

// Writes a subpacket's CRC: CRC-16 high byte first, or the complemented
// CRC-32 least significant byte first.
void writeCrc(ZmodemSession* session, uint32_t crc, bool crc32) {
    if (crc32) {
        crc = ~crc;
        for (int i = 0; i < 4; i++) {
            session->currentChar = static_cast<int32_t>((crc >> (8 * i)) & 0xFF);
            writeEscapedByte(session);
        }
        return;
    }
    session->currentChar = static_cast<int32_t>((crc >> 8) & 0xFF);
    writeEscapedByte(session);
    session->currentChar = static_cast<int32_t>(crc & 0xFF);
    writeEscapedByte(session);
}

uint32_t crcStart(bool crc32) { return crc32 ? 0xFFFFFFFFu : 0; }

uint32_t crcUpdate(uint32_t crc, uint32_t byte, bool crc32) {
    return crc32 ? crc32Update(crc, byte) : crc16Update(crc, byte);
}

// Writes the first `length` bytes of the buffer, the plain runs with one
// ioWrite each and the bytes that need it as escape pairs, then the `tail`
// bytes behind them raw with the last run. Returns the CRC of the `length`
// bytes as they stand, unescaped. One copy per checksum, so that the step
// per byte is a table look-up in line.
template <bool CRC32>
uint32_t writeEscapedRuns(ZmodemSession* session, uint32_t length, uint32_t tail) {
    const uint8_t* buffer = session->buffer;
    uint32_t crc = crcStart(CRC32);
    uint32_t runStart = 0;  // first byte not yet written
    for (uint32_t i = 0; i < length; i++) {
        crc = CRC32 ? crc32Update(crc, buffer[i]) : crc16Update(crc, buffer[i]);
        if (!escapeNeeded(session, buffer[i])) continue;
        if (i > runStart) ioWrite(session, session->io, buffer + runStart, i - runStart);
        session->currentChar = buffer[i];
        writeEscapedByte(session);
        runStart = i + 1;
    }
    if (length + tail > runStart) ioWrite(session, session->io, buffer + runStart, length + tail - runStart);
    return crc;
}

uint32_t writeEscaped(ZmodemSession* session, uint32_t length, uint32_t tail, bool crc32) {
    return crc32 ? writeEscapedRuns<true>(session, length, tail) : writeEscapedRuns<false>(session, length, tail);
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
    bool crc32 = session->sendCrc32 != 0;
    uint32_t crc = writeEscaped(session, static_cast<uint32_t>(n), 2, crc32);
    crc = crcUpdate(crc, ZCRCW, crc32);
    writeCrc(session, crc, crc32);
    session->currentChar = XON;
    writeRawByte(session);
}

void sendSubpacket(ZmodemSession* session) {
    int frameEnd = session->moreData ? ZCRCG : ZCRCE;
    sendSubpacketEnding(session, frameEnd);
}

void sendSubpacketEnding(ZmodemSession* session, int frameEnd) {
    uint8_t* buffer = session->buffer;
    uint32_t length = session->blockLength;
    bool crc32 = session->sendCrc32 != 0;
    buffer[length] = ZDLE;
    buffer[length + 1] = static_cast<uint8_t>(frameEnd);
    uint32_t crc = writeEscaped(session, length, 0, crc32);
    crc = crcUpdate(crc, static_cast<uint32_t>(frameEnd), crc32);
    session->currentChar = ZDLE;
    writeRawByte(session);
    session->currentChar = frameEnd;
    writeRawByte(session);
    writeCrc(session, crc, crc32);
    // ZCRCW asks the receiver to answer before anything more comes: XON
    // tells a receiver that stopped its sender with XOFF to go on.
    if (frameEnd == ZCRCW) {
        session->currentChar = XON;
        writeRawByte(session);
    }
    session->filePosition += length;
}
