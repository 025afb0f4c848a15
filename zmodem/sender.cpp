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
const uint8_t PAD_AFTER_DISCARD = ZPAD;

enum SendState { READ_BLOCK, STREAM, REPOSITION, SEND_EOF, AWAIT_EOF_REPLY };

bool inviteMayRetry() {
    return errorIs(ZMD009_TIMEOUT) || errorIs(ZMD004_CRC16_ERROR) || errorIs(ZMD006_CRC32_ERROR) ||
           errorIs(ZMD008_BAD_HEX);
}

bool headerIs(const ZmodemSession* session, uint8_t type) { return !errorPending() && session->headerType == type; }

// How a file's data goes: the limits the receiver's ZRINIT states and the
// window chosen, and the subpacket length of the moment, which follows the line.
struct StreamPlan {
    uint32_t segment;       // nonzero: ZCRCW after at most this many bytes, a ZACK awaited each time
    bool readWhileSending;  // replies are looked for between subpackets
    uint32_t window;        // nonzero: at most this many bytes unacknowledged; ZCRCQ asks on the way
    uint32_t chosenWindow;  // the window before any rewind
    uint32_t blockLimit;    // longest subpacket for this receiver
    uint32_t cleanBytes;    // bytes sent since the subpacket length last changed
    uint32_t nextQuery;     // offset at or after which the next subpacket ends with ZCRCQ
    bool noisy;             // the receiver has asked for a rewind while data streamed
    bool rewound;           // the receiver has asked for a rewind of this file
    int unanswered;         // waits in a row that brought no answer, or only a ZACK of nothing new
    uint32_t target;        // the offset of the rewind asked for
    uint32_t rewoundTo;     // the offset of the last rewind
    bool confirmed;         // a ZACK has shown that the data since that rewind arrives
    bool repeatSeen;        // a ZRPOS for rewoundTo came before that, and was taken for a repeat
    int quietReads;         // single reads that brought nothing, the window full, since the rewind or that ZRPOS
    bool rateStarted;       // the line's speed is being measured from a ZACK...
    uint32_t rateFrom;      // ...that confirmed this offset...
    uint64_t rateSinceUs;   // ...at this time
    uint64_t repeatUntilUs; // a ZRPOS for rewoundTo before then, unconfirmed, is a repeat; 0: counted in reads
    bool nudged;            // the window full and quiet, this side rewound to what was confirmed; no answer since
};

// Reads the next block: blockSize bytes, or fewer where a segment of the
// receiver's buffer ends sooner. Returns the count asked for.
uint32_t readBlock(ZmodemSession* session, uint32_t segment) {
    uint32_t want = session->blockSize;
    uint32_t room = session->ackedPosition + segment - session->filePosition;
    if (segment != 0 && room < want) want = room;
    ioReadFile(session, session->io, session->buffer, want, &session->blockLength);
    return want;
}

// A header read with single attempts, whether or not a reply has begun:
// it waits one read time-out for one.
void awaitReply(ZmodemSession* session) {
    session->waitForInput = 0;
    receiveHeader(session);
    session->waitForInput = 1;
}

bool cancelled() { return errorPending() && errorIs(ZMD010_REMOTE_CANCEL); }

void planStream(ZmodemSession* session, StreamPlan* plan) {
    uint32_t flags = session->receiverFlags;
    bool overlaps = (flags & CANFDX) != 0 && (flags & CANOVIO) != 0;
    plan->window = session->acksNever ? 0 : session->window;
    plan->segment = session->receiverBuffer;
    if (plan->segment == 0 && !overlaps) plan->segment = plan->window != 0 ? plan->window : DEFAULT_WINDOW;
    plan->readWhileSending = plan->segment == 0;
    if (plan->segment != 0) plan->window = 0;
    plan->chosenWindow = plan->window;
    plan->blockLimit = BLOCK_SIZE;
    if (plan->segment != 0 && plan->segment < plan->blockLimit) plan->blockLimit = plan->segment;
    if (session->blockSize > plan->blockLimit) session->blockSize = plan->blockLimit;
    plan->cleanBytes = 0;
    plan->nextQuery = session->filePosition + plan->window / WINDOW_QUERIES;
    plan->noisy = false;
    plan->rewound = false;
    plan->unanswered = 0;
    plan->target = 0;
    plan->rewoundTo = 0;
    plan->confirmed = false;
    plan->repeatSeen = false;
    plan->quietReads = 0;
    // The first ZACK's span includes a round trip.
    plan->rateStarted = true;
    plan->rateFrom = session->filePosition;
    plan->rateSinceUs = ioClockUs(session, session->io);
    plan->repeatUntilUs = 0;
    plan->nudged = false;
}

