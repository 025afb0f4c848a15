// The receiving side driven through the in-memory line by a scripted sender.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "adapter/file_io.h"
#include "driver/lifecycle.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/session_fixture.h"
#include "adapter/messages.h"
#include "zmodem/receiver.h"

namespace fs = std::filesystem;

namespace {

const Bytes OO = bytesOf("OO");



Bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes offer16(const std::string& name) {
    return concat({bin16Header(ZFILE, flags(ZCBIN)), subpacket16(fileInfo(name, "0 0 0 0"), ZCRCW)});
}
Bytes offer32(const std::string& name) {
    return concat({bin32Header(ZFILE, flags(ZCBIN)), subpacket32(fileInfo(name, "0 0 0 0"), ZCRCW)});
}
// A subpacket whose first data byte (a plain one) was changed after the CRC was taken.
Bytes damaged(Bytes subpacket) {
    subpacket[0] ^= 0x01;
    return subpacket;
}
Bytes damaged16(const Bytes& data, uint8_t frameEnd) { return damaged(subpacket16(data, frameEnd)); }
// A hex header with a byte that is no lowercase hex digit.
Bytes badHexHeader(uint8_t type) {
    Bytes out = hexHeader(type, 0);
    out[5] = 'G';
    return out;
}

size_t countType(const Bytes& output, uint8_t type) {
    std::vector<uint8_t> types = typesIn(output);
    return static_cast<size_t>(std::count(types.begin(), types.end(), type));
}

class ReceiverTest : public FileSessionTest {
protected:
    void SetUp() override {
        FileSessionTest::SetUp();
        fs::create_directories("a");
    }
    // A fresh line, error slot, session and working directory, for table rows.
    void fresh() {
        ioReleaseFile(&session.ioState);
        resetMemoryLine();
        errorSlot = ErrorSlot{};
        initTestSession(session, storage);
        for (const auto& entry : fs::directory_iterator(".")) fs::remove_all(entry.path());
        fs::create_directory("a");
    }
    // Runs the receiver with the script; returns what it printed.
    std::string run(ScriptedPeer& peer) {
        peer.attach(line());
        testing::internal::CaptureStdout();
        receiveSession(&session);
        return testing::internal::GetCapturedStdout();
    }
    std::vector<uint8_t> types() { return typesIn(written()); }

};

TEST_F(ReceiverTest, WholeBatchWithBothCrcsIsWrittenByteForByte) {
    Bytes first = pattern(1500, 1);
    Bytes second = pattern(2100, 2);
    for (int escapable : {0x18, 0x11, 0x13, 0x10, 0x7F, 0xFF, 0x91, 0x93, 0x98, 0x90})
        first.push_back(static_cast<uint8_t>(escapable));
    ScriptedPeer peer;
    peer.on(ZRINIT, offer16("one.bin"))
        .on(ZRPOS, concat({bin16Header(ZDATA, 0), subpacket16(slice(first, 0, 1024), ZCRCG),
                           subpacket16(slice(first, 1024, first.size()), ZCRCE),
                           hexHeader(ZEOF, static_cast<uint32_t>(first.size()))}))
        .on(ZRINIT, offer32("two.bin"))
        .on(ZRPOS, concat({bin32Header(ZDATA, 0), subpacket32(slice(second, 0, 1024), ZCRCG),
                           subpacket32(slice(second, 1024, 2048), ZCRCG),
                           subpacket32(slice(second, 2048, 2100), ZCRCE), bin32Header(ZEOF, 2100)}))
        .on(ZRINIT, hexHeader(ZFIN, 0))
        .on(ZFIN, OO);
    std::string out = run(peer);

    EXPECT_FALSE(errorPending()) << errorText();
    EXPECT_EQ(readFile("one.bin"), first);
    EXPECT_EQ(readFile("two.bin"), second);
    EXPECT_EQ(types(), (std::vector<uint8_t>{ZRINIT, ZRPOS, ZRINIT, ZRPOS, ZRINIT, ZFIN}));
    for (const SeenHeader& h : headersIn(written())) {
        EXPECT_EQ(h.format, 'B');
        EXPECT_EQ(h.data, h.type == ZRINIT ? flags(ZRINIT_FLAGS) : 0u);
    }
    EXPECT_TRUE(line().input.empty());
    EXPECT_EQ(line().emptyReads, 1u);  // the opening purge; no file waits for a quiet line before its ZRPOS
    EXPECT_EQ(countOf(out, "closing file\n"), 2u);
    EXPECT_EQ(peer.remaining(), 0u);
}

TEST_F(ReceiverTest, ZfinRightAfterZrinitEndsCleanlyWhateverTheLastBytes) {
    for (const std::string closing : {"OO", "xy", ""}) {
        SCOPED_TRACE("closing bytes: \"" + closing + "\"");
        fresh();
        ScriptedPeer peer;
        peer.on(ZRINIT, hexHeader(ZFIN, 0)).on(ZFIN, bytesOf(closing));
        run(peer);
        EXPECT_FALSE(errorPending()) << errorText();
        EXPECT_EQ(types(), (std::vector<uint8_t>{ZRINIT, ZFIN}));
        EXPECT_FALSE(endsWithAbort(written()));
        EXPECT_TRUE(line().input.empty());
        // The opening purge waits for quiet once; a silent peer costs one
        // read time-out more.
        EXPECT_EQ(line().emptyReads, closing.empty() ? 2u : 1u);
    }
}

TEST_F(ReceiverTest, EleventhZrqinitIsNotAccepted) {
    ScriptedPeer peer;
    peer.on(ZRINIT, hexHeader(ZRQINIT, 0), 11);
    run(peer);
    ASSERT_TRUE(errorPending());
    EXPECT_TRUE(errorIs(ZMD001_ZRINIT_NOT_ACCEPTED));
    EXPECT_EQ(types(), std::vector<uint8_t>(11, ZRINIT));
}

TEST_F(ReceiverTest, EmptyFileIsCreatedAndClosedWithoutData) {
    std::ofstream("empty.bin") << "old contents";
    ScriptedPeer peer;
    peer.on(ZRINIT, offer16("empty.bin"))
        .on(ZRPOS, hexHeader(ZEOF, 0))
        .on(ZRINIT, hexHeader(ZFIN, 0))
        .on(ZFIN, OO);
    std::string out = run(peer);
    EXPECT_FALSE(errorPending()) << errorText();
    EXPECT_TRUE(fs::exists("empty.bin"));
    EXPECT_EQ(fs::file_size("empty.bin"), 0u);
    EXPECT_EQ(types(), (std::vector<uint8_t>{ZRINIT, ZRPOS, ZRINIT, ZFIN}));
    EXPECT_EQ(out, "opening file empty.bin\nclosing file\n");
}

// The ZRINIT after a file, or the sender's answer to it, lost on the line.
TEST_F(ReceiverTest, LostAnswerToTheZrinitAfterAFileIsAskedForAgainWithinSeconds) {
    ScriptedPeer peer;
    peer.on(ZRINIT, offer16("empty.bin"))
        .on(ZRPOS, hexHeader(ZEOF, 0))
        .on(ZRINIT, Bytes{})
        .on(ZRINIT, hexHeader(ZFIN, 0))
        .on(ZFIN, OO);
    std::string out = run(peer);
    EXPECT_FALSE(errorPending()) << errorText();
    EXPECT_EQ(types(), (std::vector<uint8_t>{ZRINIT, ZRPOS, ZRINIT, ZRINIT, ZFIN}));
    EXPECT_EQ(countOf(out, "ZMD009"), 1u);
    EXPECT_LT(line().clockMs, 4000u);
}

TEST_F(ReceiverTest, FileThatCannotBeCreatedIsSkipped) {
    ScriptedPeer peer;
    peer.on(ZRINIT, offer16("no_such_dir/x"))
        .on(ZSKIP, Bytes{})
        .on(ZRINIT, hexHeader(ZFIN, 0))
        .on(ZFIN, OO);
    std::string out = run(peer);
    EXPECT_FALSE(errorPending()) << errorText();
    EXPECT_EQ(types(), (std::vector<uint8_t>{ZRINIT, ZSKIP, ZRINIT, ZFIN}));
    EXPECT_EQ(out, "opening file no_such_dir/x\nfailed to open file no_such_dir/x\n");
    EXPECT_EQ(session.ioState.failedFiles, 1);
}

TEST_F(ReceiverTest, UnsafeNamesAreRefusedAndNothingIsWrittenOutside) {
    struct Case {
        const char* name;
        const char* mustNotExist;  // relative to the working directory
    };
    const Case cases[] = {{"/etc/zmodem_x", "/etc/zmodem_x"}, {"\\x", "\\x"},  {"C:x", "C:x"},
                          {"../x", "../x"},                     {"a/../../x", "../x"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(fs::exists(c.mustNotExist));
        fresh();
        ScriptedPeer peer;
        peer.on(ZRINIT, offer16(c.name))
            .on(ZSKIP, concat({bin16Header(ZDATA, 0), subpacket16(bytesOf("data"), ZCRCE), hexHeader(ZEOF, 4)}))
            .on(ZRINIT, hexHeader(ZFIN, 0))
            .on(ZFIN, OO);
        std::string out = run(peer);
        EXPECT_FALSE(errorPending()) << errorText();
        EXPECT_EQ(countOf(out, std::string("failed to open file ") + c.name + "\n"), 1u) << out;
        EXPECT_EQ(types(), (std::vector<uint8_t>{ZRINIT, ZSKIP, ZRINIT, ZFIN}));
        EXPECT_FALSE(fs::exists(c.mustNotExist));
        std::vector<std::string> entries;
        for (const auto& entry : fs::recursive_directory_iterator(".")) entries.push_back(entry.path().string());
        EXPECT_EQ(entries, std::vector<std::string>{"./a"});
    }
}

TEST_F(ReceiverTest, ZeofAtWrongOffsetBeforeDataAsksAgain) {
    ScriptedPeer peer;
    peer.on(ZRINIT, offer16("f.bin"))
        .on(ZRPOS, hexHeader(ZEOF, 7))
        .on(ZRPOS, hexHeader(ZEOF, 0))
        .on(ZRINIT, hexHeader(ZFIN, 0))
        .on(ZFIN, OO);
    std::string out = run(peer);
    EXPECT_FALSE(errorPending()) << errorText();
    EXPECT_EQ(types(), (std::vector<uint8_t>{ZRINIT, ZRPOS, ZRPOS, ZRINIT, ZFIN}));
    EXPECT_EQ(out.find("ZMD"), std::string::npos);
}

// A first ZDATA for another offset than the one asked for must not be
// written at the asked one (the file would be shifted, yet end "complete").
TEST_F(ReceiverTest, FirstZdataAtWrongOffsetIsAnsweredWithZrpos) {
    Bytes data = pattern(300, 9);
    ScriptedPeer peer;
    peer.on(ZRINIT, offer32("f.bin"))
        .on(ZRPOS, concat({bin32Header(ZDATA, 100), subpacket32(slice(data, 100, 300), ZCRCE),
                           hexHeader(ZEOF, 300)}))
        .on(ZRPOS, concat({bin32Header(ZDATA, 0), subpacket32(data, ZCRCE), hexHeader(ZEOF, 300)}))
        .on(ZRINIT, hexHeader(ZFIN, 0))
        .on(ZFIN, OO);
    run(peer);
    EXPECT_FALSE(errorPending()) << errorText();
    EXPECT_EQ(readFile("f.bin"), data);
    std::vector<SeenHeader> seen = headersIn(written());
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen[1].type, ZRPOS);
    EXPECT_EQ(seen[2].type, ZRPOS);
    EXPECT_EQ(seen[2].data, 0u);
}

TEST_F(ReceiverTest, ElevenWrongZeofsBeforeDataEndTheTransfer) {
    ScriptedPeer peer;
    peer.on(ZRINIT, offer16("f.bin")).on(ZRPOS, hexHeader(ZEOF, 7), 11);
    run(peer);
    ASSERT_TRUE(errorPending());
    EXPECT_TRUE(errorIs(ZMD002_ZRPOS_UNANSWERED));
    EXPECT_EQ(countType(written(), ZRPOS), 11u);
}

// A ZEOF beyond the data received means the sender has finished while data
// went missing: the rest is asked for at once, within the retry budget.
TEST_F(ReceiverTest, ZeofAtWrongOffsetDuringDataAsksForTheRest) {
    Bytes data = pattern(100, 3);
    ScriptedPeer peer;
    peer.on(ZRINIT, offer16("f.bin"))
        .on(ZRPOS, concat({bin16Header(ZDATA, 0), subpacket16(slice(data, 0, 50), ZCRCE), hexHeader(ZEOF, 100)}))
        .on(ZRPOS, concat({bin16Header(ZDATA, 50), subpacket16(slice(data, 50, 100), ZCRCE), hexHeader(ZEOF, 100)}))
        .on(ZRINIT, hexHeader(ZFIN, 0))
        .on(ZFIN, OO);
    std::string out = run(peer);
    EXPECT_FALSE(errorPending()) << errorText();
    EXPECT_EQ(out.find("ZMD"), std::string::npos) << out;
    EXPECT_EQ(types(), (std::vector<uint8_t>{ZRINIT, ZRPOS, ZRPOS, ZRINIT, ZFIN}));
    EXPECT_EQ(headersIn(written())[2].data, 50u);
    EXPECT_EQ(readFile("f.bin"), data);

    fresh();
    ScriptedPeer stubborn;
    stubborn.on(ZRINIT, offer16("f.bin"))
        .on(ZRPOS, concat({bin16Header(ZDATA, 0), subpacket16(slice(data, 0, 50), ZCRCE), hexHeader(ZEOF, 100)}))
        .on(ZRPOS, hexHeader(ZEOF, 100), 10);
    run(stubborn);
    ASSERT_TRUE(errorPending());
    EXPECT_TRUE(errorIs(ZMD002_ZRPOS_UNANSWERED));
    EXPECT_EQ(countType(written(), ZRPOS), 11u);
}

// A sender that answers each ZRPOS at once with ZDATA, the rest of the file
// and ZEOF (as one waiting after its ZEOF does), over a line that holds all it
// sends. After a damaged subpacket the purge may leave the old stream's ZEOF on
// the line; answered with another ZRPOS while the reply to the first is
// arriving, each purge would swallow the reply that the one before asked for.
TEST_F(ReceiverTest, DamagedSubpacketIsMendedByOneRewind) {
    struct Case {
        size_t length;
        size_t damagedAt;
        size_t tailMin, tailMax;  // bytes of the stream after the damaged subpacket
    };
    // Purged whole or not, with the ZEOF whole after the purge.
    const Case cases[] = {{10240, 4096, 5120, 6000},
                          {10240, 6144, 3072, 4000},
                          {9100, 6144, PURGE_LIMIT - 100, PURGE_LIMIT},
                          {9200, 6144, PURGE_LIMIT + 40, PURGE_LIMIT + 200}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.length) + " bytes, damaged at " + std::to_string(c.damagedAt));
        fresh();
        Bytes data = pattern(c.length, 11);
        size_t tail = 0;
        auto stream = [&](size_t from, bool damage) {
            Bytes out = bin16Header(ZDATA, static_cast<uint32_t>(from));
            for (size_t at = from; at < data.size(); at += BLOCK_SIZE) {
                size_t end = std::min(at + BLOCK_SIZE, data.size());
                Bytes sub = subpacket16(slice(data, at, end), end < data.size() ? ZCRCG : ZCRCE);
                out = concat({out, damage && at == c.damagedAt ? damaged(sub) : sub});
                if (damage && at == c.damagedAt) tail = out.size();
            }
            out = concat({out, hexHeader(ZEOF, static_cast<uint32_t>(data.size()))});
            if (damage) tail = out.size() - tail;
            return out;
        };
        int answers = 0;
        ScriptedPeer peer;
        peer.always(ZRPOS, [&](uint32_t offset) { return stream(offset, answers++ == 0); })
            .on(ZRINIT, offer16("f.bin"))
            .on(ZRINIT, hexHeader(ZFIN, 0))
            .on(ZFIN, OO);
        std::string out = run(peer);
        EXPECT_GE(tail, c.tailMin);  // the row tests what it says
        EXPECT_LT(tail, c.tailMax);
        EXPECT_FALSE(errorPending()) << errorText();
        EXPECT_EQ(countOf(out, "ZMD004"), 1u) << out;
        EXPECT_EQ(types(), (std::vector<uint8_t>{ZRINIT, ZRPOS, ZRPOS, ZRINIT, ZFIN}));
        ASSERT_GE(headersIn(written()).size(), 3u);
        EXPECT_EQ(headersIn(written())[2].data, c.damagedAt);
        EXPECT_EQ(readFile("f.bin"), data);
    }
}

