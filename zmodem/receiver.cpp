#include "zmodem/receiver.h"

#include <cstdlib>
#include <initializer_list>

#include "adapter/file_io.h"
#include "adapter/serial_link.h"
#include "zmodem/codec.h"
#include "zmodem/header.h"
#include "adapter/messages.h"
#include "zmodem/subpacket_rx.h"

namespace {

bool pendingIsOneOf(std::initializer_list<const char*> formats) {
    for (const char* format : formats)
        if (errorIs(format)) return true;
    return false;
}

// Errors of a header wait that the cycle answers with a new ZRINIT.
bool cycleMayRetry() { return pendingIsOneOf({ZMD009_TIMEOUT, ZMD004_CRC16_ERROR, ZMD006_CRC32_ERROR, ZMD008_BAD_HEX}); }

// Errors of a header wait that the file loop answers with a new ZRPOS.
// A hex digit damaged on the line is damage like a CRC error.
bool fileMayRetry() { return pendingIsOneOf({ZMD009_TIMEOUT, ZMD004_CRC16_ERROR, ZMD006_CRC32_ERROR, ZMD008_BAD_HEX}); }

// Errors of the data phase that are answered with a new ZRPOS.
bool dataMayRetry() {
    return pendingIsOneOf(
        {ZMD009_TIMEOUT, ZMD005_SUBPACKET_TOO_LONG, ZMD004_CRC16_ERROR, ZMD006_CRC32_ERROR, ZMD008_BAD_HEX});
}

// Takes what the receiver uses of an offer: the conversion (ZF0) and
// management (ZF1) options of the ZFILE header, and from the information text
// the length (decimal) and the modification time (octal). A field that is
// missing counts as 0; the mode and whatever follows are not used.
void takeOffer(ZmodemSession* session) {
    session->conversionOption = session->headerData[3];
    session->managementOption = session->headerData[2];
    session->fileLength = 0;
    session->fileTime = 0;
    const char* text = session->fileInfo;
    if (text == nullptr) return;
    char* end = nullptr;
    unsigned long long length = strtoull(text, &end, 10);
    if (end == text) return;
    session->fileLength = length > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(length);
    const char* timeText = end;
    unsigned long long seconds = strtoull(timeText, &end, 8);
    if (end != timeText && seconds <= 0xFFFFFFFFull) session->fileTime = static_cast<uint32_t>(seconds);
}

// Handles a ZFILE header inside a cycle. Returns true when the cycle is over.
bool receiveOffer(ZmodemSession* session, int* cycleCount) {
    session->skipFile = 0;
    ioOnAccepted(session, session->io);
    receiveFileInfo(session);
    if (!errorPending()) {
        receiveFile(session);
        return true;
    }
    if (errorIs(ZMD006_CRC32_ERROR) && *cycleCount < RETRY_LIMIT) {
        reportError();
        sendZrinit(session);
        ++*cycleCount;
    }
    return false;
}

// Sends a ZACK for the data up to filePosition. The frame format of the data
// frame stays, since after ZCRCQ its subpackets go on.
void acknowledgeData(ZmodemSession* session) {
    uint8_t frameFormat = session->frameFormat;
    sendZack(session);
    session->frameFormat = frameFormat;
}

// The sender's ZSINIT carries its attention string in a subpacket and waits for
// a ZACK. The string is not used, so its CRC does not matter (the XON that
// ends a hex ZSINIT header reaches the subpacket as a data byte); a subpacket
// that does not end, or a silent line, is answered like a damaged header.
void receiveSenderInit(ZmodemSession* session, int* cycleCount) {
    ioOnAccepted(session, session->io);
    uint32_t position = session->filePosition;
    receiveSubpacket(session);
    session->filePosition = position;
    if (errorPending() && (errorIs(ZMD004_CRC16_ERROR) || errorIs(ZMD006_CRC32_ERROR))) clearError();
    if (!errorPending()) {
        session->filePosition = 0;
        sendZack(session);
        session->filePosition = position;
    } else if (dataMayRetry() && *cycleCount < RETRY_LIMIT) {
        reportError();
        sendZrinit(session);
        ++*cycleCount;
    }
}

// After a ZEOF beyond the data received: true when nothing follows it within
// one read time-out, as when the sender has sent all and waits (its ZDATA was
// lost on the line). The XON that ends a hex header does not count. Otherwise
// the byte that came is left in currentChar for the header hunt.
bool lineStaysQuiet(ZmodemSession* session) {
    session->waitForInput = 0;
    readRawByte(session);
    if (!errorPending() && session->currentChar == XON) readRawByte(session);
    session->waitForInput = 1;
    if (!errorPending() || !errorIs(ZMD009_TIMEOUT)) return false;
    clearError();
    return true;
}

}  // namespace