// How long the line takes to carry this many bytes, with a round trip either
// side and a margin for the receiver's own pace; 0 while its speed or its
// round trip is not known.
uint64_t lineTimeUs(const ZmodemSession* session, uint64_t bytes) {
    if (!session->roundTripSeen || session->lineBytesPerSecond == 0) return 0;
    return bytes * 1000000 / session->lineBytesPerSecond + 2 * session->roundTripUs + LINE_TIME_MARGIN_US;
}

// After a rewind the window shrinks for the rest of the file, since what is
// in flight when a ZRPOS comes goes again: to what the line carries in two
// round trips, in whole subpackets, never more than the window chosen
// (MIN_WINDOW at most until the round trip and the speed are known). At
// least two subpackets: the line does not idle while the first's ZACK comes
// back, and the ZACK of the second makes good the first's, damaged on the line.
void limitWindow(ZmodemSession* session, StreamPlan* plan) {
    if (plan->window == 0) return;
    uint64_t after = MIN_WINDOW;
    if (session->roundTripSeen && session->lineBytesPerSecond != 0) {
        uint64_t twoTrips = 2 * session->roundTripUs * session->lineBytesPerSecond / 1000000;
        after = (twoTrips + BLOCK_SIZE - 1) / BLOCK_SIZE * BLOCK_SIZE;
        if (after < 2 * BLOCK_SIZE) after = 2 * BLOCK_SIZE;
    }
    plan->window = plan->chosenWindow < after ? plan->chosenWindow : static_cast<uint32_t>(after);
}

// A rewind that follows the one before within BLOCK_GROWTH_BYTES makes the
// subpackets shorter: on a line that damages that often, less goes again
// when one is damaged. A rare one costs nothing in length.
void shrinkBlocks(ZmodemSession* session, StreamPlan* plan) {
    if (plan->rewound && plan->cleanBytes < BLOCK_GROWTH_BYTES && session->blockSize / 2 >= MIN_BLOCK_SIZE)
        session->blockSize /= 2;
    limitWindow(session, plan);
    plan->cleanBytes = 0;
}

// The line's speed, from ZACKs at least RATE_SPAN_BYTES apart, and
// RATE_SPAN_US and a round trip, while data streams (ZACKs read together, as
// from a receiver that reads in bursts, show nothing of the line): the most
// seen, since a window kept small after a rewind holds it back.
void noteRate(ZmodemSession* session, StreamPlan* plan) {
    uint64_t now = ioClockUs(session, session->io);
    if (plan->rateStarted) {
        uint32_t bytes = session->ackedPosition - plan->rateFrom;
        uint64_t span = session->roundTripUs > RATE_SPAN_US ? session->roundTripUs : RATE_SPAN_US;
        if (bytes < RATE_SPAN_BYTES || now < plan->rateSinceUs + span) return;
        uint64_t rate = static_cast<uint64_t>(bytes) * 1000000 / (now - plan->rateSinceUs);
        if (rate > UINT32_MAX) rate = UINT32_MAX;
        if (rate > session->lineBytesPerSecond) session->lineBytesPerSecond = static_cast<uint32_t>(rate);
        if (plan->rewound) limitWindow(session, plan);
    }
    plan->rateStarted = true;
    plan->rateFrom = session->ackedPosition;
    plan->rateSinceUs = now;
}

// The quickest answer to an offer in this send: the line's round trip, with
// nothing else in flight. One that took longer than ROUND_TRIP_LIMIT_US was
// the receiver's own delay (a dialog, a time-out of its own), not the line's.
void noteRoundTrip(ZmodemSession* session, uint64_t us) {
    if (us > ROUND_TRIP_LIMIT_US) return;
    if (!session->roundTripSeen || us < session->roundTripUs) session->roundTripUs = us;
    session->roundTripSeen = 1;
}

