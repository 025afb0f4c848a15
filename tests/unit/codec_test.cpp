#include <gtest/gtest.h>

#include "tests/support/memory_line.h"
#include "tests/support/wire.h"
#include "zmodem/codec.h"

TEST(Crc, CheckValues) {
    Bytes digits = bytesOf("123456789");
    uint32_t crc16 = 0;
    for (uint8_t b : digits) crc16 = crc16Update(crc16, b);
    EXPECT_EQ(crc16, 0x31C3u);
    uint32_t crc32 = 0xFFFFFFFFu;
    for (uint8_t b : digits) crc32 = crc32Update(crc32, b);
    EXPECT_EQ(~crc32, 0xCBF43926u);
    EXPECT_EQ(referenceCrc16(digits), 0x31C3u);
    EXPECT_EQ(referenceCrc32(digits), 0xCBF43926u);
}

#include <string>

#include "adapter/serial_link.h"
#include "tests/support/session_fixture.h"
#include "adapter/messages.h"

namespace {

class CodecTest : public SessionTest {};

struct EscapedRead {
    Bytes wire;
    int32_t value;
    uint32_t frameEnd;
};

TEST_F(CodecTest, EscapedReadsDecodeEachForm) {
    const EscapedRead cases[] = {
        {{0x18, 0x58}, 0x18, 0},  {{0x18, 0xD8}, 0x98, 0}, {{0x18, 'l'}, 0x7F, 0},  {{0x18, 'm'}, 0xFF, 0},
        {{0x18, 0x50}, 0x10, 0},  {{0x18, 0xD1}, 0x91, 0}, {{0x18, 0x41}, 0x01, 0},  {{0x18, 0x5F}, 0x1F, 0},
        {{0x18, 0xC0}, 0x80, 0},  {{0x18, 'h'}, 'h', 1},   {{0x18, 'i'}, 'i', 1},    {{0x18, 'j'}, 'j', 1},
        {{0x18, 'k'}, 'k', 1},    {{0x18, 0x18}, 0x18, 1}, {{0x18, 0x00}, 0x00, 1},  {{0x18, 0x7F}, 0x7F, 1},
        {{0x18, 0xE0}, 0xE0, 1},  {{0x11}, 0x11, 0},       {{0x13}, 0x13, 0},        {{0xFF}, 0xFF, 0},
        {{0x41}, 0x41, 0},
    };
    for (const EscapedRead& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.wire));
        resetMemoryLine();
        feed(line(), c.wire);
        session.frameEnd = 1 - c.frameEnd;
        readEscapedByte(&session);
        EXPECT_FALSE(errorPending());
        EXPECT_EQ(session.currentChar, c.value);
        EXPECT_EQ(session.frameEnd, c.frameEnd);
        EXPECT_TRUE(line().input.empty());
    }
}

TEST_F(CodecTest, TimeoutRightAfterZdleKeepsZdleAndNoFrameEnd) {
    session.waitForInput = 0;
    session.frameEnd = 1;
    feed(line(), Bytes{0x18});
    readEscapedByte(&session);
    EXPECT_TRUE(errorIs(ZMD009_TIMEOUT));
    EXPECT_STREQ(errorSlot.message, "ZMD009 Timeout\n");
    EXPECT_EQ(session.frameEnd, 0u);
    EXPECT_EQ(session.currentChar, 0x18);
}

TEST_F(CodecTest, TimeoutLeavesPreviousCharacter) {
    session.waitForInput = 0;
    session.currentChar = 0x55;
    readRawByte(&session);
    EXPECT_TRUE(errorIs(ZMD009_TIMEOUT));
    EXPECT_EQ(session.currentChar, 0x55);
}

TEST_F(CodecTest, RawReadIsZeroExtended) {
    feed(line(), Bytes{0xFF, 0x80});
    readRawByte(&session);
    EXPECT_EQ(session.currentChar, 0xFF);
    readRawByte(&session);
    EXPECT_EQ(session.currentChar, 0x80);
}

struct HexRead {
    std::string wire;
    int32_t value;
    const char* message;  // nullptr when the pair is good
    size_t leftOnLine;
};

