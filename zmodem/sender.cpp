#include "zmodem/sender.h"

#include "adapter/file_io.h"
#include "adapter/serial_link.h"
#include "zmodem/codec.h"
#include "zmodem/header.h"
#include "adapter/messages.h"
#include "zmodem/subpacket_tx.h"

namespace {

const uint8_t RZ_COMMAND[] = {'r', 'z', '\r'};
const uint8_t OVER_AND_OUT[] = {'O', 'O'};

enum SendState { READ_BLOCK, STREAM, REPOSITION, SEND_EOF, AWAIT_EOF_REPLY };

bool inviteMayRetry() {
    return errorIs(ZMD009_TIMEOUT) || errorIs(ZMD004_CRC16_ERROR) || errorIs(ZMD006_CRC32_ERROR) ||
           errorIs(ZMD008_BAD_HEX);
}

bool headerIs(const ZmodemSession* session, uint8_t type) { return !errorPending() && session->headerType == type; }

void readBlock(ZmodemSession* session) {
    ioReadFile(session, session->io, session->buffer, session->blockSize, &session->blockLength);
}

// A header read with single attempts, whether or not a reply has begun:
// it waits one read time-out for one.
void awaitReply(ZmodemSession* session) {
    session->waitForInput = 0;
    receiveHeader(session);
    session->waitForInput = 1;
}

// Streams subpackets, polling for a ZRPOS after each. Once the receiver has
// asked for a rewind (*noisy), each subpacket waits for a reply as long as
// one read time-out: on a line that damages data, what is in flight when a
// ZRPOS comes goes again and is exposed again, so the sender keeps little
// in flight. Returns the next state.
SendState stream(ZmodemSession* session, bool* noisy) {
    while (!errorPending()) {
        ioGatherWrites(session, session->io);
        sendSubpacket(session);
        ioFlushWrites(session, session->io);
        if (*noisy)
            awaitReply(session);
        else
            pollHeader(session);
        if (headerIs(session, ZRPOS)) {
            // All after the offset asked for goes again: what has not left
            // yet need not, and the receiver need not wade through it.
            ioDiscardOutput(session, session->io);
            *noisy = true;
            return REPOSITION;
        }
        if (errorPending()) {
            // Nothing came (the usual case), or a reply damaged on the line:
            // the receiver asks again, so streaming goes on.
            if (errorIs(ZMD009_TIMEOUT))
                clearError();
            else if (inviteMayRetry())
                reportError();
            else
                return STREAM;
        }
        if (!session->moreData) return SEND_EOF;
        readBlock(session);
        if (session->blockLength < session->blockSize) session->moreData = 0;
    }
    return STREAM;
}

// What may trail a hex header that has been read: the rest of its line end
// and the XON after it.
bool isHeaderTrailer(int32_t c) { return c == XON || c == CR || c == LF || c == (CR | 0x80) || c == (LF | 0x80); }

// True when a reply has begun to arrive, its first byte read into
// currentChar (or an error pending from that read). The trailer of a header
// read before is passed over as the hunt would: it is no reply.
bool replyArriving(ZmodemSession* session) {
    while (ioInputWaiting(session, session->io)) {
        readRawByte(session);
        if (errorPending() || !isHeaderTrailer(session->currentChar)) return true;
        ioOnGarbage(session, session->io);
    }
    return false;
}

// Invitation, the files, and the ZFIN close; an error pending at the end of
// a phase skips the later ones.
void runSendSession(ZmodemSession* session) {
    if (session->buffer != nullptr) session->bufferEnd = session->buffer + session->bufferSize;
    session->escapeControl = 0;
    // The receiver is not started yet: what is on the line has been there
    // before this run, and nothing more is expected until "rz" is typed.
    ioDrain(session, session->io);
    sendRzCommand(session);
    int cycleCount = 0;
    bool done = false;
    while (!errorPending() && !done && cycleCount < RETRY_LIMIT) {
        sendZrqinit(session);
        receiveHeader(session);
        if (errorPending()) {
            if (!inviteMayRetry()) break;
            reportError();
            cycleCount++;
        } else if (session->headerType == ZCANCEL) {
            raiseError(ZMD010_REMOTE_CANCEL);
            done = true;
        } else if (session->headerType == ZRINIT) {
            // A receiver behind a link that eats control characters asks for
            // all of them to be escaped; that holds for the rest of the session.
            session->escapeControl = (session->headerData[3] & ESCCTL) != 0;
            ioOnAccepted(session, session->io);
            sendFiles(session);
            done = true;
        } else {
            cycleCount++;
        }
    }
    if (errorPending()) return;
    // No receiver answered: nothing was offered, so nothing was delivered.
    if (!done) ioNoteNotSent(session, session->io);

    int closeCount = 0;
    sendZfin(session);
    while (!errorPending()) {
        receiveHeader(session);
        if (headerIs(session, ZFIN)) break;
        if (closeCount < RETRY_LIMIT) {
            reportError();
            sendZfin(session);
            closeCount++;
        }
    }
    if (!errorPending()) sendOverAndOut(session);
}

}  // namespace

