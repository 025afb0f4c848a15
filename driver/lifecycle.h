// The session's lifecycle around one transfer: construct, open the line and
// the buffer, run one side, tear down.
#pragma once

#include "adapter/line.h"
#include "zmodem/session.h"

void sessionConstruct(ZmodemSession* session);
// False when the port cannot be used: the run ends there.
bool sessionOpen(ZmodemSession* session);
// The same on a line that is already open and stays so (the terminal's).
void sessionOpenOn(ZmodemSession* session, Line* line);
void sessionInit(ZmodemSession* session, TransferIo* io);
void sessionReceive(ZmodemSession* session);
// Sends the named files as one batch, in order.
void sessionSend(ZmodemSession* session, const char* const* fileNames, int count);
// Closes the file and frees the buffer; the line stays open.
void sessionRelease(ZmodemSession* session);
// sessionRelease, then closes the line.
void sessionDestroy(ZmodemSession* session);
