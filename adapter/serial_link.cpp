#include "adapter/serial_link.h"

#include "adapter/serial_port.h"
#include "adapter/messages.h"

void ioReadRetry(ZmodemSession*, TransferIo*, uint8_t* buffer, uint32_t n, uint32_t* actual) {
    for (int attempt = 0; *actual == 0 && !interruptRequested && attempt < READ_WAIT_RETRIES; attempt++) {
        portPause(READ_RETRY_PAUSE_MS);
        portRead(buffer, n, actual);
    }
    if (interruptRequested) raiseError(ZMD011_INTERRUPTED);
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

int flushGathered() {
    int result = gatheredCount == 0 ? 1 : portWrite(gathered, gatheredCount);
    gatheredCount = 0;
    return result;
}

}  // namespace

int ioWrite(ZmodemSession*, TransferIo*, const uint8_t* bytes, uint32_t n) {
    // The write still goes out: the abort sequence is written with it pending.
    if (interruptRequested) raiseError(ZMD011_INTERRUPTED);
    if (!gathering) return portWrite(bytes, n);
    if (n > sizeof gathered - gatheredCount) flushGathered();
    if (n > sizeof gathered) return portWrite(bytes, n);
    for (uint32_t i = 0; i < n; i++) gathered[gatheredCount++] = bytes[i];
    return 1;
}

void ioGatherWrites(ZmodemSession*, TransferIo*) { gathering = true; }

void ioFlushWrites(ZmodemSession*, TransferIo*) {
    flushGathered();
    gathering = false;
}

void ioPurge(ZmodemSession* session, TransferIo*) {
    uint8_t lpBuf[PURGE_BUFFER_SIZE];
    uint32_t dwRead = 0;
    uint32_t discarded = 0;
    do {
        dwRead = 0;
        portRead(lpBuf, 1, &dwRead);
        noteDiscarded(session, lpBuf, dwRead);
        discarded += dwRead;
    } while (dwRead != 0 && discarded < PURGE_LIMIT);
}

void ioDrain(ZmodemSession* session, TransferIo*) {
    uint8_t lpBuf[PURGE_BUFFER_SIZE];
    uint32_t discarded = 0;
    while (discarded < PURGE_LIMIT && portInputWaiting()) {
        uint32_t dwRead = 0;
        portReadBuffered(lpBuf, 1, &dwRead);
        if (dwRead == 0) break;
        noteDiscarded(session, lpBuf, dwRead);
        discarded += dwRead;
    }
}

void ioOnHeaderSent(ZmodemSession*, TransferIo*) {}
void ioOnGarbage(ZmodemSession*, TransferIo*) {}
void ioOnAccepted(ZmodemSession*, TransferIo*) {}
