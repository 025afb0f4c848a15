#include "adapter/serial_link.h"

#include "adapter/serial_port.h"
#include "zmodem/messages.h"

void ioReadRetry(ZmodemSession*, TransferIo*, uint8_t* buffer, uint32_t n, uint32_t* actual) {
    for (int attempt = 0; *actual == 0 && attempt < READ_WAIT_RETRIES; attempt++) {
        portPause(READ_RETRY_PAUSE_MS);
        portRead(buffer, n, actual);
    }
    if (*actual == 0) raiseError(ZMD009_TIMEOUT);
}

int ioWrite(ZmodemSession*, TransferIo*, const uint8_t* bytes, uint32_t n) { return portWrite(bytes, n); }

void ioPurge(ZmodemSession*, TransferIo*) {
    uint8_t lpBuf[PURGE_BUFFER_SIZE];
    uint32_t dwRead = 0;
    uint32_t discarded = 0;
    do {
        dwRead = 0;
        portRead(lpBuf, 1, &dwRead);
        discarded += dwRead;
    } while (dwRead != 0 && discarded < PURGE_LIMIT);
}

void ioDrain(ZmodemSession*, TransferIo*) {
    uint8_t lpBuf[PURGE_BUFFER_SIZE];
    uint32_t discarded = 0;
    while (discarded < PURGE_LIMIT && portInputWaiting()) {
        uint32_t dwRead = 0;
        portReadBuffered(lpBuf, 1, &dwRead);
        if (dwRead == 0) break;
        discarded += dwRead;
    }
}

void ioOnHeaderSent(ZmodemSession*, TransferIo*) {}
void ioOnGarbage(ZmodemSession*, TransferIo*) {}
void ioOnAccepted(ZmodemSession*, TransferIo*) {}
