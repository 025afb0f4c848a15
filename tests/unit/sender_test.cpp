// The sending side driven through the in-memory line by a scripted receiver.
#include <gtest/gtest.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "adapter/file_io.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/session_fixture.h"
#include "adapter/messages.h"
#include "zmodem/sender.h"

namespace fs = std::filesystem;

namespace {

const Bytes OO = bytesOf("OO");
const Bytes READY = hexHeader(ZRINIT, flags(ZRINIT_FLAGS));
// Size and CRC-32 of what the sender of before wrote for a 5000-byte file to
// a receiver without CRC-32 and buffer limit.
const size_t GOLDEN_SIZE = 5339;
const uint32_t GOLDEN_CRC = 228353155;

Bytes contents(size_t n) {
    Bytes out(n);
    for (size_t i = 0; i < n; i++) out[i] = static_cast<uint8_t>(i * 7 + i / 256);
    return out;
}

// True when, in every binary frame (a ZBIN header and the subpackets behind
// it), each control character (0x00-0x1F, 0x80-0x9F) is the ZDLE of an
// escape pair; CR, LF and XON trailers of hex headers lie outside them.
bool controlCharactersEscaped(const Bytes& output) {
    for (const SeenHeader& h : headersIn(output)) {
        if (h.format != 'A' && h.format != 'C') continue;
        std::vector<SeenSubpacket> subpackets = subpacketsAt(output, h.end, h.format == 'C');
        size_t end = subpackets.empty() ? h.end : subpackets.back().end;
        for (size_t i = h.start + 3; i < end; i++) {
            if (output[i] == ZDLE) {
                i++;
                if ((output[i] & 0x60) == 0) return false;
            } else if ((output[i] & 0x60) == 0) {
                return false;
            }
        }
    }
    return true;
}

bool endsWithOverAndOut(const Bytes& output) {
    return output.size() >= 2 && output[output.size() - 2] == 'O' && output.back() == 'O';
}

size_t countType(const Bytes& output, uint8_t type) {
    std::vector<uint8_t> types = typesIn(output);
    return static_cast<size_t>(std::count(types.begin(), types.end(), type));
}

std::vector<uint32_t> dataOf(const Bytes& output, uint8_t type) {
    std::vector<uint32_t> data;
    for (const SeenHeader& h : headersIn(output))
        if (h.type == type) data.push_back(h.data);
    return data;
}

// Size and frame end of each subpacket, e.g. "1024i 452h".
std::string shapeOf(const std::vector<SeenSubpacket>& subpackets) {
    std::string shape;
    for (const SeenSubpacket& s : subpackets)
        shape += (shape.empty() ? "" : " ") + std::to_string(s.data.size()) + static_cast<char>(s.frameEnd);
    return shape;
}

Bytes joined(const std::vector<SeenSubpacket>& subpackets) {
    Bytes all;
    for (const SeenSubpacket& s : subpackets) {
        EXPECT_TRUE(s.crcGood);
        all.insert(all.end(), s.data.begin(), s.data.end());
    }
    return all;
}

class SenderTest : public FileSessionTest {
protected:
    void fresh() {
        ioReleaseFile(&session.ioState);
        resetMemoryLine();
        errorSlot = ErrorSlot{};
        initTestSession(session, storage);
    }
    Bytes makeFile(const std::string& name, size_t size) {
        Bytes data = contents(size);
        std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                   static_cast<std::streamsize>(data.size()));
        return data;
    }
    // Sends the named files to the scripted peer (none when null); returns what was printed.
    std::string sendBatch(const char* const* names, int count, ScriptedPeer* peer) {
        if (peer != nullptr) peer->attach(line());
        ioSetFileNames(&session.ioState, names, count);
        testing::internal::CaptureStdout();
        sendSession(&session);
        return testing::internal::GetCapturedStdout();
    }
    std::string send(const std::string& name, ScriptedPeer* peer) {
        const char* names[] = {name.c_str()};
        return sendBatch(names, 1, peer);
    }
    // A receiver that takes the file from offset 0 and closes the batch.
    static ScriptedPeer& acceptAll(ScriptedPeer& peer, const Bytes& ready = READY) {
        return peer.on(ZRQINIT, ready).on(ZFILE, hexHeader(ZRPOS, 0)).on(ZEOF, ready).on(ZFIN, hexHeader(ZFIN, 0));
    }
    // Sends to a receiver that takes the file from 0, answers only ZCRCW, and
    // asks once for a rewind to offset when the predicate holds; each of its
    // replies takes replyMs to come.
    void sendWithOneRewind(std::function<bool(const Bytes&)> when, uint32_t offset, uint64_t replyMs) {
        ScriptedPeer peer;
        peer.on(ZRQINIT, READY)
            .on(ZFILE, hexHeader(ZRPOS, 0))
            .when(when, hexHeader(ZRPOS, offset))
            .on(ZEOF, READY)
            .on(ZFIN, hexHeader(ZFIN, 0))
            .acknowledge(false);
        peer.attach(line());
        auto script = line().peer;
        line().peer = [&](MemoryLine& l) {
            size_t before = l.input.size();
            script(l);
            if (l.input.size() > before) l.clockMs += replyMs;
        };
        send("f.bin", nullptr);
    }

};

