// A whole sendSession of a small file against a fuzzed receiver. The input
// is the receiver's side of the conversation, cut into chunks by "~~~~"; the
// peer hands out one chunk each time the engine has said something and then
// finds the line empty. Once the chunks are used up the line stays silent
// and the session ends by its time-outs, which the virtual clock makes free.
//
// Beyond the sanitizers, every data subpacket the engine sends must carry a
// good CRC and the file's own bytes at the offset its ZDATA header names.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <string>

#include "fuzz/fuzz_support.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/wire.h"
#include "adapter/messages.h"
#include "zmodem/sender.h"

namespace {

const char FILE_NAME[] = "sent.bin";
// Three blocks and a bit, with every byte value that is sent escaped.
constexpr size_t FILE_LENGTH = 3 * BLOCK_SIZE + 300;

// Reads one session may take: each time-out costs up to 201 reads and each
// input byte at most one; far more than that means the session no longer ends.
constexpr uint64_t READ_ALLOWANCE = 200000;

Bytes& fileContent() {
    static Bytes content;
    return content;
}

void makeFile() {
    Bytes& content = fileContent();
    uint32_t seed = 12345;
    for (size_t i = 0; i < FILE_LENGTH; i++) {
        seed = seed * 1103515245u + 12345u;
        content.push_back(static_cast<uint8_t>(seed >> 16));
    }
    const uint8_t escapable[] = {0x18, 0x10, 0x11, 0x13, 0x7F, 0x98, 0x90, 0x91, 0x93, 0xFF};
    for (size_t i = 0; i < sizeof escapable; i++) content[i * 97] = escapable[i];
    FILE* f = fopen(FILE_NAME, "wb");
    if (f == nullptr || fwrite(content.data(), 1, content.size(), f) != content.size() || fclose(f) != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceStdout();
    fuzz::Sandbox::instance();
    makeFile();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ZmodemSession session;
    fuzz::startSession(session);
    ioSetFileList(&session.ioState, FILE_NAME);
    fuzz::ChunkedPeer peer(data, size);
    MemoryLine& line = memoryLine();
    peer.attach(line);

    sendSession(&session);

    FUZZ_CHECK(line.reads <= READ_ALLOWANCE + size);
    if (errorPending())
        FUZZ_CHECK(fuzz::errorIsOneOf({ZMD004_CRC16_ERROR, ZMD006_CRC32_ERROR, ZMD008_BAD_HEX, ZMD009_TIMEOUT,
                                       ZMD010_REMOTE_CANCEL, FIL004_READ_FAILED, FIL005_SEEK_FAILED}));
    if (fuzz::tracing()) {
        std::set<std::string> sent;
        for (const SeenHeader& header : headersIn(line.output))
            sent.insert(std::to_string(header.type) + "@" + std::to_string(header.data));
        fuzz::traceRun("send", sent);
    }

    // The data the engine sent, as a receiver decodes it. A ZDATA header is
    // followed by subpackets up to the next header (a rewind can cut a run
    // of ZCRCG subpackets short), so each run is read only up to there.
    const Bytes& content = fileContent();
    const std::vector<SeenHeader> headers = headersIn(line.output);
    for (size_t h = 0; h < headers.size(); h++) {
        const SeenHeader& header = headers[h];
        if (header.type != ZDATA) continue;
        // CRC-32 frames for a receiver that offered them, CRC-16 otherwise.
        FUZZ_CHECK(header.format == 'A' || header.format == 'C');
        const size_t stop = h + 1 < headers.size() ? headers[h + 1].end : line.output.size();
        const Bytes run(line.output.begin() + static_cast<ptrdiff_t>(header.end),
                        line.output.begin() + static_cast<ptrdiff_t>(stop));
        size_t offset = header.data;
        for (const SeenSubpacket& sub : subpacketsAt(run, 0, header.format == 'C')) {
            FUZZ_CHECK(sub.crcGood);
            FUZZ_CHECK(sub.data.size() <= BLOCK_SIZE);
            FUZZ_CHECK(offset <= content.size() && sub.data.size() <= content.size() - offset);
            FUZZ_CHECK(std::equal(sub.data.begin(), sub.data.end(), content.begin() + static_cast<ptrdiff_t>(offset)));
            offset += sub.data.size();
        }
    }

    fuzz::endSession(session);
    return 0;
}
