// The sending side: start the peer's receiver, invite it, offer each file of
// the batch, stream it with rewinds on ZRPOS, and close with ZFIN and "OO".
#pragma once

#include "zmodem/session.h"

void sendSession(ZmodemSession* session);
void sendFiles(ZmodemSession* session);
void sendFileData(ZmodemSession* session);
// receiveHeader with single-attempt reads once a byte of a reply has
// arrived; the time-out is pending at once when none has.
void pollHeader(ZmodemSession* session);
void sendRzCommand(ZmodemSession* session);
void sendOverAndOut(ZmodemSession* session);
