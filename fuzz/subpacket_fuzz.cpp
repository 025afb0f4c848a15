// receiveSubpacket and receiveFileInfo on fuzzed bytes, then ioNameIsSafe on
// the name parsed. The first byte chooses:
//   bits 0-1  frame format: CRC-16 binary, hex (read as CRC-16), CRC-32 (twice)
//   bit 2     receiveFileInfo instead of receiveSubpacket
//   bits 3-5  buffer size: the program's 18000 bytes, or a small one so that
//             "subpacket too long" is reached within the input
//   bit 6     waiting reads or single attempts
//   bit 7     moreData before the call
// the next four the filePosition before the call (least significant first);
// the rest is the line.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "adapter/messages.h"
#include "zmodem/subpacket_rx.h"

namespace {

constexpr uint8_t FORMATS[4] = {FRAME_BIN16, FRAME_HEX, FRAME_BIN32, FRAME_BIN32};
constexpr int32_t BUFFER_SIZES[8] = {BUFFER_SIZE, BUFFER_SIZE, 1, 2, 7, 64, 1024, 1100};

bool isFrameEndCode(int32_t c) { return c >= 0 && c < 256 && c != ZRUB0 && c != ZRUB1 && ((c & 0x40) == 0 || (c & 0x20) != 0); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const uint8_t mode = data[0];
    const bool fileInfo = (mode & 0x04) != 0;
    ZmodemSession session;
    fuzz::startSession(session, BUFFER_SIZES[(mode >> 3) & 7]);
    session.frameFormat = FORMATS[mode & 3];
    session.waitForInput = (mode >> 6) & 1;
    session.moreData = (mode >> 7) & 1;
    session.filePosition = static_cast<uint32_t>(data[1]) | static_cast<uint32_t>(data[2]) << 8 |
                           static_cast<uint32_t>(data[3]) << 16 | static_cast<uint32_t>(data[4]) << 24;
    // A name left over from before, without a NUL, so that the parse must end the new one itself.
    memset(session.fileName, 'X', sizeof session.fileName);
    const uint32_t positionBefore = session.filePosition;
    const int32_t moreDataBefore = session.moreData;
    MemoryLine& line = memoryLine();
    line.input.assign(data + 5, data + size);

    if (fileInfo)
        receiveFileInfo(&session);
    else
        receiveSubpacket(&session);

    FUZZ_CHECK(session.bufferCursor >= session.buffer && session.bufferCursor <= session.bufferEnd);
    FUZZ_CHECK(session.bufferEnd == session.buffer + session.bufferSize);
    const size_t received = static_cast<size_t>(session.bufferCursor - session.buffer);
    // ZMD007: the subpacket was good but the file information in it was malformed.
    const bool subpacketFailed = errorPending() && !fuzz::errorCodeIs("ZMD007");
    if (subpacketFailed) {
        FUZZ_CHECK(fuzz::errorIsOneOf(
            {ZMD004_CRC16_ERROR, ZMD005_SUBPACKET_TOO_LONG, ZMD006_CRC32_ERROR, ZMD009_TIMEOUT,
             ZMD010_REMOTE_CANCEL}));
        FUZZ_CHECK(session.filePosition == positionBefore);
        FUZZ_CHECK(session.moreData == 0);
        if (errorIs(ZMD009_TIMEOUT)) FUZZ_CHECK(line.input.empty());
        if (errorIs(ZMD005_SUBPACKET_TOO_LONG)) FUZZ_CHECK(received == static_cast<size_t>(session.bufferSize));
    } else {
        // The subpacket was accepted: its data is counted once, and the frame end is a real one.
        FUZZ_CHECK(received < static_cast<size_t>(session.bufferSize));
        FUZZ_CHECK(session.filePosition == positionBefore + static_cast<uint32_t>(received));
        FUZZ_CHECK(isFrameEndCode(session.frameEndCode));
        // ZCRCG and ZCRCQ continue the frame; every other code ends it.
        const bool frameGoesOn = session.frameEndCode == ZCRCG || session.frameEndCode == ZCRCQ;
        FUZZ_CHECK(session.moreData == (frameGoesOn ? moreDataBefore : 0));
    }

    if (fileInfo && !subpacketFailed) {
        // The name ends within the field, holds no NUL, and is the data up to the first NUL, cut to 259.
        const void* nul = memchr(session.fileName, 0, sizeof session.fileName);
        FUZZ_CHECK(nul != nullptr);
        const size_t nameLength = strlen(session.fileName);
        FUZZ_CHECK(nameLength < static_cast<size_t>(FILE_NAME_SIZE));
        FUZZ_CHECK(memcmp(session.fileName, session.buffer, nameLength) == 0);
        FUZZ_CHECK(nameLength == received || nameLength == static_cast<size_t>(FILE_NAME_SIZE - 1) ||
                   session.buffer[nameLength] == 0);
        if (!errorPending()) {
            // Accepted: name, NUL, information, NUL, the latter before offset 1024.
            const uint8_t* info = reinterpret_cast<const uint8_t*>(session.fileInfo);
            FUZZ_CHECK(info > session.buffer && info <= session.bufferCursor);
            FUZZ_CHECK(info[-1] == 0);
            const void* infoEnd = memchr(info, 0, static_cast<size_t>(session.bufferCursor - info));
            FUZZ_CHECK(infoEnd != nullptr);
            FUZZ_CHECK(static_cast<const uint8_t*>(infoEnd) - session.buffer < static_cast<ptrdiff_t>(FILE_INFO_LIMIT));
        }
        // The engine's name check agrees with an independent one.
        FUZZ_CHECK(ioNameIsSafe(session.fileName) == fuzz::nameStaysInside(session.fileName));
    }

    fuzz::endSession(session);
    return 0;
}
