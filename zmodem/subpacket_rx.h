// Reception of data subpackets into the session buffer, the ZFILE subpacket
// parse, and the offset check of received headers.
#pragma once

#include "zmodem/session.h"

void receiveSubpacket(ZmodemSession* session);
void receiveSubpacketCrc16(ZmodemSession* session);
void receiveSubpacketCrc32(ZmodemSession* session);
void receiveFileInfo(ZmodemSession* session);
// 1 when the offset in headerData equals filePosition.
int positionMatches(const ZmodemSession* session);
