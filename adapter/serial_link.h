// The engine's view of the serial line: two read modes, write, purge and
// notification points, each taking the session and its adapter record.
#pragma once

#include <cstdint>

#include "adapter/interrupt_flag.h"
#include "adapter/serial_port.h"
#include "adapter/messages.h"
#include "adapter/error_slot.h"
#include "adapter/session_record.h"

// The further attempts of ioReadWait after a first read that brought nothing:
// up to 200, each after a pause; raises the time-out when none brings a byte.
void ioReadRetry(ZmodemSession* session, TransferIo* io, uint8_t* buffer, uint32_t n, uint32_t* actual);

// Reads with up to 200 further attempts; raises the time-out when nothing came.
// Every byte of the line passes through here, so the first attempt is in line.
inline void ioReadWait(ZmodemSession* session, TransferIo* io, uint8_t* buffer, uint32_t n, int32_t* count) {
    uint32_t actual = 0;
    portReadBuffered(buffer, n, &actual);
    if (actual == 0 || interruptRequested) ioReadRetry(session, io, buffer, n, &actual);
    *count = static_cast<int32_t>(actual);
}

// One read attempt; raises the time-out when nothing came.
inline void ioReadOnce(ZmodemSession*, TransferIo*, uint8_t* buffer, uint32_t n, int32_t* count) {
    uint32_t actual = 0;
    portReadBuffered(buffer, n, &actual);
    *count = static_cast<int32_t>(actual);
    if (interruptRequested) raiseError(ZMD011_INTERRUPTED);
    if (actual == 0) raiseError(ZMD009_TIMEOUT);
}

// True when a byte from the peer can be read without waiting.
inline bool ioInputWaiting(ZmodemSession*, TransferIo*) { return portInputWaiting(); }

int ioWrite(ZmodemSession* session, TransferIo* io, const uint8_t* bytes, uint32_t n);
// From ioGatherWrites to ioFlushWrites, the bytes of ioWrite are gathered
// and handed to the port in one write (or one per full gather buffer), so
// that a subpacket with its many escape pairs costs one system call.
void ioGatherWrites(ZmodemSession* session, TransferIo* io);
void ioFlushWrites(ZmodemSession* session, TransferIo* io);
// Drops what has been written and has not yet gone out on the line.
inline void ioDiscardOutput(ZmodemSession*, TransferIo*) { portDiscardOutput(); }
// Discards input until the line has been quiet for one read time-out, or
// until PURGE_LIMIT bytes have been discarded: for a line on which the peer
// may still be streaming. A run of CANs among the bytes discarded raises
// ZMD010, as a read would.
void ioPurge(ZmodemSession* session, TransferIo* io);
// Discards the input that has already arrived, up to PURGE_LIMIT bytes,
// without waiting for more: for a line on which the peer is expected to be
// silent, waiting for this side. A run of CANs raises ZMD010, as for ioPurge.
void ioDrain(ZmodemSession* session, TransferIo* io);

// Notification points; they do nothing.
void ioOnHeaderSent(ZmodemSession* session, TransferIo* io);
void ioOnGarbage(ZmodemSession* session, TransferIo* io);
void ioOnAccepted(ZmodemSession* session, TransferIo* io);
