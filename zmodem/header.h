// Zmodem headers: sending in hex and binary CRC-16 framing, the builders for
// every header the engine sends, and the hunt for and check of incoming
// hex, CRC-16 and CRC-32 headers.
#pragma once

#include <cstdint>

#include "adapter/constants.h"
#include "zmodem/session.h"

// The complete hex ZRQINIT, all data bytes zero.
extern const uint8_t ZRQINIT_HEADER[HEX_HEADER_LENGTH];

void sendHeader(ZmodemSession* session);
void sendHexHeader(ZmodemSession* session);
void sendBin16Header(ZmodemSession* session);
void sendBin32Header(ZmodemSession* session);

void sendZrinit(ZmodemSession* session);
void sendZskip(ZmodemSession* session);
void sendZrpos(ZmodemSession* session);
// ZRPOS on a line expected silent, its peer waiting for it: only the input
// that has already arrived is dropped, without waiting for quiet.
void sendZrposAtOnce(ZmodemSession* session);
void sendZfin(ZmodemSession* session);
void sendZeof(ZmodemSession* session);
void sendZfile(ZmodemSession* session);
void sendZdata(ZmodemSession* session);
// Acknowledges the data up to filePosition.
void sendZack(ZmodemSession* session);
void sendZrqinit(ZmodemSession* session);
// Tells the peer that this side has given up, so that it does not wait on.
void sendAbort(ZmodemSession* session);

void receiveHeader(ZmodemSession* session);
// The same hunt, starting with the byte already read into currentChar (an
// error pending from that read ends it at once).
void receiveHeaderFrom(ZmodemSession* session);
// What may trail a hex header that has been read: the rest of its line end
// and the XON after it.
bool isHeaderTrailer(int32_t c);
// Up to `reads` single reads for the first byte of a header, then the header
// as usual; the time-out when none begins.
void receiveHeaderWithin(ZmodemSession* session, int reads);
void receiveHexHeader(ZmodemSession* session);
void receiveBin16Header(ZmodemSession* session);
void receiveBin32Header(ZmodemSession* session);