// While data goes through without a rewind, they grow back.
void growBlocks(ZmodemSession* session, StreamPlan* plan, uint32_t sent) {
    plan->cleanBytes += sent;
    if (plan->cleanBytes < BLOCK_GROWTH_BYTES) return;
    if (session->blockSize < plan->blockLimit) session->blockSize *= 2;
    if (session->blockSize > plan->blockLimit) session->blockSize = plan->blockLimit;
    plan->cleanBytes = 0;
}

// A ZACK confirms the data up to its offset. True when that is more than before.
bool noteAck(ZmodemSession* session) {
    uint32_t offset = headerOffset(session);
    session->acksCome = 1;
    session->acksSeen = 1;
    if (offset <= session->ackedPosition || offset > session->filePosition) return false;
    session->ackedPosition = offset;
    ioOnAcknowledged(session, session->io);
    return true;
}

// The frame end of the subpacket in the buffer.
int frameEndFor(ZmodemSession* session, StreamPlan* plan) {
    if (!session->moreData) return ZCRCE;
    uint32_t end = session->filePosition + session->blockLength;
    if (plan->segment != 0) return end - session->ackedPosition >= plan->segment ? ZCRCW : ZCRCG;
    if (plan->window == 0) return ZCRCG;
    // Until the receiver has shown that it answers ZCRCQ, a full window ends
    // with ZCRCW, which every receiver answers.
    if (!session->acksCome && end - session->ackedPosition >= plan->window) return ZCRCW;
    if (end >= plan->nextQuery) {
        plan->nextQuery = end + plan->window / WINDOW_QUERIES;
        return ZCRCQ;
    }
    return ZCRCG;
}

// REPLY_STALE: a ZACK that confirms nothing new; REPLY_REPEAT: a ZRPOS taken
// for a repeat of the one last honoured.
enum ReplyOutcome { REPLY_NONE, REPLY_ACK, REPLY_STALE, REPLY_REPEAT, REPLY_REWIND, REPLY_FAILED };

// Acts on the reply just read (or the error it left): a ZACK is noted, a
// ZRPOS asks for a rewind, a time-out or a damaged reply is no reply.
// A receiver that asked for a rewind asks again for every frame still on
// the line from before it, until the data sent since reaches it: with a
// window, a ZRPOS for the offset just rewound to, before a ZACK has shown
// that data to arrive, is such a repeat and not acted on. Should it be a
// new request after all, the receiver then acknowledges nothing, and the
// full window's wait (awaitFull) honours it.
ReplyOutcome takeReply(ZmodemSession* session, StreamPlan* plan) {
    if (!errorPending()) {
        if (session->headerType == ZACK) {
            if (!noteAck(session)) return REPLY_STALE;
            noteRate(session, plan);
            plan->nudged = false;
            if (plan->rewound && session->ackedPosition > plan->rewoundTo) {
                plan->confirmed = true;
                plan->repeatSeen = false;
            }
            return REPLY_ACK;
        }
        if (session->headerType == ZRPOS) {
            plan->target = headerOffset(session);
            plan->nudged = false;
            // Once all in flight at the rewind has had the time to arrive, it is a new request.
            bool early = plan->repeatUntilUs == 0 || ioClockUs(session, session->io) < plan->repeatUntilUs;
            if (plan->window != 0 && plan->rewound && !plan->confirmed && plan->target == plan->rewoundTo && early)
                return REPLY_REPEAT;
            return REPLY_REWIND;
        }
        return REPLY_NONE;
    }
    if (errorIs(ZMD009_TIMEOUT)) {
        clearError();
        return REPLY_NONE;
    }
    if (inviteMayRetry()) {
        reportError();
        session->acksSeen = 1;  // something came: a reply damaged on its way
        return REPLY_NONE;
    }
    return REPLY_FAILED;
}

// A receiver that answers ZCRCQ and leaves a full window unanswered for
// twice the window's time on the line (about 2 s while that is not known),
// or the data since a rewind unanswered once it has had the time to arrive,
// has most likely asked for a rewind
// that was damaged on the way, or had its ZACKs damaged: once, until it
// answers again, this side goes back to what it has confirmed, and the new
// ZDATA draws its request at once.
ReplyOutcome nudge(ZmodemSession* session, StreamPlan* plan) {
    plan->nudged = true;
    plan->target = session->ackedPosition;
    return REPLY_REWIND;
}

