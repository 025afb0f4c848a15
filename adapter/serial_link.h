// The engine's view of the serial line: two read modes, write, purge and
// notification points, each taking the session and its adapter record.
#pragma once

#include <cstdint>

#include "zmodem/session.h"

// Reads with up to 200 further attempts; raises the time-out when nothing came.
void ioReadWait(ZmodemSession* session, TransferIo* io, uint8_t* buffer, uint32_t n, int32_t* count);
// One read attempt; raises the time-out when nothing came.
void ioReadOnce(ZmodemSession* session, TransferIo* io, uint8_t* buffer, uint32_t n, int32_t* count);
int ioWrite(ZmodemSession* session, TransferIo* io, const uint8_t* bytes, uint32_t n);
// Discards input until the line has been quiet for one read time-out, or
// until PURGE_LIMIT bytes have been discarded.
void ioPurge(ZmodemSession* session, TransferIo* io);

// Notification points; they do nothing.
void ioOnHeaderSent(ZmodemSession* session, TransferIo* io);
void ioOnGarbage(ZmodemSession* session, TransferIo* io);
void ioOnAccepted(ZmodemSession* session, TransferIo* io);
