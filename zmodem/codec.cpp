#include "zmodem/codec.h"

#include "adapter/serial_link.h"
#include "adapter/messages.h"

namespace {

constexpr std::array<uint32_t, 256> makeCrc16Table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t crc = i << 8;
        for (int bit = 0; bit < 8; bit++) crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) : (crc << 1);
        table[i] = crc & 0xFFFF;
    }
    return table;
}

constexpr std::array<uint32_t, 256> makeCrc32Table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t crc = i;
        for (int bit = 0; bit < 8; bit++) crc = (crc & 1) ? ((crc >> 1) ^ 0xEDB88320u) : (crc >> 1);
        table[i] = crc;
    }
    return table;
}

// Value of a lowercase hex digit, or -1.
int hexValue(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// ZMD008 for the character in currentChar; a CAN there may begin a cancel.
void badHexCharacter(ZmodemSession* session) {
    unsigned c = static_cast<unsigned>(session->currentChar);
    if (c == ZDLE) readCancelRun(session);
    raiseError(ZMD008_BAD_HEX, c);
}

}  // namespace

const std::array<uint32_t, 256> CRC16_TABLE = makeCrc16Table();
const std::array<uint32_t, 256> CRC32_TABLE = makeCrc32Table();
const char HEX_DIGITS[17] = "0123456789abcdef";

bool escapeNeeded(const ZmodemSession* session, uint32_t byte) {
    if (session->escapeControl && (byte & 0x60) == 0) return true;
    switch (byte & 0x7F) {
        case ZDLE:
        case DLE:
        case XON:
        case DEL:
        case XOFF:
            return true;
        default:
            return false;
    }
}

void readCancelRun(ZmodemSession* session) {
    uint32_t waitForInput = session->waitForInput;
    session->waitForInput = 0;
    while (!errorPending() && session->cancelRun > 0) readRawByte(session);
    session->waitForInput = waitForInput;
    if (errorPending() && errorIs(ZMD009_TIMEOUT)) clearError();
}

void readHexByte(ZmodemSession* session) {
    readRawByte(session);
    if (errorPending()) return;
    int tempCh = hexValue(session->currentChar);
    if (tempCh < 0) badHexCharacter(session);
    if (errorPending()) return;
    readRawByte(session);
    if (errorPending()) return;
    tempCh <<= 4;
    int low = hexValue(session->currentChar);
    if (low < 0) badHexCharacter(session);
    if (!errorPending()) session->currentChar = tempCh | low;
}

void writeRawByte(ZmodemSession* session) {
    uint8_t buf = static_cast<uint8_t>(session->currentChar & 0xFF);
    ioWrite(session, session->io, &buf, 1);
}

void writeEscapedByte(ZmodemSession* session) {
    int c = session->currentChar;
    if (!escapeNeeded(session, static_cast<uint32_t>(c))) {
        writeRawByte(session);
        return;
    }
    session->currentChar = ZDLE;
    writeRawByte(session);
    if (errorPending()) return;
    if (c == 0x7F)
        session->currentChar = ZRUB0;
    else if (c == 0xFF)
        session->currentChar = ZRUB1;
    else
        session->currentChar = c | 0x40;
    writeRawByte(session);
}

void writeHexByte(ZmodemSession* session) {
    int c = session->currentChar;
    session->currentChar = HEX_DIGITS[(c >> 4) & 0x0F];
    writeRawByte(session);
    if (errorPending()) return;
    session->currentChar = HEX_DIGITS[c & 0x0F];
    writeRawByte(session);
}
