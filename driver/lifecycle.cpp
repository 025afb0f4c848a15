#include "driver/lifecycle.h"

#include <cstdlib>

#include "adapter/file_io.h"
#include "adapter/serial_port.h"
#include "zmodem/receiver.h"
#include "zmodem/sender.h"

void sessionConstruct(ZmodemSession* session) {
    session->bufferSize = BUFFER_SIZE;
    session->blockSize = BLOCK_SIZE;
}

bool sessionOpen(ZmodemSession* session) {
    // A port that cannot be used has said why; nothing would come of a transfer.
    if (portOpen() != 0) return false;
    sessionInit(session, &session->ioState);
    return true;
}

void sessionInit(ZmodemSession* session, TransferIo* io) {
    session->waitForInput = 1;
    session->buffer = static_cast<uint8_t*>(checkedAlloc(static_cast<uint32_t>(session->bufferSize)));
    session->io = io;
}

void sessionReceive(ZmodemSession* session) { receiveSession(session); }

void sessionSend(ZmodemSession* session, const char* const* fileNames, int count) {
    ioSetFileNames(&session->ioState, fileNames, count);
    sendSession(session);
}

void sessionDestroy(ZmodemSession* session) {
    ioReleaseFile(&session->ioState);
    free(session->buffer);
    session->buffer = nullptr;
    portClose();
}
