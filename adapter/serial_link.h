// The engine's view of the serial line: two read modes, write, purge and
// notification points, each taking the session and its adapter record.
#pragma once

#include <cstdint>

#include "adapter/interrupt_flag.h"
#include "adapter/line.h"
#include "adapter/messages.h"
#include "adapter/error_slot.h"
#include "adapter/session_record.h"

// The further attempts of ioReadWait after a first read that brought nothing:
// up to 200, each after a pause; raises the time-out when none brings a byte.
// A first read that found the line gone raises that at once instead.
void ioReadRetry(ZmodemSession* session, TransferIo* io, uint8_t* buffer, uint32_t n, uint32_t* actual, int status);
// Latches that the line is gone, naming it.
void ioLineGone(TransferIo* io);

// Reads with up to 200 further attempts; raises the time-out when nothing came.
// Every byte of the line passes through here, so the first attempt is in line.
inline void ioReadWait(ZmodemSession* session, TransferIo* io, uint8_t* buffer, uint32_t n, int32_t* count) {
    uint32_t actual = 0;
    int status = lineReadBuffered(io->line, buffer, n, &actual);
    if (actual == 0 || interruptRequested) ioReadRetry(session, io, buffer, n, &actual, status);
    *count = static_cast<int32_t>(actual);
}

// The bytes read after the peer's ZFIN: normally its "OO", but a sender that
// ends without it leaves there what the remote prints next, which the
// terminal shows rather than lose. Kept only while `watching`.
struct ClosingBytes {
    bool watching;
    bool active;
    uint8_t bytes[4];
    uint32_t count;
};
inline ClosingBytes closingBytes = {false, false, {0, 0, 0, 0}, 0};

// One read attempt; raises the time-out when nothing came, also from a line that is gone.
inline void ioReadOnce(ZmodemSession*, TransferIo* io, uint8_t* buffer, uint32_t n, int32_t* count) {
    uint32_t actual = 0;
    int status = lineReadBuffered(io->line, buffer, n, &actual);
    if (closingBytes.active)
        for (uint32_t i = 0; i < actual && closingBytes.count < sizeof closingBytes.bytes; i++)
            closingBytes.bytes[closingBytes.count++] = buffer[i];
    *count = static_cast<int32_t>(actual);
    if (interruptRequested) raiseError(ZMD011_INTERRUPTED);
    // A single attempt on a line that is gone brought nothing, as a quiet
    // line's does: a peer that hangs up after its last word (the "OO" after
    // the batch) ends nothing. The next waiting read or write says it is gone.
    (void)status;
    if (actual == 0) raiseError(ZMD009_TIMEOUT);
}

// True when a byte from the peer can be read without waiting.
inline bool ioInputWaiting(ZmodemSession*, TransferIo* io) { return lineInputWaiting(io->line); }

int ioWrite(ZmodemSession* session, TransferIo* io, const uint8_t* bytes, uint32_t n);
// From ioGatherWrites to ioFlushWrites, the bytes of ioWrite are gathered
// and handed to the port in one write (or one per full gather buffer), so
// that a subpacket with its many escape pairs costs one system call.
void ioGatherWrites(ZmodemSession* session, TransferIo* io);
void ioFlushWrites(ZmodemSession* session, TransferIo* io);
// Drops what has been written and has not yet gone out on the line.
inline void ioDiscardOutput(ZmodemSession*, TransferIo* io) { lineDiscardOutput(io->line); }
inline uint64_t ioClockUs(ZmodemSession*, TransferIo* io) { return lineClockUs(io->line); }
// Discards input until the line has been quiet for one read time-out, or
// until PURGE_LIMIT bytes have been discarded: for a line on which the peer
// may still be streaming. A run of CANs among the bytes discarded raises
// ZMD010, as a read would.
void ioPurge(ZmodemSession* session, TransferIo* io);
// ioPurge for the sender's command and invitation at the start of a receive:
// it also ends once the input that has arrived ends with a whole header, the
// sender then waiting for this side, rather than one read time-out later.
void ioPurgeInvitation(ZmodemSession* session, TransferIo* io);
// Discards the input that has already arrived, up to PURGE_LIMIT bytes,
// without waiting for more: for a line on which the peer is expected to be
// silent, waiting for this side. A run of CANs raises ZMD010, as for ioPurge.
void ioDrain(ZmodemSession* session, TransferIo* io);

// Notification points; they do nothing.
void ioOnHeaderSent(ZmodemSession* session, TransferIo* io);
void ioOnGarbage(ZmodemSession* session, TransferIo* io);
void ioOnAccepted(ZmodemSession* session, TransferIo* io);
