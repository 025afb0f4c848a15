// The session's lifecycle around one transfer: construct, open the line and
// the buffer, run one side, tear down.
#pragma once

#include "zmodem/session.h"

void sessionConstruct(ZmodemSession* session);
// False when the port cannot be used: the run ends there.
bool sessionOpen(ZmodemSession* session);
void sessionInit(ZmodemSession* session, TransferIo* io);
void sessionReceive(ZmodemSession* session);
// Sends the named files as one batch, in order.
void sessionSend(ZmodemSession* session, const char* const* fileNames, int count);
void sessionDestroy(ZmodemSession* session);
