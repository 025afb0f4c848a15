// The receiving side: announce with ZRINIT, accept each offered file, write
// its data, ask for resends from the last good offset, close on ZFIN.
#pragma once

#include "zmodem/session.h"

void receiveSession(ZmodemSession* session);
void receiveFile(ZmodemSession* session);
void receiveFileData(ZmodemSession* session);
void awaitOverAndOut(ZmodemSession* session);