void sendSession(ZmodemSession* session) {
    runSendSession(session);
    if (errorPending()) sendAbort(session);
}

// Opens the next name of the batch that can be sent; a name that cannot is
// reported by the adapter and passed over. 0 at the batch's end.
int openNextSendable(ZmodemSession* session) {
    int open = 0;
    do open = ioOpenNextFile(session, session->io, session->fileName, &session->fileLength);
    while (!open && !errorPending() && session->fileName[0] != '\0');
    return open;
}

void sendFiles(ZmodemSession* session) {
    int open = openNextSendable(session);
    while (!errorPending() && open) {
        session->filePosition = 0;
        int attempts = 0;
        bool done = false;
        while (!errorPending() && attempts < RETRY_LIMIT && !done) {
            sendZfile(session);
            sendFileInfo(session);
            receiveHeader(session);
            if (errorPending()) {
                // A time-out or a damaged reply: offer the file again.
                if (inviteMayRetry()) reportError();
                attempts++;
            } else if (session->headerType == ZRPOS) {
                uint32_t offset = headerOffset(session);
                ioSeekFile(session, session->io, offset);
                session->filePosition = offset;
                if (!errorPending()) sendFileData(session);
                done = true;
            } else if (session->headerType == ZSKIP) {
                ioNoteSkipped(session, session->io);
                done = true;
            } else {
                // ZRINIT, ZNAK for a damaged offer, or anything else: every
                // reply that does not take the file counts, so that no peer
                // can keep the offer going for ever.
                attempts++;
            }
        }
        if (errorPending()) break;
        if (!done) ioNoteNotAccepted(session, session->io);
        ioCloseFile(session, session->io);
        open = openNextSendable(session);
    }
}

void sendFileData(ZmodemSession* session) {
    SendState state = READ_BLOCK;
    session->moreData = 1;
    int failures = 0;
    bool done = false;
    bool noisy = false;  // the receiver has asked for a rewind while data streamed
    while (!errorPending() && !done) {
        switch (state) {
            case READ_BLOCK:
                readBlock(session);
                if (errorPending()) break;
                if (session->blockLength > 0) {
                    sendZdata(session);
                    state = STREAM;
                } else {
                    state = SEND_EOF;
                }
                break;
            case STREAM:
                state = stream(session, &noisy);
                break;
            case REPOSITION: {
                uint32_t offset = headerOffset(session);
                if (offset <= session->filePosition) session->moreData = 1;
                ioSeekFile(session, session->io, offset);
                session->filePosition = offset;
                state = READ_BLOCK;
                break;
            }
            case SEND_EOF:
                sendZeof(session);
                failures = 0;
                state = AWAIT_EOF_REPLY;
                break;
            case AWAIT_EOF_REPLY:
                receiveHeader(session);
                if (headerIs(session, ZRINIT)) {
                    done = true;
                } else if (headerIs(session, ZRPOS)) {
                    state = REPOSITION;
                } else {
                    failures++;
                    if (failures < RETRY_LIMIT) clearError();
                }
                break;
        }
    }
}

// The receiver speaks while data flows only to ask for a rewind or to give
// up, so a reply is read only once a byte of it has arrived. While the line
// from it is silent the time-out is raised at once, and the next subpacket
// goes out: the line's pace is the only limit.
void pollHeader(ZmodemSession* session) {
    session->waitForInput = 0;
    if (replyArriving(session))
        receiveHeaderFrom(session);
    else
        raiseError(ZMD009_TIMEOUT);
    session->waitForInput = 1;
}

void sendRzCommand(ZmodemSession* session) { ioWrite(session, session->io, RZ_COMMAND, sizeof RZ_COMMAND); }

void sendOverAndOut(ZmodemSession* session) { ioWrite(session, session->io, OVER_AND_OUT, sizeof OVER_AND_OUT); }