TEST_F(SenderTest, BlocksAndFrameEndsFollowTheFileLength) {
    struct Case {
        size_t size;
        const char* shape;  // subpackets after ZDATA; none for an empty file
        uint8_t zf0;        // the receiver's ZRINIT capabilities
    };
    const Case cases[] = {{0, "", ZRINIT_FLAGS},
                          {500, "500i 0h", ZRINIT_FLAGS},
                          {2048, "1024i 1024i 0h", ZRINIT_FLAGS},
                          {2500, "1024i 1024i 452h", ZRINIT_FLAGS},
                          {2500, "1024i 1024i 452h", ZRINIT_FLAGS | ESCCTL},
                          {2500, "1024i 1024i 452h", CANFDX | CANOVIO}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " bytes, ZF0 " + std::to_string(c.zf0));
        fresh();
        Bytes data = makeFile("f.bin", c.size);
        ScriptedPeer peer;
        std::string out = send("f.bin", &acceptAll(peer, hexHeader(ZRINIT, flags(c.zf0))));
        const Bytes& wire = written();
        EXPECT_FALSE(errorPending()) << errorText();
        EXPECT_EQ(line().emptyReads, 0u);  // no wait for a reply that is not coming
        // The data holds every byte value; asked to, the sender escapes them all.
        EXPECT_EQ(controlCharactersEscaped(wire), (c.zf0 & ESCCTL) != 0);
        std::vector<uint8_t> expected = {ZRQINIT, ZFILE, ZDATA, ZEOF, ZFIN};
        if (c.size == 0) expected.erase(expected.begin() + 2);
        EXPECT_EQ(typesIn(wire), expected);
        EXPECT_EQ(std::string(wire.begin(), wire.begin() + 3), "rz\r");
        EXPECT_TRUE(endsWithOverAndOut(wire));

        // CRC-32 frames for a receiver that takes them, CRC-16 for one that does not.
        const bool crc32 = (c.zf0 & CANFC32) != 0;
        for (const SeenHeader& h : headersIn(wire))
            if (h.type == ZFILE || h.type == ZDATA) {
                EXPECT_EQ(h.format, crc32 ? 'C' : 'A');
            }
        std::vector<SeenSubpacket> offer = subpacketsAfter(wire, ZFILE);
        ASSERT_EQ(offer.size(), 1u);
        for (const SeenSubpacket& sub : subpacketsAfter(wire, ZDATA)) EXPECT_EQ(sub.crc32, crc32);
        EXPECT_EQ(offer[0].data, fileInfo("f.bin", offeredInfo("f.bin")));
        EXPECT_EQ(offer[0].frameEnd, ZCRCW);
        EXPECT_TRUE(offer[0].crcGood);

        std::vector<SeenSubpacket> stream = subpacketsAfter(wire, ZDATA);
        EXPECT_EQ(shapeOf(stream), c.shape);
        // Each subpacket, escape pairs and all, goes to the port in one write.
        size_t from = 0, cuts = 0, at = 0;
        for (const SeenHeader& h : headersIn(wire))
            if (h.type == ZDATA) from = h.end;
        for (uint32_t n : line().writeSizes) cuts += (at += n) > from && !stream.empty() && at <= stream.back().end;
        EXPECT_EQ(cuts, stream.size());
        EXPECT_EQ(joined(stream), data);
        EXPECT_EQ(dataOf(wire, ZDATA), c.size > 0 ? std::vector<uint32_t>{0} : std::vector<uint32_t>{});
        EXPECT_EQ(dataOf(wire, ZEOF), std::vector<uint32_t>{static_cast<uint32_t>(c.size)});
        EXPECT_EQ(countOf(out, "closing file\n"), 1u);
        const std::string batchEnd = "closing file\nopening file \nfailed to open file \n";
        EXPECT_EQ(out.substr(out.size() - std::min(out.size(), batchEnd.size())), batchEnd);
    }
}