void receiveSession(ZmodemSession* session) {
    if (session->buffer != nullptr) session->bufferEnd = session->buffer + session->bufferSize;
    // The sender's command and invitation may still be arriving: they are
    // waited out, once per run. Answered as well, a late invitation draws a
    // second ZRINIT, which a sender may take as the answer to what it sends
    // next (`sz -e` then sends its ZSINIT and its first offer twice, and a
    // second ZSKIP skips the file after it). Once a whole invitation is in,
    // the sender waits for this side (a sender invites once, and again only
    // after a time-out of seconds), and so the wait ends there.
    ioPurgeInvitation(session, session->io);
    // A cancel found there was meant for a session before this one.
    if (errorPending() && errorIs(ZMD010_REMOTE_CANCEL)) clearError();
    session->cancelRun = 0;
    session->skipFile = 0;
    bool batchClosed = false;
    bool afterFile = false;  // a file's cycle has ended
    while (!errorPending() && !batchClosed) {
        sendZrinit(session);
        int cycleCount = 0;
        bool cycleOver = false;
        // After a file the sender waits for this ZRINIT and answers it at
        // once: when nothing begins within about 2 s, the ZRINIT or the
        // answer was lost, and it is asked again then, not after a time-out.
        bool answerDue = afterFile;
        afterFile = true;
        while (!errorPending() && !cycleOver) {
            if (answerDue)
                receiveHeaderWithin(session, REPEAT_WAIT_READS);
            else
                receiveHeader(session);
            answerDue = false;
            if (errorPending()) {
                if (cycleMayRetry() && cycleCount < RETRY_LIMIT) {
                    reportError();
                    sendZrinit(session);
                    cycleCount++;
                }
                continue;
            }
            switch (session->headerType) {
                case ZFIN:
                    sendZfin(session);
                    ioOnAccepted(session, session->io);
                    awaitOverAndOut(session);
                    batchClosed = true;
                    cycleOver = true;
                    break;
                case ZRQINIT:
                case ZNAK:  // ZNAK: the sender could not read this side's ZRINIT
                    if (cycleCount < RETRY_LIMIT) {
                        sendZrinit(session);
                        cycleCount++;
                    } else {
                        raiseError(ZMD001_ZRINIT_NOT_ACCEPTED);
                    }
                    break;
                case ZFILE:
                    cycleOver = receiveOffer(session, &cycleCount);
                    break;
                case ZSINIT:
                    receiveSenderInit(session, &cycleCount);
                    break;
                default:
                    break;
            }
        }
    }
    // A peer that cancelled is told nothing more.
    if (errorPending() && !errorIs(ZMD010_REMOTE_CANCEL)) sendAbort(session);
}

void receiveFile(ZmodemSession* session) {
    session->filePosition = 0;
    takeOffer(session);
    ioCreateFile(session, session->io, session->fileName, session->fileInfo, &session->filePosition,
                 &session->skipFile);
    if (session->skipFile) {
        sendZskip(session);
        return;
    }
    // The sender has offered the file and waits for the answer: the line is
    // quiet, and a wait for quiet would cost every file its length.
    sendZrposAtOnce(session);
    int fileCount = 0;
    bool finished = false;
    while (!errorPending() && !finished) {
        receiveHeader(session);
        if (errorPending()) {
            if (fileMayRetry() && fileCount < RETRY_LIMIT) {
                reportError();
                sendZrpos(session);
                fileCount++;
            }
            continue;
        }
        bool repeatRequest = false;
        switch (session->headerType) {
            case ZDATA:
                // Data for another offset would be written at this one.
                if (!positionMatches(session)) {
                    repeatRequest = true;
                    break;
                }
                ioOnAccepted(session, session->io);
                receiveFileData(session);
                finished = true;
                break;
            case ZEOF:
                if (positionMatches(session)) {
                    ioOnAccepted(session, session->io);
                    ioCloseFile(session, session->io);
                    finished = true;
                } else {
                    repeatRequest = true;
                }
                break;
            case ZFILE:
            case ZNAK:  // the sender could not read the ZRPOS
                repeatRequest = true;
                break;
            default:
                break;
        }
        if (!repeatRequest) continue;
        if (fileCount < RETRY_LIMIT) {
            sendZrpos(session);
            fileCount++;
        } else {
            raiseError(ZMD002_ZRPOS_UNANSWERED);
        }
    }
}