TEST_F(ReceiverTest, ThreeFullBlocksAndAShortOneEndAt3572) {
    Bytes data = pattern(3572, 4);
    ScriptedPeer peer;
    peer.on(ZRINIT, offer16("f.bin"))
        .on(ZRPOS, concat({bin16Header(ZDATA, 0), subpacket16(slice(data, 0, 1024), ZCRCG),
                           subpacket16(slice(data, 1024, 2048), ZCRCG), subpacket16(slice(data, 2048, 3072), ZCRCG),
                           subpacket16(slice(data, 3072, 3572), ZCRCE), hexHeader(ZEOF, 3572)}))
        .on(ZRINIT, hexHeader(ZFIN, 0))
        .on(ZFIN, OO);
    run(peer);
    EXPECT_FALSE(errorPending()) << errorText();
    EXPECT_EQ(readFile("f.bin"), data);
    EXPECT_EQ(types(), (std::vector<uint8_t>{ZRINIT, ZRPOS, ZRINIT, ZFIN}));
}

// After ZCRCE and ZCRCW a header comes next; ZCRCQ continues the frame with
// the next subpacket. ZCRCW and ZCRCQ are acknowledged with a hex ZACK of the
// offset reached, and a CRC-32 frame stays CRC-32 after the acknowledgement.
TEST_F(ReceiverTest, FrameEndsDecideWhatFollowsAndWhatIsAcknowledged) {
    struct Case {
        uint8_t frameEnd;
        bool continues;
        bool acknowledged;
    };
    for (const Case& c : {Case{ZCRCE, false, false}, Case{ZCRCW, false, true}, Case{ZCRCQ, true, true}}) {
        for (bool crc32 : {false, true}) {
            SCOPED_TRACE(std::string(1, static_cast<char>(c.frameEnd)) + (crc32 ? " crc32" : " crc16"));
            fresh();
            Bytes data = pattern(500, c.frameEnd);
            auto header = crc32 ? bin32Header : bin16Header;
            auto subpacket = crc32 ? subpacket32 : subpacket16;
            Bytes rest = c.continues ? Bytes{} : header(ZDATA, 300);
            ScriptedPeer peer;
            peer.on(ZRINIT, offer16("f.bin"))
                .on(ZRPOS, concat({header(ZDATA, 0), subpacket(slice(data, 0, 300), c.frameEnd), rest,
                                   subpacket(slice(data, 300, 500), ZCRCE), hexHeader(ZEOF, 500)}))
                .on(ZRINIT, hexHeader(ZFIN, 0))
                .on(ZFIN, OO);
            run(peer);
            EXPECT_FALSE(errorPending()) << errorText();
            EXPECT_EQ(readFile("f.bin"), data);
            std::vector<uint8_t> expected{ZRINIT, ZRPOS, ZRINIT, ZFIN};
            if (c.acknowledged) expected.insert(expected.begin() + 2, ZACK);
            EXPECT_EQ(types(), expected);
            if (c.acknowledged) {
                std::vector<SeenHeader> seen = headersIn(memoryLine().output);
                ASSERT_EQ(seen.size(), expected.size());
                EXPECT_EQ(seen[2].format, 'B');
                EXPECT_EQ(seen[2].data, 300u);
            }
        }
    }
}