// A receiver without CRC-32 and without a buffer limit, with no window and a
// clean line, gets exactly the bytes the sender wrote before windows,
// CRC-32 and block lengths that follow the line.
TEST_F(SenderTest, WireIsAsBeforeForAReceiverWithoutCrc32OrLimits) {
    makeFile("f.bin", 5000);
    struct utimbuf fixed = {1000000000, 1000000000};  // the offer carries it
    utime("f.bin", &fixed);
    ScriptedPeer peer;
    send("f.bin", &acceptAll(peer, hexHeader(ZRINIT, flags(CANFDX | CANOVIO))));
    EXPECT_FALSE(errorPending()) << errorText();
    EXPECT_EQ(written().size(), GOLDEN_SIZE);
    EXPECT_EQ(referenceCrc32(written()), GOLDEN_CRC);
}

// A batch goes in order past a name that cannot be sent; each offer counts
// the files and bytes still to come, this one included, the missing one not.
TEST_F(SenderTest, BatchGoesOnPastAMissingNameAndCountsWhatIsLeft) {
    Bytes a = makeFile("a", 100), b = makeFile("b", 200), c = makeFile("c", 300);
    ScriptedPeer peer;
    peer.on(ZRQINIT, READY).always(ZFILE, hexHeader(ZRPOS, 0)).always(ZEOF, READY).on(ZFIN, hexHeader(ZFIN, 0));
    const char* names[] = {"a", "b", "missing", "c"};
    std::string out = sendBatch(names, 4, &peer);
    EXPECT_FALSE(errorPending()) << errorText();
    EXPECT_EQ(session.ioState.failedFiles, 1);
    EXPECT_NE(out.find("failed to open file missing\n"), std::string::npos);
    const std::vector<std::pair<std::string, std::string>> offers = {{"a", " 3 600"}, {"b", " 2 500"}, {"c", " 1 300"}};
    const Bytes sent[] = {a, b, c};
    for (size_t i = 0; i < offers.size(); i++) {
        SCOPED_TRACE(offers[i].first);
        std::vector<SeenSubpacket> offer = subpacketsAfter(written(), ZFILE, i);
        ASSERT_EQ(offer.size(), 1u);
        EXPECT_EQ(offer[0].data, fileInfo(offers[i].first, offeredInfo(offers[i].first) + offers[i].second));
        EXPECT_EQ(joined(subpacketsAfter(written(), ZDATA, i)), sent[i]);
    }
    EXPECT_TRUE(endsWithOverAndOut(written()));
}

// The receiver's ZRPOS comes a few subpackets after the damaged one, as the
// sender streams on: one rewind, and the rest of the file goes once more.
TEST_F(SenderTest, ZrposDuringStreamingRewinds) {
    struct Case {
        size_t size;
        size_t seenBeforeReply;  // subpackets sent when the ZRPOS arrives
        uint32_t offset;
        const char* shape;  // subpackets after the second ZDATA
    };
    const Case cases[] = {{2500, 2, 1024, "1024i 452h"},
                          {10240, 6, 4096, "1024i 1024i 1024i 1024i 1024i 1024i 0h"},
                          {10240, 9, 6144, "1024i 1024i 1024i 1024i 0h"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " bytes, ZRPOS " + std::to_string(c.offset));
        fresh();
        Bytes data = makeFile("f.bin", c.size);
        ScriptedPeer peer;
        peer.on(ZRQINIT, READY)
            .on(ZFILE, hexHeader(ZRPOS, 0))
            .when([&](const Bytes& out) { return subpacketsAfter(out, ZDATA).size() == c.seenBeforeReply; },
                  hexHeader(ZRPOS, c.offset))
            .on(ZEOF, READY)
            .on(ZFIN, hexHeader(ZFIN, 0));
        std::string out = send("f.bin", &peer);
        EXPECT_FALSE(errorPending()) << errorText();
        EXPECT_EQ(peer.remaining(), 0u);
        EXPECT_EQ(countOf(out, "seeking to offset " + std::to_string(c.offset) + "\n"), 1u);
        EXPECT_EQ(dataOf(written(), ZDATA), (std::vector<uint32_t>{0, c.offset}));
        // The reply is acted on at the first look after it arrives.
        std::vector<SeenHeader> zdata;
        for (const SeenHeader& h : headersIn(written()))
            if (h.type == ZDATA) zdata.push_back(h);
        ASSERT_EQ(zdata.size(), 2u);
        Bytes first(written().begin(), written().begin() + static_cast<std::ptrdiff_t>(zdata[1].start));
        EXPECT_EQ(subpacketsAt(first, zdata[0].end, zdata[0].format == 'C').size(), c.seenBeforeReply);
        // What was not sent yet is dropped before the rewind, and from then on
        // each subpacket waits one read time-out for a reply.
        // A ZPAD more after the drop: the bytes dropped may have ended with a ZDLE.
        ASSERT_EQ(line().outputDiscards.size(), 1u);
        size_t dropped = line().outputDiscards[0];
        ASSERT_LE(dropped + 3, written().size());
        auto after = written().begin() + static_cast<std::ptrdiff_t>(dropped);
        EXPECT_EQ(Bytes(after, after + 3), (Bytes{ZPAD, ZPAD, ZDLE}));
        EXPECT_LE(zdata[1].start, dropped + 1);
        std::vector<SeenSubpacket> resumed = subpacketsAfter(written(), ZDATA, 1);
        EXPECT_EQ(shapeOf(resumed), c.shape);
        EXPECT_EQ(joined(resumed), Bytes(data.begin() + c.offset, data.end()));
        EXPECT_EQ(line().emptyReads, resumed.size());
        EXPECT_EQ(dataOf(written(), ZEOF), std::vector<uint32_t>{static_cast<uint32_t>(c.size)});
        EXPECT_TRUE(endsWithOverAndOut(written()));
    }
}

