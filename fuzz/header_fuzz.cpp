// receiveHeader on fuzzed bytes. The first byte picks the read mode (bit 0:
// waiting reads with retries, or single attempts); the rest is the line.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "zmodem/header.h"
#include "adapter/messages.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    ZmodemSession session;
    fuzz::startSession(session);
    session.waitForInput = data[0] & 1;
    MemoryLine& line = memoryLine();
    line.input.assign(data + 1, data + size);

    receiveHeader(&session);

    if (errorPending()) {
        // Only these can end a header hunt.
        FUZZ_CHECK(fuzz::errorIsOneOf({ZMD004_CRC16_ERROR, ZMD006_CRC32_ERROR, ZMD008_BAD_HEX, ZMD009_TIMEOUT,
                                       ZMD010_REMOTE_CANCEL}));
        // A time-out means the line ran dry.
        if (errorIs(ZMD009_TIMEOUT)) FUZZ_CHECK(line.input.empty());
    } else {
        FUZZ_CHECK(session.headerDone == 1);
        FUZZ_CHECK(session.frameFormat == FRAME_BIN16 || session.frameFormat == FRAME_HEX ||
                   session.frameFormat == FRAME_BIN32);
    }
    // Every byte is read at most once, and one read takes one byte.
    FUZZ_CHECK(line.input.size() <= size - 1);
    // Single attempts give up at the first empty read.
    if (!session.waitForInput) FUZZ_CHECK(line.emptyReads <= 1);

    fuzz::endSession(session);
    return 0;
}