// A sender may open with ZSINIT (a hex header, its XON, and a subpacket holding
// its attention string) and waits for a ZACK before it offers files.
TEST_F(ReceiverTest, SenderInitIsAcknowledgedBeforeTheOffer) {
    Bytes data = pattern(100, 7);
    ScriptedPeer peer;
    peer.on(ZRINIT, concat({hexHeader(ZSINIT, flags(0x40)), subpacket16(Bytes{0}, ZCRCW), {0x11}}))
        .on(ZACK, offer16("f.bin"))
        .on(ZRPOS, concat({bin16Header(ZDATA, 0), subpacket16(data, ZCRCE), hexHeader(ZEOF, 100)}))
        .on(ZRINIT, hexHeader(ZFIN, 0))
        .on(ZFIN, OO);
    std::string out = run(peer);
    EXPECT_FALSE(errorPending()) << errorText();
    EXPECT_EQ(out.find("ZMD"), std::string::npos) << out;
    EXPECT_EQ(readFile("f.bin"), data);
    EXPECT_EQ(types(), (std::vector<uint8_t>{ZRINIT, ZACK, ZRPOS, ZRINIT, ZFIN}));
}

// The sender's abort sequence (CAN x8, backspace x10, as sz sends it) ends
// the transfer at once wherever it comes: ZMD010, nothing more on the line,
// the partial file kept.
TEST_F(ReceiverTest, AbortSequenceEndsTheTransferInEveryState) {
    const Bytes abort = concat({Bytes(8, 0x18), Bytes(10, 0x08)});
    Bytes data = pattern(3000, 21);
    Bytes first = concat({bin32Header(ZDATA, 0), subpacket32(slice(data, 0, 1024), ZCRCG)});
    struct Case {
        const char* state;
        Bytes reply;  // the answer to the first ZRPOS
        bool fileDone;
        size_t kept;  // bytes in the file afterwards
    };
    const Case cases[] = {
        {"inside a subpacket", concat({first, escaped(slice(data, 1024, 1500)), abort}), false, 1024},
        {"inside an escape pair", concat({first, escaped(slice(data, 1024, 1100)), Bytes{0x18}, abort}), false, 1024},
        {"inside a header", concat({first, subpacket32(slice(data, 1024, 2048), ZCRCE),
                                    slice(bin32Header(ZDATA, 2048), 0, 6), abort}), false, 2048},
        {"between files", concat({first, subpacket32(slice(data, 1024, 3000), ZCRCE), hexHeader(ZEOF, 3000)}), true,
         3000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.state);
        fresh();
        ScriptedPeer peer;
        peer.on(ZRINIT, offer32("f.bin")).on(ZRPOS, c.reply).on(ZRINIT, abort);
        std::string out = run(peer);
        ASSERT_TRUE(errorPending());
        EXPECT_EQ(errorText(), ZMD010_REMOTE_CANCEL);
        std::vector<uint8_t> expected{ZRINIT, ZRPOS};
        if (c.fileDone) expected.push_back(ZRINIT);
        EXPECT_EQ(types(), expected);
        EXPECT_FALSE(endsWithAbort(written()));
        EXPECT_EQ(headersIn(written()).back().end + 3, written().size());  // its CR LF XON, then nothing
        EXPECT_LT(line().clockMs, 1000u);
        ioReleaseFile(&session.ioState);
        EXPECT_EQ(readFile("f.bin"), slice(data, 0, c.kept));
    }
}