TEST_F(CodecTest, HexPairs) {
    const HexRead cases[] = {
        {"7fz", 0x7F, nullptr, 1},
        {"00", 0x00, nullptr, 0},
        {"a9", 0xA9, nullptr, 0},
        {"fe", 0xFE, nullptr, 0},
        {"7F", 0x46, "ZMD008 Bad hex character 46 received\n", 0},
        {"G0", 0x47, "ZMD008 Bad hex character 47 received\n", 1},
        {"A0", 0x41, "ZMD008 Bad hex character 41 received\n", 1},
        {"0g", 0x67, "ZMD008 Bad hex character 67 received\n", 0},
    };
    for (const HexRead& c : cases) {
        SCOPED_TRACE(c.wire);
        resetMemoryLine();
        errorSlot = ErrorSlot{};
        feed(line(), c.wire);
        readHexByte(&session);
        EXPECT_EQ(session.currentChar, c.value);
        EXPECT_EQ(line().input.size(), c.leftOnLine);
        if (c.message == nullptr) {
            EXPECT_FALSE(errorPending());
        } else {
            EXPECT_TRUE(errorIs(ZMD008_BAD_HEX));
            EXPECT_STREQ(errorSlot.message, c.message);
        }
    }
}

TEST_F(CodecTest, EveryByteRoundTripsThroughEscaping) {
    int escapedCount = 0;
    for (int value = 0; value < 256; value++) {
        SCOPED_TRACE(value);
        resetMemoryLine();
        session.currentChar = value;
        writeEscapedByte(&session);
        Bytes expected = escaped(Bytes{static_cast<uint8_t>(value)});
        ASSERT_EQ(line().output, expected);
        EXPECT_EQ(line().writeSizes, std::vector<uint32_t>(expected.size(), 1u));
        if (expected.size() == 2) escapedCount++;
        feed(line(), line().output);
        session.frameEnd = 1;
        readEscapedByte(&session);
        EXPECT_FALSE(errorPending());
        EXPECT_EQ(session.currentChar, value);
        EXPECT_EQ(session.frameEnd, 0u);
    }
    EXPECT_EQ(escapedCount, 10);
}

