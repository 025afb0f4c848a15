// Data subpackets: reception with CRC-16 and CRC-32 into the session buffer,
// the ZFILE subpacket parse, and the write pattern of transmission.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/support/session_fixture.h"
#include "adapter/messages.h"
#include "zmodem/subpacket_rx.h"
#include "zmodem/subpacket_tx.h"

namespace {

class SubpacketTest : public SessionTest {
protected:
    void receiveFrom(uint8_t format, const Bytes& wire) {
        session.frameFormat = format;
        feed(line(), wire);
        receiveSubpacket(&session);
    }
    Bytes received() const { return Bytes(session.buffer, session.bufferCursor); }
    // Plain data that needs no escaping.
    static Bytes plain(size_t n) {
        Bytes data(n);
        for (size_t i = 0; i < n; i++) data[i] = static_cast<uint8_t>('a' + i % 26);
        return data;
    }
    void loadBlock(const Bytes& block) {
        std::copy(block.begin(), block.end(), session.buffer);
        session.blockLength = static_cast<uint32_t>(block.size());
    }
};

struct EmptyCase {
    uint8_t format;
    Bytes wire;
};

TEST_F(SubpacketTest, EmptySubpacketsWithKnownCrcs) {
    const EmptyCase cases[] = {
        {'A', {0x18, 'h', 0xED, 0xAE}},
        {'B', {0x18, 'i', 0xFD, 0x8F}},
        {'C', {0x18, 'h', 0xE7, 0x06, 0x6B, 0x18, 0xD1}},
    };
    EXPECT_EQ(subpacket16({}, 'h'), cases[0].wire);
    EXPECT_EQ(subpacket32({}, 'h'), cases[2].wire);
    for (const EmptyCase& c : cases) {
        SCOPED_TRACE(c.format);
        resetMemoryLine();
        session.filePosition = 500;
        receiveFrom(c.format, c.wire);
        EXPECT_FALSE(errorPending()) << errorSlot.message;
        EXPECT_EQ(session.filePosition, 500u);
        EXPECT_EQ(session.bufferCursor, session.buffer);
        EXPECT_TRUE(line().input.empty());
    }
}

TEST_F(SubpacketTest, DataIsUnescapedAndCounted) {
    const Bytes data = {0x18, 0x11, 0x91, 0x7F, 0xFF, 0x00, 'x', 0x13, 0x10, 0x98};
    for (uint8_t format : {'A', 'B', 'C'}) {
        SCOPED_TRACE(format);
        resetMemoryLine();
        session.filePosition = 10;
        receiveFrom(format, format == 'C' ? subpacket32(data, 'h') : subpacket16(data, 'h'));
        EXPECT_FALSE(errorPending()) << errorSlot.message;
        EXPECT_EQ(received(), data);
        EXPECT_EQ(session.filePosition, 10u + data.size());
    }
}

TEST_F(SubpacketTest, LargestSubpacketIsAccepted) {
    const Bytes data = plain(17999);
    receiveFrom('A', subpacket16(data, 'i'));
    EXPECT_FALSE(errorPending()) << errorSlot.message;
    EXPECT_EQ(session.filePosition, 17999u);
    EXPECT_EQ(received(), data);
}

TEST_F(SubpacketTest, OneByteTooManyStopsAtOnce) {
    for (uint8_t format : {'A', 'C'}) {
        SCOPED_TRACE(format);
        resetMemoryLine();
        errorSlot = ErrorSlot{};
        session.moreData = 1;
        const Bytes wire = format == 'C' ? subpacket32(plain(18000), 'h') : subpacket16(plain(18000), 'h');
        receiveFrom(format, wire);
        EXPECT_TRUE(errorIs(ZMD005_SUBPACKET_TOO_LONG));
        EXPECT_STREQ(errorSlot.message, "ZMD005 Error - subpacket too long\n");
        EXPECT_EQ(line().input.size(), wire.size() - 18000);
        EXPECT_EQ(session.filePosition, 0u);
        EXPECT_EQ(session.moreData, 0);
    }
}

// ZCRCG and ZCRCQ continue the frame; ZCRCE and ZCRCW end it.
TEST_F(SubpacketTest, ContinuationCodesKeepMoreData) {
    const Bytes data = plain(100);
    for (uint8_t format : {'A', 'C'}) {
        for (uint8_t code : {'h', 'i', 'j', 'k'}) {
            SCOPED_TRACE(std::string(1, static_cast<char>(format)) + static_cast<char>(code));
            resetMemoryLine();
            session.filePosition = 0;
            session.moreData = 1;
            receiveFrom(format, format == 'C' ? subpacket32(data, code) : subpacket16(data, code));
            EXPECT_FALSE(errorPending()) << errorSlot.message;
            EXPECT_EQ(session.moreData, code == 'i' || code == 'j' ? 1 : 0);
            EXPECT_EQ(session.filePosition, 100u);
        }
    }
}

TEST_F(SubpacketTest, ContinuationDoesNotSetMoreData) {
    session.moreData = 0;
    receiveFrom('A', subpacket16(plain(3), 'i'));
    EXPECT_FALSE(errorPending());
    EXPECT_EQ(session.moreData, 0);
}

TEST_F(SubpacketTest, NextSubpacketFollowsDirectlyAfterContinuation) {
    feed(line(), subpacket16(plain(5), 'i'));
    receiveFrom('A', subpacket16(bytesOf("tail"), 'h'));
    EXPECT_EQ(session.filePosition, 5u);
    receiveSubpacket(&session);
    EXPECT_FALSE(errorPending());
    EXPECT_EQ(received(), bytesOf("tail"));
    EXPECT_EQ(session.filePosition, 9u);
}

TEST_F(SubpacketTest, BadCrc16LeavesPositionAndClearsMoreData) {
    const Bytes data = bytesOf("hello");
    Bytes wire = subpacket16(data, 'i');
    const uint32_t good = referenceCrc16(concat({data, Bytes{'i'}}));
    wire[data.size() + 3] = static_cast<uint8_t>(wire[data.size() + 3] ^ 0x01);
    ASSERT_FALSE(good == 0 || (good & 0xFF) == 0x10);  // keeps the altered byte plain
    session.filePosition = 42;
    session.moreData = 1;
    receiveFrom('A', wire);
    char expected[80];
    snprintf(expected, sizeof expected, "ZMD004 CRCXM error, ours = %x, theirs = %x\n", good, good ^ 1u);
    EXPECT_STREQ(errorSlot.message, expected);
    EXPECT_EQ(session.filePosition, 42u);
    EXPECT_EQ(session.moreData, 0);
    EXPECT_EQ(received(), data);
}

TEST_F(SubpacketTest, SwappedCrc16BytesFail) {
    const Bytes data = bytesOf("abc");
    const uint32_t crc = referenceCrc16(concat({data, Bytes{'h'}}));
    ASSERT_NE(crc >> 8, crc & 0xFF);
    const Bytes wire = concat({data, Bytes{0x18, 'h'}, escaped(Bytes{static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)})});
    receiveFrom('B', wire);
    EXPECT_TRUE(errorIs(ZMD004_CRC16_ERROR));
    EXPECT_EQ(session.filePosition, 0u);
}