// A ZRPOS damaged on its way: the sender answers with a ZNAK, or goes on
// with data for another offset and waits for its ZCRCW to be answered. Either
// shows that the request was lost, and it is sent again at once, with no
// time-out. A sender that goes quiet instead, as one with a full window
// does, shows it too.
TEST_F(ReceiverTest, LostZrposIsAskedAgainAsSoonAsTheStreamShowsIt) {
    Bytes data = pattern(3072, 22);
    const struct {
        const char* answer;
        Bytes reply;
    } cases[] = {
        {"ZNAK", hexHeader(ZNAK, 2048)},
        {"data beyond", concat({bin32Header(ZDATA, 2048), subpacket32(slice(data, 2048, 3072), ZCRCW)})},
        {"data before", concat({bin32Header(ZDATA, 0), subpacket32(slice(data, 0, 1024), ZCRCW)})},
        {"nothing (a sender waiting for its window's ZACKs)", Bytes{}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        fresh();
        ScriptedPeer peer;
        peer.on(ZRINIT, offer32("f.bin"))
            .on(ZRPOS, concat({bin32Header(ZDATA, 0), subpacket32(slice(data, 0, 1024), ZCRCG),
                               damaged(subpacket32(slice(data, 1024, 2048), ZCRCW))}))
            .on(ZRPOS, c.reply)
            .on(ZRPOS, concat({bin32Header(ZDATA, 1024), subpacket32(slice(data, 1024, 3072), ZCRCE),
                               hexHeader(ZEOF, 3072)}))
            .on(ZRINIT, hexHeader(ZFIN, 0))
            .on(ZFIN, OO);
        std::string out = run(peer);
        EXPECT_FALSE(errorPending()) << errorText();
        EXPECT_EQ(countOf(out, "ZMD009"), c.reply.empty() ? 1u : 0u) << out;
        EXPECT_EQ(types(), (std::vector<uint8_t>{ZRINIT, ZRPOS, ZRPOS, ZRPOS, ZRINIT, ZFIN}));
        EXPECT_EQ(headersIn(written())[3].data, 1024u);
        EXPECT_LT(line().clockMs, c.reply.empty() ? 4000u : 2000u);
        EXPECT_EQ(readFile("f.bin"), data);
    }
}

// A sender quiet for 30 s after the request, busy or held up on its line:
// only the first wait is short, and the transfer goes through.
TEST_F(ReceiverTest, SenderQuietLongAfterAZrposIsWaitedFor) {
    Bytes data = pattern(1024, 5);
    ScriptedPeer peer;
    peer.on(ZRINIT, offer16("f.bin")).on(ZRPOS, concat({bin16Header(ZDATA, 0), damaged16(data, ZCRCE)}));
    peer.attach(line());
    auto script = line().peer;
    uint64_t quietFrom = 0;
    line().peer = [&](MemoryLine& l) {
        if (peer.remaining() > 0 || quietFrom == 0) {
            script(l);
            if (peer.remaining() == 0 && quietFrom == 0) quietFrom = l.clockMs;
        } else if (l.clockMs >= quietFrom + 30000 && countType(l.output, ZRINIT) == 1) {
            quietFrom = UINT64_MAX - 30000;
            feed(l, concat({bin16Header(ZDATA, 0), subpacket16(data, ZCRCE), hexHeader(ZEOF, 1024), hexHeader(ZFIN, 0),
                            OO}));
        }
    };
    testing::internal::CaptureStdout();
    receiveSession(&session);
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(errorPending()) << errorText();
    EXPECT_LE(countType(written(), ZRPOS), 4u);
    EXPECT_EQ(readFile("f.bin"), data);
}

TEST_F(ReceiverTest, EleventhDataFailureInARowEndsTheTransfer) {
    Bytes data(100, 'a');
    ScriptedPeer peer;
    peer.on(ZRINIT, offer16("f.bin")).on(ZRPOS, concat({bin16Header(ZDATA, 0), damaged16(data, ZCRCG)}), 20);
    std::string out = run(peer);
    ASSERT_TRUE(errorPending());
    EXPECT_TRUE(errorIs(ZMD004_CRC16_ERROR));
    EXPECT_EQ(countOf(out, "ZMD004"), 10u);
    EXPECT_EQ(countType(written(), ZRPOS), 11u);
    EXPECT_EQ(fs::file_size("f.bin"), 0u);
    EXPECT_TRUE(endsWithAbort(written()));  // the sender is told not to wait on
}

TEST_F(ReceiverTest, GoodSubpacketStartsTheFailureCountAgain) {
    Bytes data(100, 'a');
    ScriptedPeer peer;
    peer.on(ZRINIT, offer16("f.bin"))
        .on(ZRPOS, concat({bin16Header(ZDATA, 0), damaged16(data, ZCRCG)}), 5)
        .on(ZRPOS, concat({bin16Header(ZDATA, 0), subpacket16(data, ZCRCG), damaged16(data, ZCRCG)}))
        .on(ZRPOS, concat({bin16Header(ZDATA, 100), damaged16(data, ZCRCG)}), 20);
    std::string out = run(peer);
    ASSERT_TRUE(errorPending());
    EXPECT_TRUE(errorIs(ZMD004_CRC16_ERROR));
    // 5 failures, a good subpacket, then 11 more: the last one ends the transfer.
    EXPECT_EQ(countOf(out, "ZMD004"), 15u);
    std::vector<SeenHeader> headers = headersIn(written());
    ASSERT_EQ(countType(written(), ZRPOS), 16u);
    EXPECT_EQ(headers.back().type, ZRPOS);
    EXPECT_EQ(headers.back().data, 100u);
    ioReleaseFile(&session.ioState);
    EXPECT_EQ(readFile("f.bin"), data);
}

// A hex digit damaged on the line is retried like a CRC error, in every phase.
TEST_F(ReceiverTest, BadHexDigitIsRetriedInEveryPhase) {
    struct Case {
        const char* phase;
        bool afterZrpos;  // the bad header answers ZRPOS (else ZRINIT)
        Bytes prefix;     // good input before the bad header
        uint32_t length;  // of the file
    };
    const Case cases[] = {
        {"answer to ZRINIT", false, {}, 0},
        {"answer to ZRPOS", true, {}, 0},
        {"during data", true, concat({bin16Header(ZDATA, 0), subpacket16(bytesOf("abc"), ZCRCE)}), 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.phase);
        fresh();
        ScriptedPeer peer;
        if (c.afterZrpos)
            peer.on(ZRINIT, offer16("f.bin"))
                .on(ZRPOS, concat({c.prefix, badHexHeader(ZEOF)}))
                .on(ZRPOS, hexHeader(ZEOF, c.length));
        else
            peer.on(ZRINIT, badHexHeader(ZFILE));
        peer.on(ZRINIT, hexHeader(ZFIN, 0)).on(ZFIN, OO);
        std::string out = run(peer);
        EXPECT_FALSE(errorPending()) << errorText();
        EXPECT_EQ(countOf(out, "ZMD008 Bad hex character 47 received\n"), 1u);
        if (c.afterZrpos) {
            EXPECT_EQ(types(), (std::vector<uint8_t>{ZRINIT, ZRPOS, ZRPOS, ZRINIT, ZFIN}));
            EXPECT_EQ(readFile("f.bin").size(), c.length);
        } else {
            EXPECT_EQ(types(), (std::vector<uint8_t>{ZRINIT, ZRINIT, ZFIN}));
        }
    }
}

TEST_F(ReceiverTest, CrcErrorInFileOfferEndsWithCrc16ButIsRetriedWithCrc32) {
    Bytes info = fileInfo("f.bin", "0 0 0 0");
    Bytes bad16 = concat({bin16Header(ZFILE, 0), damaged16(info, ZCRCW)});
    Bytes bad32 = concat({bin32Header(ZFILE, 0), damaged(subpacket32(info, ZCRCW))});
    {
        ScriptedPeer peer;
        peer.on(ZRINIT, bad16).on(ZRINIT, hexHeader(ZFIN, 0)).on(ZFIN, OO);
        run(peer);
        ASSERT_TRUE(errorPending());
        EXPECT_TRUE(errorIs(ZMD004_CRC16_ERROR));
        EXPECT_EQ(types(), std::vector<uint8_t>{ZRINIT});
    }
    fresh();
    ScriptedPeer peer;
    peer.on(ZRINIT, bad32).on(ZRINIT, hexHeader(ZFIN, 0)).on(ZFIN, OO);
    std::string out = run(peer);
    EXPECT_FALSE(errorPending()) << errorText();
    EXPECT_EQ(countOf(out, "ZMD006"), 1u);
    EXPECT_EQ(types(), (std::vector<uint8_t>{ZRINIT, ZRINIT, ZFIN}));
    EXPECT_FALSE(fs::exists("f.bin"));
}

// The sender's management options against a file "f" holding "OLD" dated
// 1000000000 (or none): taken files hold what is expected and the offered
// time; skipped ones are answered with ZSKIP, reported, and are no failure.
TEST_F(ReceiverTest, ManagementOptionsDecideOverAnExistingFile) {
    struct Case {
        const char* what;
        uint8_t zf0, zf1;
        bool exists;
        std::string data;
        uint32_t time;
        const char* result;  // null: no file
        uint32_t from;       // the ZRPOS offset; skipped when above the data's length
    };
    const Case cases[] = {
        {"append", ZCBIN, ZMAPND, true, "NEWDATA", 1000000005, "OLDNEWDATA", 0},
        {"newer, offer older", ZCBIN, ZMNEW, true, "NEWDATA", 999999999, "OLD", 99},
        {"newer, offer newer", ZCBIN, ZMNEW, true, "NEWDATA", 1000000001, "NEWDATA", 0},
        {"newer or longer, other length", ZCBIN, ZMNEWL, true, "NEWDATA", 999999999, "NEWDATA", 0},
        {"newer or longer, same length", ZCBIN, ZMNEWL, true, "NEW", 999999999, "OLD", 99},
        {"only existing, none here", ZCBIN, ZMSKNOLOC | ZMCLOB, false, "NEWDATA", 1000000005, nullptr, 99},
        {"resume, longer offer", ZCRESUM, 0, true, "NEWDATA", 1000000005, "OLDDATA", 3},
        {"resume, same length", ZCRESUM, 0, true, "NEW", 1000000005, "OLD", 99},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fresh();
        if (c.exists) {
            std::ofstream("f", std::ios::binary) << "OLD";
            struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
            ASSERT_EQ(utimensat(AT_FDCWD, "f", times, 0), 0);
        }
        char info[64];
        snprintf(info, sizeof info, "%zu %o 100644 0", c.data.size(), c.time);
        Bytes data = bytesOf(c.data);
        ScriptedPeer peer;
        peer.on(ZRINIT, concat({bin16Header(ZFILE, static_cast<uint32_t>(c.zf0) << 24 | static_cast<uint32_t>(c.zf1) << 16),
                                subpacket16(fileInfo("f", info), ZCRCW)}))
            .always(ZRPOS, [&](uint32_t at) {
                return concat({bin16Header(ZDATA, at), subpacket16(slice(data, at, data.size()), ZCRCE),
                               hexHeader(ZEOF, static_cast<uint32_t>(data.size()))});
            })
            .on(ZRINIT, hexHeader(ZFIN, 0))
            .on(ZFIN, OO);
        std::string out = run(peer);
        EXPECT_FALSE(errorPending()) << errorText();
        EXPECT_EQ(session.ioState.failedFiles, 0);
        bool skipped = c.from > c.data.size();
        EXPECT_EQ(countType(written(), ZSKIP), skipped ? 1u : 0u);
        EXPECT_EQ(countOf(out, "file f was skipped as the sender asked\n"), skipped ? 1u : 0u);
        for (const SeenHeader& h : headersIn(written()))
            EXPECT_TRUE(h.type != ZRPOS || h.data == c.from) << h.data;
        EXPECT_EQ(fs::exists("f"), c.result != nullptr);
        if (c.result == nullptr) continue;
        EXPECT_EQ(readFile("f"), bytesOf(c.result));
        struct stat info2;
        ASSERT_EQ(stat("f", &info2), 0);
        EXPECT_EQ(info2.st_mtime, skipped ? 1000000000 : c.time);
    }
}

TEST_F(ReceiverTest, WriteFailureLatchesFil001AndSessionDestroyClosesTheFile) {
    // A file that may not grow beyond 4 KiB: the writes past that fail.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 4096;
    signal(SIGXFSZ, SIG_IGN);
    Bytes data = pattern(16 * 1024, 5);
    Bytes stream = bin16Header(ZDATA, 0);
    for (size_t at = 0; at < data.size(); at += 1024)
        stream = concat({stream, subpacket16(slice(data, at, at + 1024), at + 1024 < data.size() ? ZCRCG : ZCRCE)});
    ScriptedPeer peer;
    peer.on(ZRINIT, offer16("full"))
        .on(ZRPOS, concat({stream, hexHeader(ZEOF, static_cast<uint32_t>(data.size()))}))
        .on(ZRINIT, hexHeader(ZFIN, 0))
        .on(ZFIN, OO);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    run(peer);
    setrlimit(RLIMIT_FSIZE, &saved);
    ASSERT_TRUE(errorPending());
    EXPECT_TRUE(errorIs(FIL001_WRITE_FAILED));
    EXPECT_EQ(errorText(), "FIL001 Error writing file full\n");
    EXPECT_EQ(types(), (std::vector<uint8_t>{ZRINIT, ZRPOS}));
    ASSERT_NE(session.ioState.file, nullptr);
    session.buffer = nullptr;  // the fixture owns the buffer
    sessionDestroy(&session);
    EXPECT_EQ(session.ioState.file, nullptr);
    EXPECT_EQ(line().closes, 1);
}

}  // namespace