// With a window, the receiver repeats its ZRPOS for frames still on the line
// from before the rewind: the rewind is made once.
TEST_F(SenderTest, ZrposRepeatedBeforeTheNewDataArrivesRewindsOnce) {
    session.window = 4096;
    const Bytes data = makeFile("f.bin", 10240);
    ScriptedPeer peer;
    peer.on(ZRQINIT, READY)
        .on(ZFILE, hexHeader(ZRPOS, 0))
        .when([](const Bytes& out) { return subpacketsAfter(out, ZDATA).size() == 2; }, hexHeader(ZRPOS, 1024))
        .when([](const Bytes& out) { return countType(out, ZDATA) == 2; }, hexHeader(ZRPOS, 1024))
        .on(ZEOF, READY)
        .on(ZFIN, hexHeader(ZFIN, 0))
        .acknowledge(false);
    std::string out = send("f.bin", &peer);
    EXPECT_FALSE(errorPending()) << errorText();
    EXPECT_EQ(peer.remaining(), 0u);
    EXPECT_EQ(countOf(out, "seeking to offset 1024\n"), 1u);
    std::vector<uint32_t> starts = dataOf(written(), ZDATA);
    EXPECT_EQ(std::count(starts.begin(), starts.end(), 1024u), 1) << starts.size();
    Bytes again;
    for (size_t n = 1; n < starts.size(); n++) {
        Bytes part = joined(subpacketsAfter(written(), ZDATA, n));
        again.insert(again.end(), part.begin(), part.end());
    }
    EXPECT_EQ(again, Bytes(data.begin() + 1024, data.end()));
}

// A reply damaged on the line (bad hex digit, CRC error) while streaming or
// in answer to the file offer is reported and recovered from, not the end of
// the transfer: the receiver asks again.
TEST_F(SenderTest, DamagedRepliesWhileStreamingAndToTheOfferAreRecoveredFrom) {
    Bytes data = makeFile("f.bin", 2500);
    Bytes badHex = hexHeader(ZRPOS, 0);
    badHex[5] = 'G';
    Bytes badCrc = hexHeader(ZRPOS, 1024);
    badCrc[17] = badCrc[17] == '0' ? '1' : '0';
    ScriptedPeer peer;
    peer.on(ZRQINIT, READY)
        .on(ZFILE, badHex)
        .on(ZFILE, hexHeader(ZRPOS, 0))
        .when([](const Bytes& out) { return subpacketsAfter(out, ZDATA).size() == 1; }, badCrc)
        .when([](const Bytes& out) { return subpacketsAfter(out, ZDATA).size() == 2; }, hexHeader(ZRPOS, 1024))
        .on(ZEOF, READY)
        .on(ZFIN, hexHeader(ZFIN, 0));
    std::string out = send("f.bin", &peer);
    EXPECT_FALSE(errorPending()) << errorText();
    EXPECT_EQ(peer.remaining(), 0u);
    EXPECT_NE(out.find("ZMD008 Bad hex character 47 received\n"), std::string::npos);
    EXPECT_NE(out.find("ZMD004"), std::string::npos);
    EXPECT_EQ(countType(written(), ZFILE), 2u);
    EXPECT_EQ(dataOf(written(), ZDATA), (std::vector<uint32_t>{0, 1024}));
    EXPECT_EQ(joined(subpacketsAfter(written(), ZDATA, 1)), Bytes(data.begin() + 1024, data.end()));
    EXPECT_TRUE(endsWithOverAndOut(written()));
}

