#include "adapter/serial_link.h"

#include "adapter/line.h"
#include "adapter/messages.h"

void ioLineGone(TransferIo* io) { raiseError(LIN001_LINE_GONE, lineName(io->line)); }

void ioReadRetry(ZmodemSession* session, TransferIo* io, uint8_t* buffer, uint32_t n, uint32_t* actual, int status) {
    int attempts = session->waitReads != 0 ? static_cast<int>(session->waitReads) : READ_WAIT_RETRIES;
    for (int attempt = 0; *actual == 0 && status != LINE_GONE && !interruptRequested && attempt < attempts;
         attempt++) {
        linePause(io->line, READ_RETRY_PAUSE_MS);
        status = lineRead(io->line, buffer, n, actual);
    }
    if (interruptRequested) raiseError(ZMD011_INTERRUPTED);
    if (*actual == 0 && status == LINE_GONE) ioLineGone(io);
    if (*actual == 0) raiseError(ZMD009_TIMEOUT);
}

namespace {

// Discarded input still counts toward a run of CANs: a cancel that arrives
// while this side drops input is heard.
void noteDiscarded(ZmodemSession* session, const uint8_t* bytes, uint32_t n) {
    for (uint32_t i = 0; i < n; i++) {
        if (bytes[i] != ZDLE)
            session->cancelRun = 0;
        else if (++session->cancelRun >= CANCEL_RUN)
            raiseError(ZMD010_REMOTE_CANCEL);
    }
}

// Bytes held between ioGatherWrites and ioFlushWrites: room for a whole
// subpacket of 1024 bytes, every one escaped, with its frame end and CRC.
uint8_t gathered[4096];
uint32_t gatheredCount = 0;
bool gathering = false;

// 1 when the bytes went out; a line that is gone is latched as such.
int writeLine(TransferIo* io, const uint8_t* bytes, uint32_t n) {
    int status = lineWrite(io->line, bytes, n);
    if (status == LINE_GONE) ioLineGone(io);
    return status == LINE_OK ? 1 : 0;
}

int flushGathered(TransferIo* io) {
    int result = gatheredCount == 0 ? 1 : writeLine(io, gathered, gatheredCount);
    gatheredCount = 0;
    return result;
}

}  // namespace

int ioWrite(ZmodemSession*, TransferIo* io, const uint8_t* bytes, uint32_t n) {
    // The write still goes out: the abort sequence is written with it pending.
    if (interruptRequested) raiseError(ZMD011_INTERRUPTED);
    if (!gathering) return writeLine(io, bytes, n);
    if (n > sizeof gathered - gatheredCount) flushGathered(io);
    if (n > sizeof gathered) return writeLine(io, bytes, n);
    for (uint32_t i = 0; i < n; i++) gathered[gatheredCount++] = bytes[i];
    return 1;
}

void ioGatherWrites(ZmodemSession*, TransferIo*) { gathering = true; }

void ioFlushWrites(ZmodemSession*, TransferIo* io) {
    flushGathered(io);
    gathering = false;
}

namespace {

// How much of a hex header's end (CR and LF, each with or without its high
// bit, then XON) the bytes so far end with, after one more byte.
int headerEndSeen(int seen, uint8_t byte) {
    if (seen == 1 && (byte & 0x7F) == LF) return 2;
    if (seen == 2 && byte == XON) return 3;
    return (byte & 0x7F) == CR ? 1 : 0;
}

// Discards input until the line is quiet for one read time-out; with
// `atHeaderEnd`, also as soon as what has arrived ends with a whole header.
void purge(ZmodemSession* session, TransferIo* io, bool atHeaderEnd) {
    uint8_t lpBuf[PURGE_BUFFER_SIZE];
    uint32_t dwRead = 0;
    uint32_t discarded = 0;
    int seen = 0;
    do {
        dwRead = 0;
        if (seen == 3 && !lineInputWaiting(io->line)) break;
        if (lineRead(io->line, lpBuf, 1, &dwRead) == LINE_GONE) ioLineGone(io);
        noteDiscarded(session, lpBuf, dwRead);
        discarded += dwRead;
        if (atHeaderEnd && dwRead == 1) seen = headerEndSeen(seen, lpBuf[0]);
    } while (dwRead != 0 && discarded < PURGE_LIMIT);
}

}  // namespace

void ioPurge(ZmodemSession* session, TransferIo* io) { purge(session, io, false); }

void ioPurgeInvitation(ZmodemSession* session, TransferIo* io) { purge(session, io, true); }

void ioDrain(ZmodemSession* session, TransferIo* io) {
    uint8_t lpBuf[PURGE_BUFFER_SIZE];
    uint32_t discarded = 0;
    while (discarded < PURGE_LIMIT && lineInputWaiting(io->line)) {
        uint32_t dwRead = 0;
        if (lineReadBuffered(io->line, lpBuf, 1, &dwRead) == LINE_GONE) ioLineGone(io);
        if (dwRead == 0) break;
        noteDiscarded(session, lpBuf, dwRead);
        discarded += dwRead;
    }
}

void ioOnHeaderSent(ZmodemSession*, TransferIo*) {}
void ioOnGarbage(ZmodemSession*, TransferIo*) {}
void ioOnAccepted(ZmodemSession* session, TransferIo*) {
    if (closingBytes.watching && session->headerType == ZFIN) closingBytes.active = true;
}