TEST_F(CodecTest, EscapedWritesOfNotableBytes) {
    const std::pair<int32_t, Bytes> cases[] = {
        {0x0D, {0x0D}}, {0x8D, {0x8D}}, {0x1B, {0x1B}}, {0x00, {0x00}},
        {0x98, {0x18, 0xD8}}, {0xFF, {0x18, 0x6D}}, {0x7F, {0x18, 0x6C}}, {0x13, {0x18, 0x53}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        resetMemoryLine();
        session.currentChar = c.first;
        writeEscapedByte(&session);
        EXPECT_EQ(line().output, c.second);
    }
}

TEST_F(CodecTest, HexWritesAreTwoLowercaseDigits) {
    const std::pair<int32_t, std::string> cases[] = {{0x0A, "0a"}, {0xFE, "fe"}, {0x00, "00"}, {0xB7, "b7"}};
    for (const auto& c : cases) {
        resetMemoryLine();
        session.currentChar = c.first;
        writeHexByte(&session);
        EXPECT_EQ(line().output, bytesOf(c.second));
        EXPECT_EQ(line().writeSizes, (std::vector<uint32_t>{1, 1}));
    }
}

TEST(CrcTables, KnownEntries) {
    EXPECT_EQ(CRC16_TABLE[0x00], 0x0000u);
    EXPECT_EQ(CRC16_TABLE[0x01], 0x1021u);
    EXPECT_EQ(CRC16_TABLE[0x80], 0x9188u);
    EXPECT_EQ(CRC16_TABLE[0xFF], 0x1EF0u);
    EXPECT_EQ(CRC32_TABLE[0x00], 0x00000000u);
    EXPECT_EQ(CRC32_TABLE[0x01], 0x77073096u);
    EXPECT_EQ(CRC32_TABLE[0x80], 0xEDB88320u);
    EXPECT_EQ(CRC32_TABLE[0xFF], 0x2D02EF8Du);
}

TEST(CrcTables, EveryEntryMatchesBitwiseComputation) {
    for (uint32_t i = 0; i < 256; i++) {
        EXPECT_EQ(CRC16_TABLE[i], referenceCrc16(Bytes{static_cast<uint8_t>(i)})) << i;
        uint32_t crc = i;
        for (int bit = 0; bit < 8; bit++) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        EXPECT_EQ(CRC32_TABLE[i], crc) << i;
    }
}

TEST(CrcTables, FiveZeroBytesGiveZeroCrc16) {
    uint32_t crc = 0;
    for (int i = 0; i < 5; i++) crc = crc16Update(crc, 0);
    EXPECT_EQ(crc, 0u);
}

TEST_F(CodecTest, WaitingReadOnSilentLineTimesOutAfter24110Ms) {
    uint8_t byte = 0;
    int32_t count = -1;
    ioReadWait(&session, session.io, &byte, 1, &count);
    EXPECT_EQ(count, 0);
    EXPECT_STREQ(errorSlot.message, "ZMD009 Timeout\n");
    EXPECT_EQ(line().clockMs, 24110u);
    EXPECT_EQ(line().reads, 201u);
}

TEST_F(CodecTest, WaitingReadReturnsByteThatArrivesLate) {
    int emptyCalls = 0;
    line().peer = [&emptyCalls](MemoryLine& l) {
        if (++emptyCalls == 5) feed(l, Bytes{0x42});
    };
    session.waitForInput = 1;
    readRawByte(&session);
    EXPECT_FALSE(errorPending());
    EXPECT_EQ(session.currentChar, 0x42);
    EXPECT_EQ(line().reads, 5u);
}

TEST_F(CodecTest, SingleReadOnSilentLineTimesOutAfter110Ms) {
    uint8_t byte = 0;
    int32_t count = -1;
    ioReadOnce(&session, session.io, &byte, 1, &count);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(errorIs(ZMD009_TIMEOUT));
    EXPECT_EQ(line().clockMs, 110u);
    EXPECT_EQ(line().reads, 1u);
}

TEST_F(CodecTest, PurgeDiscardsUntilQuiet) {
    feed(line(), Bytes(50, 0x41));
    int refills = 0;
    line().peer = [&refills](MemoryLine& l) {
        if (refills++ < 2) feed(l, Bytes{0x2A, 0x2A});
    };
    ioPurge(&session, session.io);
    EXPECT_TRUE(line().input.empty());
    EXPECT_FALSE(errorPending());
    EXPECT_EQ(line().reads, 55u);
    EXPECT_EQ(line().emptyReads, 1u);
    EXPECT_EQ(line().clockMs, 110u);
}

// A peer that never stops sending cannot hold the purge: it gives up after
// PURGE_LIMIT bytes and leaves the rest on the line.
TEST_F(CodecTest, PurgeOfAnEndlessStreamIsBounded) {
    line().peer = [](MemoryLine& l) { feed(l, Bytes(100, 0x55)); };
    ioPurge(&session, session.io);
    EXPECT_FALSE(errorPending());
    EXPECT_EQ(line().reads, static_cast<uint64_t>(PURGE_LIMIT));
    EXPECT_EQ(line().emptyReads, 0u);
}

// At the start of a receive the purge ends once what has arrived ends with
// a whole header; otherwise it waits for the line to go quiet, as ioPurge.
TEST_F(CodecTest, PurgeOfInvitationEndsAtAWholeHeader) {
    const std::string invitation = std::string("rz\r**\x18" "B00000000000000\r\x8a\x11", 24);
    const struct {
        const char* name;
        std::string input;
        uint32_t clockMs;
    } rows[] = {
        {"whole invitation", invitation, 0},
        {"two of them", invitation + invitation, 0},
        {"CR with its high bit", invitation.substr(0, 21) + "\x8d\x8a\x11", 0},
        {"no XON yet", invitation.substr(0, 23), 110},
        {"another still arriving", invitation + "**\x18", 110},
        {"nothing", "", 110},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        resetMemoryLine();
        feed(line(), Bytes(row.input.begin(), row.input.end()));
        ioPurgeInvitation(&session, session.io);
        EXPECT_TRUE(line().input.empty());
        EXPECT_FALSE(errorPending());
        EXPECT_EQ(line().clockMs, row.clockMs);
    }
}

TEST_F(CodecTest, PurgeOnSilentLineRaisesNothing) {
    ioPurge(&session, session.io);
    EXPECT_FALSE(errorPending());
    EXPECT_EQ(line().clockMs, 110u);
}

}  // namespace