TEST_F(SubpacketTest, Crc32MostSignificantFirstFails) {
    const Bytes data = bytesOf("abc");
    const uint32_t crc = referenceCrc32(concat({data, Bytes{'h'}}));
    Bytes crcBytes;
    for (int i = 3; i >= 0; i--) crcBytes.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    receiveFrom('C', concat({data, Bytes{0x18, 'h'}, escaped(crcBytes)}));
    char expected[80];
    const uint32_t theirs = crcBytes[0] | crcBytes[1] << 8 | crcBytes[2] << 16 | static_cast<uint32_t>(crcBytes[3]) << 24;
    snprintf(expected, sizeof expected, "ZMD006 CRC32 error - ours = %x, theirs = %x\n", crc, theirs);
    EXPECT_STREQ(errorSlot.message, expected);
    EXPECT_EQ(session.filePosition, 0u);
}

TEST_F(SubpacketTest, CrcFollowsHeaderFormat) {
    const Bytes wire32 = subpacket32(bytesOf("data"), 'h');
    receiveFrom('A', wire32);
    EXPECT_TRUE(errorIs(ZMD004_CRC16_ERROR));
    resetMemoryLine();
    errorSlot = ErrorSlot{};
    receiveFrom('C', subpacket16(bytesOf("data"), 'h'));
    EXPECT_TRUE(errorPending());
    EXPECT_EQ(session.filePosition, 0u);
}

TEST_F(SubpacketTest, TimeoutInCrcIsReportedAsTimeout) {
    session.waitForInput = 0;
    Bytes wire = subpacket16(bytesOf("abc"), 'h');
    wire.pop_back();
    receiveFrom('A', wire);
    EXPECT_TRUE(errorIs(ZMD009_TIMEOUT));
    EXPECT_EQ(session.filePosition, 0u);
}

