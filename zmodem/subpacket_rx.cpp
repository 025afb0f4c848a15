#include "zmodem/subpacket_rx.h"

#include <cstddef>
#include <cstring>

#include "adapter/serial_link.h"
#include "zmodem/codec.h"
#include "adapter/messages.h"

namespace {

// Reads data bytes up to a frame end, then the CRC, and accepts the data when
// it matches. The CRC-16 arrives high byte first, the CRC-32 low byte first.
// One copy per checksum, so that the per-byte step is a table look-up in line.
template <bool CRC32>
void receiveChecked(ZmodemSession* session) {
    constexpr int crcBytes = CRC32 ? 4 : 2;
    auto update = [](uint32_t crc, uint32_t byte) { return CRC32 ? crc32Update(crc, byte) : crc16Update(crc, byte); };
    // The cursor is kept in a local while the data bytes stream in and stored
    // back whenever the loop is left.
    uint8_t* cursor = session->buffer;
    uint8_t* const end = session->bufferEnd;
    uint32_t crc = CRC32 ? 0xFFFFFFFFu : 0;
    bool accepted = false;
    session->frameEndCode = 0;  // none seen yet
    while (!errorPending() && cursor < end && !accepted) {
        readEscapedByte(session);
        if (errorPending()) break;
        if (!session->frameEnd) {
            uint32_t c = static_cast<uint32_t>(session->currentChar);
            crc = update(crc, c);
            *cursor++ = static_cast<uint8_t>(c);
            continue;
        }
        // ZCRCG and ZCRCQ continue the frame; every other code ends it.
        session->frameEndCode = session->currentChar;
        if (session->currentChar != ZCRCG && session->currentChar != ZCRCQ) session->moreData = 0;
        crc = update(crc, static_cast<uint32_t>(session->currentChar));
        uint32_t received = 0;
        for (int i = 0; i < crcBytes && !errorPending(); i++) {
            readEscapedByte(session);
            if (errorPending()) break;
            uint32_t b = static_cast<uint32_t>(session->currentChar) & 0xFF;
            received = CRC32 ? received | (b << (8 * i)) : (received << 8) | b;
        }
        if (errorPending()) break;
        if (session->cancelRun > 0) readCancelRun(session);  // a CAN where the CRC was due
        if (errorPending()) break;
        if (!CRC32) {
            if (received == crc) accepted = true;
            else raiseError(ZMD004_CRC16_ERROR, crc, received);
        } else {
            crc = ~crc;
            if (received == crc) accepted = true;
            else raiseError(ZMD006_CRC32_ERROR, static_cast<unsigned long>(crc), static_cast<unsigned long>(received));
        }
        if (accepted) session->filePosition += static_cast<uint32_t>(cursor - session->buffer);
    }
    session->bufferCursor = cursor;
    if (cursor == end) raiseError(ZMD005_SUBPACKET_TOO_LONG);
}

}  // namespace

void receiveSubpacket(ZmodemSession* session) {
    if (session->frameFormat == FRAME_BIN32)
        receiveSubpacketCrc32(session);
    else
        receiveSubpacketCrc16(session);
    if (errorPending())
        session->moreData = 0;
    else
        ioOnAccepted(session, session->io);
}

void receiveSubpacketCrc16(ZmodemSession* session) { receiveChecked<false>(session); }

void receiveSubpacketCrc32(ZmodemSession* session) { receiveChecked<true>(session); }

void receiveFileInfo(ZmodemSession* session) {
    receiveSubpacket(session);
    if (errorPending()) return;
    // The name is cut to 259 characters and never read beyond the bytes received.
    uint8_t* end = session->bufferCursor;
    size_t received = static_cast<size_t>(end - session->buffer);
    size_t nameLength = 0;
    while (nameLength < received && nameLength < FILE_NAME_SIZE - 1 && session->buffer[nameLength] != 0) nameLength++;
    memset(session->fileName, 0, sizeof session->fileName);
    memcpy(session->fileName, session->buffer, nameLength);
    uint8_t* nameEnd = static_cast<uint8_t*>(memchr(session->buffer, 0, received));
    if (nameEnd == nullptr) {
        raiseError(ZMD007_FILE_INFO_OUT_OF_SPEC);
        return;
    }
    session->fileInfo = reinterpret_cast<char*>(nameEnd + 1);
    uint8_t* infoStart = nameEnd + 1;
    uint8_t* infoEnd = static_cast<uint8_t*>(memchr(infoStart, 0, static_cast<size_t>(end - infoStart)));
    if (infoEnd == nullptr || infoEnd - session->buffer >= static_cast<ptrdiff_t>(FILE_INFO_LIMIT))
        raiseError(ZMD007_FILE_INFO_OUT_OF_SPEC);
}

int positionMatches(const ZmodemSession* session) { return headerOffset(session) == session->filePosition ? 1 : 0; }