// One wait for a reply with nothing more to send until it comes: the window
// full, or a ZCRCW sent. A receiver silent ten times in a row, or answering
// only with ZACKs of nothing new, is gone: the time-out stays.
// After a rewind, until a ZACK shows the data since to arrive, the wait is
// made of single reads (REPLY_REPEAT: wait on). All sent since the rewind
// has had the time to arrive after the line's time for it (REPEAT_WAIT_READS
// reads while that is not known): a ZRPOS for the same offset after that, or
// quiet then, shows the rewind itself lost (its ZDATA damaged), and it is
// made again.
ReplyOutcome awaitFull(ZmodemSession* session, StreamPlan* plan) {
    ReplyOutcome outcome = REPLY_NONE;
    if (plan->window != 0 && plan->rewound && !plan->confirmed) {
        receiveHeaderWithin(session, 1);
        outcome = takeReply(session, plan);
        bool waited = plan->repeatUntilUs != 0 ? ioClockUs(session, session->io) >= plan->repeatUntilUs
                                               : plan->quietReads >= REPEAT_WAIT_READS;
        if (outcome == REPLY_REPEAT && !waited) {
            plan->repeatSeen = true;
            plan->quietReads = 0;
        } else if (outcome == REPLY_REPEAT || (outcome == REPLY_NONE && plan->repeatSeen && waited)) {
            plan->target = plan->rewoundTo;
            outcome = REPLY_REWIND;
        } else if (outcome == REPLY_NONE && waited && !plan->nudged) {
            outcome = nudge(session, plan);
        } else if (outcome == REPLY_NONE) {
            // As long as a waiting read without an answer: one time-out.
            if (++plan->quietReads % (READ_WAIT_RETRIES + 1) != 0) return REPLY_REPEAT;
            if (++plan->unanswered >= RETRY_LIMIT) {
                raiseError(ZMD009_TIMEOUT);
                return REPLY_FAILED;
            }
        }
    } else {
        if (plan->window != 0 && session->acksCome && !plan->nudged) {
            // REPEAT_WAIT_READS while the line's time is not known; a whole wait at most.
            uint64_t quietUs = lineTimeUs(session, 2 * static_cast<uint64_t>(plan->window));
            uint64_t reads = quietUs != 0 ? quietUs / (SINGLE_READ_MS * 1000) + 1 : REPEAT_WAIT_READS;
            receiveHeaderWithin(session, static_cast<int>(reads < READ_WAIT_RETRIES ? reads : READ_WAIT_RETRIES));
            if (errorPending() && errorIs(ZMD009_TIMEOUT)) {
                clearError();
                return nudge(session, plan);
            }
        } else {
            receiveHeader(session);
            if (errorPending() && errorIs(ZMD009_TIMEOUT) && ++plan->unanswered >= RETRY_LIMIT) return REPLY_FAILED;
        }
        outcome = takeReply(session, plan);
    }
    if (outcome == REPLY_ACK || outcome == REPLY_REWIND) plan->unanswered = 0;
    if (outcome == REPLY_STALE && ++plan->unanswered >= RETRY_LIMIT) {
        raiseError(ZMD009_TIMEOUT);
        return REPLY_FAILED;
    }
    return outcome;
}

// After a ZCRCW: waits for the ZACK of all sent so far (or a ZRPOS). A lost
// or damaged answer is made good by going on: the next ZDATA tells the
// receiver where the data resumes, and one that lacks some asks for it.
ReplyOutcome awaitAck(ZmodemSession* session, StreamPlan* plan) {
    // The answer to ZCRCW shows nothing of whether ZCRCQ is answered.
    uint32_t answersQueries = session->acksCome;
    ReplyOutcome outcome = REPLY_ACK;
    while (outcome == REPLY_ACK || outcome == REPLY_STALE || outcome == REPLY_REPEAT) {
        outcome = awaitFull(session, plan);
        if (outcome == REPLY_FAILED) return outcome;
        if (outcome == REPLY_ACK && session->ackedPosition == session->filePosition) {
            session->acksCome = answersQueries;
            return outcome;
        }
        if (outcome == REPLY_ACK) answersQueries = 1;
    }
    session->acksCome = answersQueries;
    if (outcome == REPLY_NONE) {
        session->ackedPosition = session->filePosition;
        plan->rateStarted = false;  // taken as arrived, not seen to: no measure of the speed
        // A receiver that has acknowledged nothing, not even this, never
        // will: a window would cost it a time-out each. It gets the stream.
        if (!session->acksSeen && plan->segment == 0) {
            session->acksNever = 1;
            plan->window = 0;
        }
    }
    return outcome;
}