TEST_F(SenderTest, ZrposAnsweringZeofRewindsOrRepeatsZeof) {
    struct Case {
        uint32_t offset;
        const char* shape;  // subpackets after the second ZDATA; "-" when there is none
    };
    const Case cases[] = {{0, "1024i 1024i 452h"}, {2048, "452i 0h"}, {2500, "-"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        fresh();
        Bytes data = makeFile("f.bin", 2500);
        ScriptedPeer peer;
        peer.on(ZRQINIT, READY)
            .on(ZFILE, hexHeader(ZRPOS, 0))
            .on(ZEOF, hexHeader(ZRPOS, c.offset))
            .on(ZEOF, READY)
            .on(ZFIN, hexHeader(ZFIN, 0));
        std::string out = send("f.bin", &peer);
        EXPECT_FALSE(errorPending()) << errorText();
        EXPECT_NE(out.find("seeking to offset " + std::to_string(c.offset) + "\n"), std::string::npos);
        EXPECT_EQ(dataOf(written(), ZEOF), (std::vector<uint32_t>{2500, 2500}));
        bool resends = std::string(c.shape) != "-";
        EXPECT_EQ(countType(written(), ZDATA), resends ? 2u : 1u);
        if (resends) {
            std::vector<SeenSubpacket> again = subpacketsAfter(written(), ZDATA, 1);
            EXPECT_EQ(shapeOf(again), c.shape);
            EXPECT_EQ(joined(again), Bytes(data.begin() + c.offset, data.end()));
            EXPECT_EQ(dataOf(written(), ZDATA)[1], c.offset);
        }
        EXPECT_TRUE(endsWithOverAndOut(written()));
    }
}

TEST_F(SenderTest, SkippedFileIsClosedWithoutData) {
    makeFile("f.bin", 100);
    ScriptedPeer peer;
    peer.on(ZRQINIT, READY).on(ZFILE, hexHeader(ZSKIP, 0)).on(ZFIN, hexHeader(ZFIN, 0));
    std::string out = send("f.bin", &peer);
    EXPECT_FALSE(errorPending()) << errorText();
    EXPECT_EQ(typesIn(written()), (std::vector<uint8_t>{ZRQINIT, ZFILE, ZFIN}));
    EXPECT_EQ(out, "opening file f.bin\nfile f.bin was skipped by the receiver\nclosing file\nopening file \n"
                   "failed to open file \n");
    EXPECT_EQ(session.ioState.failedFiles, 1);
    EXPECT_TRUE(endsWithOverAndOut(written()));
}

// Every reply that does not take the file counts toward the ten offers: a
// receiver that rejects each offer as damaged (ZNAK) cannot keep it going.
TEST_F(SenderTest, FileOfferedTenTimesThenDroppedAsNotDelivered) {
    for (const Bytes& reply : {READY, hexHeader(ZNAK, 0)}) {
        SCOPED_TRACE(std::string(reply.begin() + 4, reply.begin() + 6));  // the reply's type
        fresh();
        makeFile("f.bin", 100);
        ScriptedPeer peer;
        peer.on(ZRQINIT, READY).on(ZFILE, reply, 10).on(ZFIN, hexHeader(ZFIN, 0));
        std::string out = send("f.bin", &peer);
        EXPECT_FALSE(errorPending()) << errorText();
        EXPECT_EQ(countType(written(), ZFILE), 10u);
        EXPECT_EQ(countType(written(), ZDATA), 0u);
        // The first ZRINIT may answer the invitation: the sender waits a
        // little for another reply, and offers again after that short wait.
        EXPECT_EQ(countOf(out, "ZMD"), 0u);
        EXPECT_LT(line().clockMs, 5000u);
        EXPECT_NE(out.find("file f.bin was not accepted by the receiver\n"), std::string::npos);
        EXPECT_EQ(session.ioState.failedFiles, 1);
        EXPECT_EQ(typesIn(written()).back(), ZFIN);
        EXPECT_TRUE(endsWithOverAndOut(written()));
    }
}

// The receiver's limits and the window: never more unacknowledged than they
// allow, ZCRCW where a ZACK must come first, and no stall for a receiver that
// answers only ZCRCW.
TEST_F(SenderTest, UnacknowledgedDataStaysWithinTheReceiverBufferAndTheWindow) {
    struct Case {
        const char* name;
        uint32_t zrinit;  // ZRINIT data: buffer size in ZP0, ZP1 and ZF0
        uint32_t window;
        bool answersQueries;
        uint32_t most;  // unacknowledged bytes at most
    };
    const Case cases[] = {
        {"2048-byte buffer, no CANOVIO", 2048 | flags(CANFDX | CANFC32), 0, false, 2048},
        {"1400-byte buffer", 1400 | flags(ZRINIT_FLAGS), 0, false, 1400},
        {"no full duplex", flags(CANOVIO | CANFC32), 0, false, DEFAULT_WINDOW},
        {"window", flags(ZRINIT_FLAGS), 4096, true, 4096},
        {"window, ZCRCQ ignored", flags(ZRINIT_FLAGS), 4096, false, 4096},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        session.window = c.window;
        Bytes data = makeFile("f.bin", 40000);
        ScriptedPeer peer;
        acceptAll(peer, hexHeader(ZRINIT, c.zrinit)).acknowledge(c.answersQueries);
        send("f.bin", &peer);
        EXPECT_FALSE(errorPending()) << errorText();
        EXPECT_LE(peer.mostUnacknowledged(), c.most);
        if (!c.answersQueries) {
            EXPECT_GE(peer.mostUnacknowledged(), c.most / 2);
        }
        EXPECT_LT(line().clockMs, 1000u);  // no reply waited for in vain
        Bytes all;
        std::string ends;
        for (size_t n = 0; n < countType(written(), ZDATA); n++)
            for (const SeenSubpacket& sub : subpacketsAfter(written(), ZDATA, n)) {
                all.insert(all.end(), sub.data.begin(), sub.data.end());
                ends += static_cast<char>(sub.frameEnd);
            }
        EXPECT_EQ(all, data);
        EXPECT_NE(ends.find(c.window != 0 && c.answersQueries ? 'j' : 'k'), std::string::npos) << ends;
        EXPECT_EQ(dataOf(written(), ZEOF), std::vector<uint32_t>{40000});
    }
}

// After a rewind the window is what the line carries in two round trips, in
// whole subpackets and at least two: the round trip is how long the offer took to be answered,
// the speed what the ZACKs show. A receiver that answers only ZCRCW shows it.
TEST_F(SenderTest, WindowAfterARewindFollowsTheRoundTrip) {
    struct Case {
        uint64_t replyMs;  // each reply takes this long to come
        size_t perZcrcw;   // subpackets a segment after the rewind
    };
    // An answer that slow is the receiver's own delay: 4096 bytes, as while the round trip is not known.
    const Case cases[] = {{0, 2}, {300, 5}, {500, 8}, {1500, 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.replyMs);
        fresh();
        session.window = DEFAULT_WINDOW;
        line().usPerByte = 100;
        Bytes data = makeFile("f.bin", 40000);
        sendWithOneRewind(
            [](const Bytes& out) { return countType(out, ZDATA) == 2 && subpacketsAfter(out, ZDATA, 1).size() == 3; },
            8192, c.replyMs);
        EXPECT_FALSE(errorPending()) << errorText();
        std::vector<uint32_t> starts = dataOf(written(), ZDATA);
        ASSERT_GE(starts.size(), 4u);
        ASSERT_EQ(starts[2], 8192u);
        Bytes again;
        for (size_t n = 2; n < starts.size(); n++) {
            std::vector<SeenSubpacket> segment = subpacketsAfter(written(), ZDATA, n);
            if (n + 1 < starts.size()) {
                EXPECT_EQ(segment.size(), c.perZcrcw) << n;
            }
            again = concat({again, joined(segment)});
        }
        EXPECT_EQ(again, Bytes(data.begin() + 8192, data.end()));
    }
}

// A rewind before the ZACKs have shown the line's speed keeps the window at
// 4096 bytes only until they have: then it is what two round trips carry.
TEST_F(SenderTest, WindowAfterAnEarlyRewindFollowsTheLineOnceMeasured) {
    session.window = NETWORK_WINDOW;
    line().usPerByte = 1;
    makeFile("f.bin", 600000);
    sendWithOneRewind(
        [](const Bytes& out) { return countType(out, ZDATA) == 1 && subpacketsAfter(out, ZDATA).size() == 2; }, 2048,
        20);
    EXPECT_FALSE(errorPending()) << errorText();
    std::vector<uint32_t> starts = dataOf(written(), ZDATA);
    ASSERT_GE(starts.size(), 4u);
    ASSERT_EQ(starts[1], 2048u);
    EXPECT_EQ(subpacketsAfter(written(), ZDATA, 1).size(), MIN_WINDOW / BLOCK_SIZE);
    // 2 x 20 ms at about 1 MB/s: some 40 kB.
    EXPECT_GT(subpacketsAfter(written(), ZDATA, starts.size() - 2).size(), 16u);
}

// A request for a rewind damaged on its way, with the window full: the
// receiver stays silent until its own time-out (10 s here). The sender goes
// back to what was confirmed once the window has been quiet for twice its
// time on the line, and the ZDATA draws the request at once.
TEST_F(SenderTest, LostRequestWithTheWindowFullIsDrawnOutAtOnce) {
    session.window = 4096;
    line().usPerByte = 100;
    Bytes data = makeFile("f.bin", 40000);
    ScriptedPeer peer;
    acceptAll(peer).acknowledge(true);
    peer.attach(line());
    auto script = line().peer;
    size_t lostAt = 0;  // output size when the request was lost
    uint64_t lostMs = 0;
    bool asked = false;
    line().peer = [&](MemoryLine& l) {
        size_t before = l.input.size();
        script(l);
        if (asked) return;
        if (lostAt == 0 && subpacketsAfter(l.output, ZDATA).size() >= 12) {
            lostAt = l.output.size();
            lostMs = l.clockMs;
        }
        if (lostAt == 0) return;
        l.input.resize(before);  // this receiver answers nothing until asked again
        if (countType(Bytes(l.output.begin() + static_cast<std::ptrdiff_t>(lostAt), l.output.end()), ZDATA) > 0 ||
            l.clockMs > lostMs + 10000) {
            feed(l, hexHeader(ZRPOS, 11 * 1024));
            asked = true;
        }
    };
    send("f.bin", nullptr);
    EXPECT_FALSE(errorPending()) << errorText();
    ASSERT_TRUE(asked);
    EXPECT_LT(line().clockMs, lostMs + 5000);
    std::vector<uint32_t> starts = dataOf(written(), ZDATA);
    ASSERT_GE(starts.size(), 2u);
    EXPECT_EQ(starts.back(), 11u * 1024);
    EXPECT_EQ(joined(subpacketsAfter(written(), ZDATA, starts.size() - 1)), Bytes(data.begin() + 11 * 1024, data.end()));
}

// A receiver that acknowledges nothing, not even ZCRCW, costs one wait, not one a window.
TEST_F(SenderTest, ReceiverThatNeverAcknowledgesIsWaitedForOnce) {
    session.window = 4096;
    Bytes data = makeFile("f.bin", 40000);
    ScriptedPeer peer;
    acceptAll(peer, READY);
    send("f.bin", &peer);
    EXPECT_FALSE(errorPending()) << errorText();
    EXPECT_LT(line().clockMs, 30000u);
    Bytes all;
    for (size_t n = 0; n < countType(written(), ZDATA); n++)
        all = concat({all, joined(subpacketsAfter(written(), ZDATA, n))});
    EXPECT_EQ(all, data);
}

// A receiver whose first ZACK is damaged on the line does answer: the window stays.
TEST_F(SenderTest, DamagedFirstZackKeepsTheWindow) {
    session.window = 4096;
    Bytes data = makeFile("f.bin", 40000);
    ScriptedPeer peer;
    acceptAll(peer, READY).acknowledge(false);
    peer.attach(line());
    auto script = line().peer;
    bool damaged = false;
    line().peer = [&](MemoryLine& l) {
        size_t before = l.input.size();
        script(l);
        for (size_t i = before; !damaged && i + 4 < l.input.size(); i++)
            if (l.input[i] == 'B' && l.input[i + 1] == '0' && l.input[i + 2] == '3') {
                l.input[i + 4] ^= 0x01;  // a hex digit of the offset: the CRC fails
                damaged = true;
            }
    };
    send("f.bin", nullptr);
    EXPECT_FALSE(errorPending()) << errorText();
    EXPECT_TRUE(damaged);
    EXPECT_LE(peer.mostUnacknowledged(), 4096u);
}

// A ZRINIT that may answer this side's own ZRQINIT is no refusal of the
// offer: one offer, one start, whether it waited on the line or came twice;
// after a file, a receiver that heard no answer soon enough repeats its
// ZRINIT. One that asks for the offer again with it gets it after a short
// wait, with no error shown.
TEST_F(SenderTest, ZrinitWaitingOrTwiceGivesOneOffer) {
    for (int variant : {0, 1, 2, 3}) {
        SCOPED_TRACE(variant == 0 ? "waiting at the start" : variant == 1 ? "twice" : variant == 2 ? "repeated after a file" : "offer asked again after a file");
        fresh();
        Bytes data = makeFile("f.bin", 5000);
        makeFile("g.bin", 300);
        if (variant == 0) feed(line(), READY);
        ScriptedPeer peer;
        if (variant >= 2) {
            peer.on(ZRQINIT, READY).on(ZFILE, hexHeader(ZRPOS, 0)).on(ZEOF, READY);
            if (variant == 3) peer.on(ZFILE, READY);
            peer.on(ZFILE, concat({variant == 2 ? READY : Bytes{}, hexHeader(ZRPOS, 0)})).on(ZEOF, READY).on(ZFIN, hexHeader(ZFIN, 0));
        } else {
            acceptAll(peer, concat({READY, READY}));
        }
        const char* names[] = {"f.bin", "g.bin"};
        size_t files = variant >= 2 ? 2 : 1;
        std::string out = sendBatch(names, static_cast<int>(files), &peer);
        EXPECT_FALSE(errorPending()) << errorText();
        EXPECT_EQ(countType(written(), ZFILE), files + (variant == 3));
        EXPECT_EQ(countType(written(), ZDATA), files);
        EXPECT_EQ(countOf(out, "seeking to offset"), files);
        EXPECT_EQ(out.find("ZMD"), std::string::npos);
        EXPECT_LT(line().clockMs, 5000u);
        EXPECT_EQ(joined(subpacketsAfter(written(), ZDATA)), data);
    }
}

// Five CAN or more in a row end the transfer at once in every state: the
// file is closed, nothing more goes out, not even the abort sequence.
TEST_F(SenderTest, AbortSequenceFromTheReceiverEndsTheTransferAtOnce) {
    const Bytes abort = concat({Bytes(8, ZDLE), Bytes(10, BS)});
    enum Where { STREAMING, OFFER, AFTER_ZEOF, BETWEEN_FILES };
    for (Where where : {STREAMING, OFFER, AFTER_ZEOF, BETWEEN_FILES}) {
        SCOPED_TRACE(where);
        fresh();
        makeFile("a", 20000);
        makeFile("b", 100);
        ScriptedPeer peer;
        peer.on(ZRQINIT, READY);
        if (where == OFFER) peer.on(ZFILE, abort);
        peer.on(ZFILE, hexHeader(ZRPOS, 0));
        if (where == STREAMING)
            peer.when([](const Bytes& out) { return subpacketsAfter(out, ZDATA).size() == 2; }, abort);
        peer.on(ZEOF, where == AFTER_ZEOF ? abort : where == BETWEEN_FILES ? concat({READY, abort}) : READY);
        const char* names[] = {"a", "b"};
        std::string out = sendBatch(names, 2, &peer);
        EXPECT_EQ(errorText(), "ZMD010 Received cancel signal from remote\n");
        EXPECT_EQ(session.ioState.file, nullptr);
        EXPECT_EQ(countOf(out, "closing file\n"), where == BETWEEN_FILES ? 2u : 1u);
        EXPECT_FALSE(endsWithAbort(written()));
        std::vector<uint8_t> types = typesIn(written());
        EXPECT_EQ(std::count(types.begin(), types.end(), ZFIN), 0);
        EXPECT_EQ(std::count(types.begin(), types.end(), ZEOF), where == STREAMING || where == OFFER ? 0 : 1);
        EXPECT_LT(line().clockMs, 1000u);
    }
}

TEST_F(SenderTest, CancelDuringInvitationEndsWithoutClosing) {
    makeFile("f.bin", 100);
    ScriptedPeer peer;
    peer.on(ZRQINIT, hexHeader(ZCANCEL, 0)).on(ZFIN, hexHeader(ZFIN, 0));
    send("f.bin", &peer);
    ASSERT_TRUE(errorPending());
    EXPECT_EQ(errorText(), "ZMD010 Received cancel signal from remote\n");
    EXPECT_EQ(typesIn(written()), std::vector<uint8_t>{ZRQINIT});
    EXPECT_EQ(countOf(std::string(written().begin(), written().end()), "OO"), 0u);
}

TEST_F(SenderTest, NoPeerAtAllCostsOnlyVirtualTime) {
    makeFile("f.bin", 100);
    std::string out = send("f.bin", nullptr);
    ASSERT_TRUE(errorPending());
    EXPECT_TRUE(errorIs(ZMD009_TIMEOUT));
    EXPECT_EQ(countType(written(), ZRQINIT), 10u);
    EXPECT_EQ(countType(written(), ZFIN), 11u);
    EXPECT_EQ(countOf(out, "ZMD009 Timeout\n"), 20u);
    EXPECT_EQ(countOf(std::string(written().begin(), written().end()), "OO"), 0u);
    EXPECT_TRUE(endsWithAbort(written()));
    const uint64_t readMs = READ_TIMEOUT_PER_BYTE_MS + READ_TIMEOUT_CONSTANT_MS;
    const uint64_t waitMs = (READ_WAIT_RETRIES + 1) * readMs + READ_WAIT_RETRIES * READ_RETRY_PAUSE_MS;
    const uint64_t expected = 21 * waitMs;  // 21 waiting reads; the opening drain waits for nothing
    EXPECT_GE(line().clockMs, expected);
    EXPECT_LE(line().clockMs, expected + 1000);
}

TEST_F(SenderTest, DirectoryIsNeverOffered) {
    // A directory opens for reading on Linux but cannot be read: it is refused
    // like a file that cannot be opened, and the failure is counted.
    ScriptedPeer peer;
    peer.on(ZRQINIT, READY).always(ZFIN, hexHeader(ZFIN, 0));
    std::string out = send(".", &peer);
    EXPECT_FALSE(errorPending()) << errorText();
    EXPECT_EQ(countType(written(), ZFILE), 0u);
    EXPECT_NE(out.find("failed to open file .\n"), std::string::npos) << out;
    EXPECT_EQ(session.ioState.failedFiles, 1);
    EXPECT_TRUE(endsWithOverAndOut(written()));
}

}  // namespace

