#include "driver/lifecycle.h"

#include <cstdlib>

#include "adapter/file_io.h"
#include "adapter/line.h"
#include "zmodem/receiver.h"
#include "zmodem/sender.h"

namespace {

// The one line of a run of /r or /s.
Line processLine;

}  // namespace

void sessionConstruct(ZmodemSession* session) {
    session->bufferSize = BUFFER_SIZE;
    session->blockSize = BLOCK_SIZE;
}

bool sessionOpen(ZmodemSession* session) {
    // A line that cannot be used has said why; nothing would come of a transfer.
    LineSettings settings;
    processLine = Line{};
    if (!lineSettingsRead(&settings) || !lineParse(&processLine, &settings)) return false;
    if (lineOpen(&processLine) != 0) return false;
    sessionOpenOn(session, &processLine);
    return true;
}

void sessionOpenOn(ZmodemSession* session, Line* line) {
    session->ioState.line = line;
    sessionInit(session, &session->ioState);
}

void sessionInit(ZmodemSession* session, TransferIo* io) {
    session->waitForInput = 1;
    session->buffer = static_cast<uint8_t*>(checkedAlloc(static_cast<uint32_t>(session->bufferSize)));
    if (io->line == nullptr) io->line = &processLine;
    session->io = io;
}

void sessionReceive(ZmodemSession* session) { receiveSession(session); }

void sessionSend(ZmodemSession* session, const char* const* fileNames, int count) {
    ioSetFileNames(&session->ioState, fileNames, count);
    sendSession(session);
}

void sessionRelease(ZmodemSession* session) {
    ioReleaseFile(&session->ioState);
    free(session->buffer);
    session->buffer = nullptr;
}

void sessionDestroy(ZmodemSession* session) {
    sessionRelease(session);
    lineClose(session->ioState.line != nullptr ? session->ioState.line : &processLine);
}
