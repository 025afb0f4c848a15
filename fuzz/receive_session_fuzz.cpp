// A whole receiveSession against a fuzzed sender. The input is the sender's
// side of the conversation, cut into chunks by "~~~~"; the peer hands out
// one chunk each time the engine has said something and then finds the line
// empty. Once the chunks are used up the line stays silent and the session
// ends by its time-outs, which the virtual clock makes free.
//
// The process works in a private directory (/tmp/zmodem_fuzz_XXXXXX/outer/work),
// emptied after every run. Every name the engine opens for writing is checked
// before the file is created (the link wraps fopen), and after each run
// nothing may have appeared beside or above the working directory.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "adapter/messages.h"
#include "tests/support/wire.h"
#include "zmodem/receiver.h"

namespace {

bool inSession = false;

// Reads one session may take: each time-out costs 201 reads and each input
// byte at most one; far more than that means the session no longer ends.
constexpr uint64_t READ_ALLOWANCE = 200000;

}  // namespace

extern "C" FILE* __real_fopen(const char* name, const char* mode);

// The engine's fopen. Names opened for writing during a session must stay in
// the working directory; the check runs before anything is created.
extern "C" FILE* __wrap_fopen(const char* name, const char* mode) {
    if (inSession && strpbrk(mode, "wa+") != nullptr) {
        FUZZ_CHECK(fuzz::nameStaysInside(name));
        FUZZ_CHECK(ioNameIsSafe(name));
    }
    return __real_fopen(name, mode);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceStdout();
    fuzz::Sandbox::instance();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::Sandbox& sandbox = fuzz::Sandbox::instance();
    ZmodemSession session;
    fuzz::startSession(session);
    fuzz::ChunkedPeer peer(data, size);
    MemoryLine& line = memoryLine();
    peer.attach(line);

    inSession = true;
    receiveSession(&session);
    inSession = false;

    // The session ended: cleanly after ZFIN, or with a latched error.
    FUZZ_CHECK(line.reads <= READ_ALLOWANCE + size);
    if (errorPending())
        FUZZ_CHECK(fuzz::errorCodeIs("ZMD007") /* malformed file information */ ||
                   fuzz::errorIsOneOf({ZMD001_ZRINIT_NOT_ACCEPTED, ZMD002_ZRPOS_UNANSWERED, ZMD004_CRC16_ERROR,
                                       ZMD005_SUBPACKET_TOO_LONG, ZMD006_CRC32_ERROR, ZMD008_BAD_HEX, ZMD009_TIMEOUT,
                                       ZMD010_REMOTE_CANCEL,
                                       FIL001_WRITE_FAILED, FIL002_CLOSE_FAILED, FIL003_FILE_TOO_LARGE}));
    FUZZ_CHECK(session.bufferCursor >= session.buffer && session.bufferCursor <= session.bufferEnd);
    FUZZ_CHECK(memchr(session.fileName, 0, sizeof session.fileName) != nullptr);
    fuzz::traceRun("receive", fuzz::entriesOf(sandbox.work));
    // Everything the receiver said is a hex header of a type a receiver
    // sends, each followed by CR LF and at most an XON, with nothing between;
    // a session that failed ends with the abort sequence, and only such a one.
    // A peer that cancelled is told nothing more.
    size_t said = line.output.size();
    const bool aborted = errorPending() && !errorIs(ZMD010_REMOTE_CANCEL);
    FUZZ_CHECK(endsWithAbort(line.output) == aborted);
    if (aborted) said -= 20;
    size_t pos = 0;
    for (const SeenHeader& header : headersIn(line.output)) {
        FUZZ_CHECK(header.format == 'B');
        FUZZ_CHECK(header.type == ZRINIT || header.type == ZRPOS || header.type == ZSKIP || header.type == ZACK ||
                   header.type == ZFIN);
        FUZZ_CHECK(header.end == pos + HEX_HEADER_LENGTH - 3);
        pos = header.end;
        FUZZ_CHECK(pos + 2 <= said && line.output[pos] == CR && line.output[pos + 1] == LF);
        pos += 2;
        if (pos < said && line.output[pos] == XON) pos++;
    }
    FUZZ_CHECK(pos == said);
    fuzz::endSession(session);
    FUZZ_CHECK(sandbox.untouchedOutside());
    sandbox.clearWork();
    return 0;
}