TEST_F(SubpacketTest, FileInfoNameAndInformation) {
    session.frameFormat = 'A';
    feed(line(), subpacket16(fileInfo("a.txt", "1234 0 0 0"), 'k'));
    receiveFileInfo(&session);
    EXPECT_FALSE(errorPending()) << errorSlot.message;
    EXPECT_STREQ(session.fileName, "a.txt");
    EXPECT_EQ(session.fileInfo, reinterpret_cast<char*>(session.buffer + 6));
    EXPECT_STREQ(session.fileInfo, "1234 0 0 0");
}

struct FileInfoCase {
    const char* name;
    Bytes content;
    bool accepted;
    std::string fileName;
    size_t infoOffset;  // 0: not checked
};

TEST_F(SubpacketTest, FileInfoLimits) {
    const std::string longName(300, 'n');
    const std::string name260(260, 'q');
    const FileInfoCase cases[] = {
        {"no information terminator", bytesOf(std::string("a.txt", 6)), false, "a.txt", 6},
        {"no name terminator", bytesOf("a.txt"), false, "a.txt", 0},
        {"information ends at 1023", fileInfo("a.txt", std::string(1017, '7')), true, "a.txt", 6},
        {"information ends at 1024", fileInfo("a.txt", std::string(1018, '7')), false, "a.txt", 6},
        {"300-character name", fileInfo(longName, "5 0 0 0"), true, longName.substr(0, 259), 301},
        {"260-character name", fileInfo(name260, "5 0 0 0"), true, name260.substr(0, 259), 261},
        {"259-character name", fileInfo(name260.substr(1), "1 0 0 0"), true, name260.substr(1), 260},
        {"trailing bytes ignored", concat({fileInfo("b", "2 0 0 0"), bytesOf("xyz")}), true, "b", 2},
    };
    for (const FileInfoCase& c : cases) {
        SCOPED_TRACE(c.name);
        resetMemoryLine();
        errorSlot = ErrorSlot{};
        std::memset(session.fileName, 'Z', sizeof session.fileName);
        session.fileInfo = nullptr;
        session.frameFormat = 'A';
        feed(line(), subpacket16(c.content, 'k'));
        receiveFileInfo(&session);
        if (c.accepted) {
            EXPECT_FALSE(errorPending()) << errorSlot.message;
        } else {
            ASSERT_TRUE(errorPending());
            EXPECT_EQ(std::string(errorSlot.message).substr(0, 7), "ZMD007 ");
            EXPECT_STREQ(errorSlot.format, errorSlot.message);  // the message has no conversions
        }
        EXPECT_EQ(std::string(session.fileName), c.fileName);
        EXPECT_EQ(session.fileName[FILE_NAME_SIZE - 1], '\0');
        if (c.infoOffset != 0) {
            EXPECT_EQ(session.fileInfo, reinterpret_cast<char*>(session.buffer + c.infoOffset));
        }
    }
}

TEST_F(SubpacketTest, FileInfoBadCrcLeavesNameAlone) {
    std::strcpy(session.fileName, "old");
    Bytes wire = subpacket16(fileInfo("new", "1 0 0 0"), 'k');
    wire.back() = static_cast<uint8_t>(wire.back() ^ 0x20);
    feed(line(), wire);
    receiveFileInfo(&session);
    EXPECT_TRUE(errorIs(ZMD004_CRC16_ERROR));
    EXPECT_STREQ(session.fileName, "old");
}

TEST_F(SubpacketTest, PositionMatchesReadsLeastSignificantFirst) {
    session.filePosition = 10000;
    const uint8_t matching[4] = {0x10, 0x27, 0x00, 0x00};
    const uint8_t reversed[4] = {0x00, 0x00, 0x27, 0x10};
    std::memcpy(session.headerData, matching, 4);
    EXPECT_EQ(positionMatches(&session), 1);
    std::memcpy(session.headerData, reversed, 4);
    EXPECT_EQ(positionMatches(&session), 0);
    session.filePosition = 0x10270000;
    EXPECT_EQ(positionMatches(&session), 1);
}

// The write sizes a subpacket must produce: runs of plain bytes in one write,
// each escaped byte as two single writes, then ZDLE, code and the CRC bytes.
std::vector<uint32_t> expectedWrites(const Bytes& block, uint8_t code) {
    std::vector<uint32_t> sizes;
    uint32_t run = 0;
    auto single = [&sizes](uint8_t b) {
        sizes.insert(sizes.end(), escaped(Bytes{b}).size(), 1u);
    };
    for (uint8_t b : block) {
        if (escaped(Bytes{b}).size() == 1) {
            run++;
            continue;
        }
        if (run) sizes.push_back(run);
        run = 0;
        single(b);
    }
    if (run) sizes.push_back(run);
    sizes.push_back(1);
    sizes.push_back(1);
    const uint32_t crc = referenceCrc16(concat({block, Bytes{code}}));
    single(static_cast<uint8_t>(crc >> 8));
    single(static_cast<uint8_t>(crc));
    return sizes;
}

