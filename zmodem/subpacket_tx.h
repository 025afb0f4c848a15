// Transmission of the ZFILE subpacket and of data subpackets, with CRC-16, or
// CRC-32 for a receiver that takes it (sendCrc32).
#pragma once

#include "zmodem/session.h"

// Sends name, NUL, "<length> 0 0 0", NUL, ZDLE ZCRCW, the CRC and XON.
void sendFileInfo(ZmodemSession* session);
// Sends the first blockLength bytes of the buffer, ended by ZCRCG while
// moreData is set and by ZCRCE otherwise, and advances filePosition.
void sendSubpacket(ZmodemSession* session);
// The same with the given frame end; XON follows a ZCRCW.
void sendSubpacketEnding(ZmodemSession* session, int frameEnd);