// Streams subpackets, looking for replies after each. Once the receiver has
// asked for a rewind without a window (plan->noisy), each subpacket waits
// for a reply as long as one read time-out: on a line that damages data,
// what is in flight when a ZRPOS comes goes again and is exposed again, so
// the sender keeps little in flight. Returns the next state.
SendState stream(ZmodemSession* session, StreamPlan* plan) {
    while (!errorPending()) {
        int frameEnd = frameEndFor(session, plan);
        ioGatherWrites(session, session->io);
        sendSubpacketEnding(session, frameEnd);
        ioFlushWrites(session, session->io);
        growBlocks(session, plan, session->blockLength);
        ReplyOutcome outcome = REPLY_NONE;
        if (frameEnd == ZCRCW) {
            outcome = awaitAck(session, plan);
        } else if (plan->readWhileSending) {
            // Read what has come; with the window full, wait for a ZACK.
            do {
                bool full = plan->window != 0 && session->filePosition - session->ackedPosition >= plan->window;
                if (full) {
                    // These waits count with those after ZCRCW toward a receiver that is gone.
                    outcome = awaitFull(session, plan);
                    if (outcome == REPLY_FAILED) return STREAM;
                    // A receiver that stops answering ZCRCQ is asked with ZCRCW again.
                    if (outcome == REPLY_NONE) session->acksCome = 0;
                    continue;
                }
                if (plan->noisy && plan->window == 0)
                    awaitReply(session);
                else
                    pollHeader(session);
                outcome = takeReply(session, plan);
                if (outcome == REPLY_REPEAT) {
                    plan->repeatSeen = true;
                    plan->quietReads = 0;
                }
                if (outcome == REPLY_ACK || outcome == REPLY_REWIND) plan->unanswered = 0;
            } while (plan->window != 0 && (outcome == REPLY_ACK || outcome == REPLY_STALE || outcome == REPLY_REPEAT));
        }
        if (outcome == REPLY_REWIND) {
            // All after the offset asked for goes again: what has not left
            // yet need not, and the receiver need not wade through it.
            ioDiscardOutput(session, session->io);
            // What was dropped may end between ZDLE and the byte it escapes:
            // the receiver would take the next header's ZPAD for that byte
            // and miss the header. A ZPAD more stands in for it.
            ioWrite(session, session->io, &PAD_AFTER_DISCARD, 1);
            plan->noisy = true;
            return REPOSITION;
        }
        if (outcome == REPLY_FAILED) return STREAM;
        if (!session->moreData) return SEND_EOF;
        uint32_t want = readBlock(session, plan->segment);
        if (session->blockLength < want) session->moreData = 0;
        // ZCRCW ended the frame: a new ZDATA says where the data goes on.
        if (frameEnd == ZCRCW && !errorPending()) {
            if (session->blockLength == 0) return SEND_EOF;
            sendZdata(session);
        }
    }
    return STREAM;
}

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
    // A run of CAN left there from before is no cancel of this run.
    if (errorPending() && errorIs(ZMD010_REMOTE_CANCEL)) clearError();
    session->cancelRun = 0;
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
            // What the receiver can take, as it states it.
            session->receiverFlags = session->headerData[3];
            session->receiverBuffer = session->headerData[0] | (static_cast<uint32_t>(session->headerData[1]) << 8);
            session->sendCrc32 = (session->receiverFlags & CANFC32) != 0;
            // A ZRINIT that was on the line before may have been taken for
            // the answer to a ZRQINIT: that many answers may still come.
            session->repliesOwed = static_cast<uint32_t>(cycleCount) + 1;
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
        if (headerIs(session, ZFIN) || cancelled()) break;
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
    session->acksSeen = 0;
    session->acksNever = 0;
    session->roundTripSeen = 0;
    session->lineBytesPerSecond = 0;
    runSendSession(session);
    // A receiver that has cancelled is told nothing more.
    if (errorPending() && !errorIs(ZMD010_REMOTE_CANCEL)) sendAbort(session);
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
        bool offer = true;
        uint64_t offeredUs = 0;
        while (!errorPending() && attempts < RETRY_LIMIT && !done) {
            if (offer) {
                sendZfile(session);
                sendFileInfo(session);
                offeredUs = ioClockUs(session, session->io);
                receiveHeader(session);
            } else {
                // After a ZRINIT that answered no offer, the answer to the
                // offer follows it at once when the offer was seen: a short
                // wait for it. Nothing in that time: the ZRINIT asked for the
                // offer again.
                receiveHeaderWithin(session, REPEAT_WAIT_READS);
                offer = true;
                if (errorPending() && errorIs(ZMD009_TIMEOUT)) {
                    clearError();
                    attempts++;
                    continue;
                }
            }
            if (!errorPending() && session->headerType == ZRINIT && session->repliesOwed > 0) {
                // An answer to a ZRQINIT, or a repeat, not to the offer: the
                // answer to the offer is still to come.
                session->repliesOwed--;
                offer = false;
            } else if (errorPending()) {
                // A time-out or a damaged reply: offer the file again.
                if (inviteMayRetry()) reportError();
                attempts++;
            } else if (session->headerType == ZRPOS) {
                session->repliesOwed = 0;
                noteRoundTrip(session, ioClockUs(session, session->io) - offeredUs);
                uint32_t offset = headerOffset(session);
                ioSeekFile(session, session->io, offset);
                session->filePosition = offset;
                if (!errorPending()) sendFileData(session);
                done = true;
            } else if (session->headerType == ZSKIP) {
                session->repliesOwed = 0;
                ioNoteSkipped(session, session->io);
                done = true;
            } else {
                // ZRINIT, ZNAK for a damaged offer, or anything else: every
                // reply that does not take the file counts, so that no peer
                // can keep the offer going for ever.
                attempts++;
            }
        }
        // A cancelled transfer closes its file and ends.
        if (cancelled()) ioCloseFile(session, session->io);
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
    StreamPlan plan;
    session->ackedPosition = session->filePosition;
    planStream(session, &plan);
    while (!errorPending() && !done) {
        switch (state) {
            case READ_BLOCK:
                readBlock(session, plan.segment);
                if (errorPending()) break;
                if (session->blockLength > 0) {
                    sendZdata(session);
                    state = STREAM;
                } else {
                    state = SEND_EOF;
                }
                break;
            case STREAM:
                state = stream(session, &plan);
                break;
            case REPOSITION: {
                uint32_t offset = plan.target;
                uint32_t inFlight = offset < session->filePosition ? session->filePosition - offset : 0;
                if (offset <= session->filePosition) session->moreData = 1;
                // The receiver has all before the offset it asks for.
                session->ackedPosition = offset;
                shrinkBlocks(session, &plan);
                plan.nextQuery = offset + plan.window / WINDOW_QUERIES;
                // Repeats come until what was in flight has arrived, and the
                // first ZACK of the new data once its first query has.
                uint32_t firstQuery = plan.window / WINDOW_QUERIES > session->blockSize ? plan.window / WINDOW_QUERIES : session->blockSize;
                uint64_t drainUs = lineTimeUs(session, static_cast<uint64_t>(inFlight) + firstQuery);
                plan.repeatUntilUs = drainUs != 0 ? ioClockUs(session, session->io) + drainUs : 0;
                plan.rewound = true;
                plan.rewoundTo = offset;
                plan.confirmed = false;
                plan.repeatSeen = false;
                plan.quietReads = 0;
                plan.rateStarted = false;
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
                    // A receiver that sees no answer to it soon may send it
                    // again, across the next offer.
                    session->repliesOwed = 1;
                    done = true;
                } else if (headerIs(session, ZRPOS)) {
                    plan.target = headerOffset(session);
                    state = REPOSITION;
                } else if (headerIs(session, ZACK)) {
                    noteAck(session);  // an answer to a ZCRCQ, still on its way
                } else {
                    failures++;
                    if (failures < RETRY_LIMIT && !cancelled()) clearError();
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