TEST_F(SubpacketTest, SendPlainBlockIsOneRun) {
    const Bytes block = plain(1024);
    loadBlock(block);
    session.moreData = 1;
    session.filePosition = 2048;
    sendSubpacket(&session);
    EXPECT_EQ(written(), subpacket16(block, 'i'));
    EXPECT_EQ(line().writeSizes, expectedWrites(block, 'i'));
    EXPECT_EQ(line().writeSizes.front(), 1024u);
    EXPECT_EQ(session.filePosition, 3072u);
}

TEST_F(SubpacketTest, SendWritePatternAroundEscapes) {
    const Bytes blocks[] = {
        {0x18, 0x11, 'a', 'b', 0xFF},
        {0x7F, 0x91, 0x93, 0x90, 0x98, 0x10, 0x13},
        {'x', 0x18, 'y'},
        {0x00, 0x0D, 0x8D, 0x1B},
    };
    for (const Bytes& block : blocks) {
        SCOPED_TRACE(testing::PrintToString(block));
        resetMemoryLine();
        loadBlock(block);
        session.moreData = 0;
        session.filePosition = 0;
        sendSubpacket(&session);
        EXPECT_EQ(written(), subpacket16(block, 'h'));
        EXPECT_EQ(line().writeSizes, expectedWrites(block, 'h'));
        for (uint32_t size : line().writeSizes) EXPECT_NE(size, 0u);
        EXPECT_EQ(session.filePosition, block.size());
    }
}

TEST_F(SubpacketTest, SendEmptyBlock) {
    session.blockLength = 0;
    session.moreData = 0;
    session.filePosition = 77;
    sendSubpacket(&session);
    EXPECT_EQ(written(), (Bytes{0x18, 0x68, 0xED, 0xAE}));
    EXPECT_EQ(line().writeSizes, (std::vector<uint32_t>{1, 1, 1, 1}));
    EXPECT_EQ(session.filePosition, 77u);
}

TEST_F(SubpacketTest, SendFileInfoWorkedExample) {
    std::strcpy(session.fileName, "a.txt");
    session.fileLength = 1234;
    sendFileInfo(&session);
    const Bytes expected = {0x61, 0x2E, 0x74, 0x78, 0x74, 0x00, 0x31, 0x32, 0x33, 0x34, 0x20,
                            0x30, 0x20, 0x30, 0x20, 0x30, 0x00, 0x18, 0x6B, 0x58, 0xD6, 0x11};
    EXPECT_EQ(written(), expected);
    EXPECT_EQ(line().writeSizes, (std::vector<uint32_t>{19, 1, 1, 1}));
}

TEST_F(SubpacketTest, SendFileInfoOfEmptyFileIsParsedBack) {
    std::strcpy(session.fileName, "dir/empty.bin");
    session.fileLength = 0;
    sendFileInfo(&session);
    Bytes wire = written();
    ASSERT_EQ(wire.back(), 0x11);
    wire.pop_back();
    EXPECT_EQ(wire, subpacket16(fileInfo("dir/empty.bin", "0 0 0 0"), 'k'));
    std::memset(session.fileName, 0, sizeof session.fileName);
    session.frameFormat = 'A';
    feed(line(), wire);
    receiveFileInfo(&session);
    EXPECT_FALSE(errorPending()) << errorSlot.message;
    EXPECT_STREQ(session.fileName, "dir/empty.bin");
    EXPECT_STREQ(session.fileInfo, "0 0 0 0");
}

TEST_F(SubpacketTest, RandomBlockRoundTrips) {
    std::mt19937 random(20240601u);
    for (int round = 0; round < 8; round++) {
        SCOPED_TRACE(round);
        Bytes block(static_cast<size_t>(random() % 1025));
        for (uint8_t& b : block) b = static_cast<uint8_t>(random());
        resetMemoryLine();
        errorSlot = ErrorSlot{};
        loadBlock(block);
        session.moreData = static_cast<int32_t>(round % 2);
        session.filePosition = 0;
        sendSubpacket(&session);
        EXPECT_EQ(written(), subpacket16(block, round % 2 ? 'i' : 'h'));
        std::memset(session.buffer, 0xEE, 2000);
        session.filePosition = 0;
        session.moreData = 1;
        receiveFrom('A', written());
        EXPECT_FALSE(errorPending()) << errorSlot.message;
        EXPECT_EQ(received(), block);
        EXPECT_EQ(session.filePosition, block.size());
        EXPECT_EQ(session.moreData, round % 2);
        EXPECT_TRUE(line().input.empty());
    }
}

}  // namespace
