// Single bytes on the line in three codings (raw, ZDLE-escaped, hex), and the
// CRC-16 and CRC-32 checksums. Every byte travels through session->currentChar.
#pragma once

#include <array>
#include <cstdint>

#include "zmodem/session.h"

extern const std::array<uint32_t, 256> CRC16_TABLE;  // CRC-16/XMODEM
extern const std::array<uint32_t, 256> CRC32_TABLE;  // reflected CRC-32, polynomial 0xEDB88320
extern const char HEX_DIGITS[17];

uint32_t crc16Update(uint32_t crc, uint32_t byte);
uint32_t crc32Update(uint32_t crc, uint32_t byte);

// True for the byte values that go out as ZDLE and an escaped form: the ten
// of the escape set, and every control character (0x00-0x1F, 0x80-0x9F) once
// the receiver has asked for them with ESCCTL.
bool escapeNeeded(const ZmodemSession* session, uint32_t byte);

void readRawByte(ZmodemSession* session);
void readEscapedByte(ZmodemSession* session);
void readHexByte(ZmodemSession* session);
void writeRawByte(ZmodemSession* session);
void writeEscapedByte(ZmodemSession* session);
void writeHexByte(ZmodemSession* session);