void receiveFileData(ZmodemSession* session) {
    session->moreData = 1;
    int dataCount = 0;
    bool finished = false;
    bool byteHeld = false;  // the next header hunt starts with currentChar
    bool acknowledged = false;  // the last request sent was a ZACK, not a ZRPOS
    bool requested = false;     // a ZRPOS sent is not answered yet
    bool quickWaitUsed = false;  // since the last answer
    while (!errorPending() && !finished) {
        // After a subpacket ended by ZCRCW the sender waits for the answer.
        bool senderWaits = false;
        if (session->moreData) {
            receiveSubpacket(session);
            senderWaits = session->frameEndCode == ZCRCW;
            if (!errorPending()) {
                ioWriteFile(session, session->io, session->buffer,
                            static_cast<uint32_t>(session->bufferCursor - session->buffer));
                if (!errorPending()) dataCount = 0;
                // A sender that ends a subpacket with ZCRCW or ZCRCQ waits for this.
                if (!errorPending() && (session->frameEndCode == ZCRCW || session->frameEndCode == ZCRCQ)) {
                    acknowledgeData(session);
                    acknowledged = true;
                }
            }
        } else {
            // A sender streams the answer to its request at once, so about
            // 2 s of quiet line shows the request lost (the sender may be
            // waiting for its window's ZACKs) and it is made again. Only the
            // first wait since the last answer is short: a sender busy or
            // held up on its line for longer still has the whole time-outs.
            if (requested && !quickWaitUsed) {
                session->waitReads = REPEAT_WAIT_READS;
                quickWaitUsed = true;
            }
            if (byteHeld)
                receiveHeaderFrom(session);
            else
                receiveHeader(session);
            session->waitReads = 0;
            byteHeld = false;
            if (!errorPending() && positionMatches(session) &&
                (session->headerType == ZDATA || session->headerType == ZEOF)) {
                requested = false;
                quickWaitUsed = false;
                if (session->headerType == ZDATA) {
                    ioOnAccepted(session, session->io);
                    session->moreData = 1;
                } else {
                    ioOnAccepted(session, session->io);
                    ioCloseFile(session, session->io);
                    finished = true;
                }
            } else if (!errorPending() && (session->headerType == ZDATA || session->headerType == ZNAK)) {
                // Data for another offset: the sender did not get the request
                // for this one. A ZNAK: it got a request it could not read.
                // Either way it is asked again now, not after a time-out.
                if (dataCount >= RETRY_LIMIT) {
                    raiseError(ZMD002_ZRPOS_UNANSWERED);
                } else if (session->headerType == ZNAK && acknowledged) {
                    acknowledgeData(session);  // it waits after its ZCRCW
                    dataCount++;
                } else {
                    sendZrpos(session);
                    requested = true;
                    acknowledged = false;
                    dataCount++;
                }
            } else if (!errorPending() && session->headerType == ZEOF) {
                // The sender has reached its end while data is missing here. If
                // it waits, ask for the rest now rather than after a time-out.
                // If more comes, this ZEOF is an old one that a purge left on
                // the line, and what comes is likely the answer to the ZRPOS
                // already sent: a new ZRPOS would purge that answer away.
                if (!lineStaysQuiet(session)) {
                    byteHeld = true;
                } else if (dataCount < RETRY_LIMIT) {
                    sendZrposAtOnce(session);  // found quiet just now
                    requested = true;
                    acknowledged = false;
                    dataCount++;
                } else {
                    raiseError(ZMD002_ZRPOS_UNANSWERED);
                }
            }
        }
        if (errorPending() && dataMayRetry() && dataCount < RETRY_LIMIT) {
            reportError();
            session->moreData = 0;
            // A sender that waits has nothing more on its way: no wait for quiet.
            if (senderWaits)
                sendZrposAtOnce(session);
            else
                sendZrpos(session);
            requested = true;
            acknowledged = false;
            dataCount++;
        }
    }
}

// The batch is closed whatever comes now: the peer's "OO" is waited for with
// single-attempt reads, so a sign-off lost on the line costs one read
// time-out rather than a full waiting read.
void awaitOverAndOut(ZmodemSession* session) {
    session->waitForInput = 0;
    readRawByte(session);
    if (!errorPending()) readRawByte(session);
    session->waitForInput = 1;
    if (errorPending() && errorIs(ZMD009_TIMEOUT)) clearError();
}
