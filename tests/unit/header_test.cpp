// Headers: the exact bytes of every header the engine sends, and the hunt
// for and check of incoming hex, CRC-16 and CRC-32 headers.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/support/session_fixture.h"
#include "zmodem/header.h"
#include "adapter/messages.h"

namespace {

class HeaderTest : public SessionTest {
protected:
    // A hex header as the engine must write it: pads, ZDLE, B, digits, CR LF, XON unless suppressed.
    static Bytes hexFrame(const std::string& digits, bool xon = true) {
        Bytes out = {0x2A, 0x2A, 0x18, 'B'};
        Bytes d = bytesOf(digits);
        out.insert(out.end(), d.begin(), d.end());
        out.push_back(0x0D);
        out.push_back(0x0A);
        if (xon) out.push_back(0x11);
        return out;
    }
    void receiveFrom(const Bytes& wire) {
        feed(line(), wire);
        receiveHeader(&session);
    }
    void expectHeader(uint8_t format, uint8_t type, uint32_t data) {
        EXPECT_FALSE(errorPending()) << errorSlot.message;
        EXPECT_EQ(session.headerDone, 1u);
        EXPECT_EQ(session.frameFormat, format);
        EXPECT_EQ(session.headerType, type);
        EXPECT_EQ(headerOffset(&session), data);
    }
};

TEST_F(HeaderTest, ZrinitBytes) {
    sendZrinit(&session);
    EXPECT_EQ(written(), hexFrame("0100000023be50"));
    EXPECT_EQ(line().writeSizes, std::vector<uint32_t>(21, 1u));
}

TEST_F(HeaderTest, ZfinHasNoXon) {
    sendZfin(&session);
    EXPECT_EQ(written(), hexFrame("0800000000022d", false));
    EXPECT_EQ(written().size(), 20u);
}

TEST_F(HeaderTest, ZrposCarriesPositionLeastSignificantFirst) {
    sendZrpos(&session);
    EXPECT_EQ(written(), hexFrame("0900000000a87c"));

    resetMemoryLine();
    session.filePosition = 0x12345678;
    sendZrpos(&session);
    char crc[5];
    snprintf(crc, sizeof crc, "%04x", referenceCrc16(Bytes{9, 0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(written(), hexFrame(std::string("0978563412") + crc));
}

TEST_F(HeaderTest, ZrposPurgesPendingInputFirst) {
    feed(line(), bytesOf("stale bytes"));
    sendZrpos(&session);
    EXPECT_TRUE(line().input.empty());
    EXPECT_EQ(written(), hexFrame("0900000000a87c"));
}

TEST_F(HeaderTest, ZeofAndZskipBytes) {
    session.filePosition = 1234;  // 0x04D2
    sendZeof(&session);
    char crc[5];
    snprintf(crc, sizeof crc, "%04x", referenceCrc16(Bytes{11, 0xD2, 0x04, 0, 0}));
    EXPECT_EQ(written(), hexFrame(std::string("0bd2040000") + crc));
    resetMemoryLine();
    sendZskip(&session);
    EXPECT_EQ(written(), hexHeader(ZSKIP, 0));
}

TEST_F(HeaderTest, ZfileIsBinaryWithCrc16) {
    sendZfile(&session);
    EXPECT_EQ(written(), (Bytes{0x2A, 0x18, 0x41, 0x04, 0x00, 0x00, 0x00, 0x01, 0x99, 0x27}));
}

TEST_F(HeaderTest, ZdataEscapesItsOffsetBytes) {
    session.filePosition = 0x00FF1811;
    sendZdata(&session);
    EXPECT_EQ(written(), bin16Header(ZDATA, 0x00FF1811));
    EXPECT_EQ(written()[3], ZDATA);
    EXPECT_EQ(written()[4], 0x18);  // 0x11 goes out escaped
}

TEST_F(HeaderTest, ZrqinitIsOneWriteOf21Bytes) {
    session.headerType = ZDATA;
    sendZrqinit(&session);
    EXPECT_EQ(written(), hexFrame("00000000000000"));
    EXPECT_EQ(line().writeSizes, std::vector<uint32_t>{21});
    EXPECT_EQ(session.headerType, ZDATA);
}

struct Incoming {
    const char* name;
    Bytes wire;
    uint8_t format;
    uint8_t type;
    uint32_t data;
};

TEST_F(HeaderTest, AcceptsEveryFramingAndSkipsGarbage) {
    const Bytes hexZrpos = hexHeader(ZRPOS, 0x12345678);
    const Incoming cases[] = {
        {"hex", hexHeader(ZRINIT, flags(0x23)), 'B', ZRINIT, flags(0x23)},
        {"hex zfin", hexHeader(ZFIN, 0), 'B', ZFIN, 0},
        {"bin16", bin16Header(ZDATA, 0x11181391), 'A', ZDATA, 0x11181391},
        {"bin32", bin32Header(ZFILE, flags(1)), 'C', ZFILE, flags(1)},
        {"bin32 escapes", bin32Header(ZDATA, 0xFF7F1810), 'C', ZDATA, 0xFF7F1810},
        {"four pads", concat({Bytes{0x2A, 0x2A}, hexZrpos}), 'B', ZRPOS, 0x12345678},
        {"extra pads bin", concat({Bytes{0x2A, 0x2A, 0x2A}, bin16Header(ZEOF, 7)}), 'A', ZEOF, 7},
        {"junk first", concat({bytesOf("OO\x11 rz\r\nnoise"), hexZrpos}), 'B', ZRPOS, 0x12345678},
        {"four cans", concat({Bytes(4, 0x18), hexZrpos}), 'B', ZRPOS, 0x12345678},
        {"single pad hex is skipped",
         concat({Bytes{0x2A, 0x18, 'B'}, bytesOf("0100000023be50\r\n"), bin16Header(ZFIN, 0)}), 'A', ZFIN, 0},
        {"unknown letter", concat({Bytes{0x2A, 0x18, 'D'}, bin16Header(ZSKIP, 0)}), 'A', ZSKIP, 0},
        {"pad after zdle restarts", concat({Bytes{0x2A, 0x18}, hexZrpos}), 'B', ZRPOS, 0x12345678},
        {"double zdle", concat({Bytes{0x2A, 0x2A, 0x18, 0x18}, bin32Header(ZRINIT, 0)}), 'C', ZRINIT, 0},
        {"unknown type", bin16Header(0xFE, 0xA1B2C3D4), 'A', 0xFE, 0xA1B2C3D4},
    };
    for (const Incoming& c : cases) {
        SCOPED_TRACE(c.name);
        resetMemoryLine();
        errorSlot = ErrorSlot{};
        session.headerType = 0x77;
        receiveFrom(c.wire);
        expectHeader(c.format, c.type, c.data);
    }
}

// Five CAN in a row are the peer's cancel wherever the hunt or a header
// parser meets them; the bytes after the run stay unread. A CAN that breaks
// a header is followed up before the header's own error is raised.
TEST_F(HeaderTest, CancelRunIsHeardInAndAroundHeaders) {
    const Bytes run(8, 0x18);
    const Bytes after = bytesOf("rest");
    const struct {
        const char* name;
        Bytes before;
    } cases[] = {
        {"hunt", bytesOf("noise")},
        {"after pads", {0x2A, 0x2A}},
        {"in place of a frame letter", {0x2A, 0x2A, 0x18}},
        {"in hex digits", slice(hexHeader(ZRPOS, 0), 0, 9)},
        {"in hex crc", slice(hexHeader(ZRPOS, 0), 0, 17)},
        {"in a binary header", slice(bin16Header(ZDATA, 0), 0, 5)},
        {"in a crc-32 header", slice(bin32Header(ZDATA, 0), 0, 10)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetMemoryLine();
        errorSlot = ErrorSlot{};
        session.cancelRun = 0;
        receiveFrom(concat({c.before, run, after}));
        EXPECT_TRUE(errorPending());
        EXPECT_EQ(errorSlot.message, std::string(ZMD010_REMOTE_CANCEL));
        EXPECT_EQ(session.headerDone, 0u);
        EXPECT_GE(line().input.size(), after.size());
    }
}

TEST_F(HeaderTest, HexHeaderConsumesCrLfButLeavesXon) {
    receiveFrom(hexHeader(ZRINIT, 0));
    expectHeader('B', ZRINIT, 0);
    EXPECT_EQ(line().input, std::deque<uint8_t>{0x11});
}

TEST_F(HeaderTest, HighBitTrailerConsumesOnlyOneByte) {
    Bytes wire = hexHeader(ZRPOS, 100);
    wire.resize(wire.size() - 3);
    wire.push_back(0x8D);
    wire.push_back(0x8A);
    receiveFrom(wire);
    expectHeader('B', ZRPOS, 100);
    EXPECT_EQ(line().input, std::deque<uint8_t>{0x8A});

    feed(line(), bin16Header(ZDATA, 100));
    receiveHeader(&session);
    expectHeader('A', ZDATA, 100);
}

TEST_F(HeaderTest, Bin32ZfileCrcBytes) {
    Bytes wire = bin32Header(ZFILE, flags(1));
    ASSERT_EQ(wire.size(), 12u);
    EXPECT_EQ(Bytes(wire.begin() + 8, wire.end()), (Bytes{0x4B, 0x61, 0xA5, 0x44}));
    receiveFrom(wire);
    expectHeader('C', ZFILE, flags(1));

    resetMemoryLine();
    Bytes reversed = {0x2A, 0x18, 'C', 0x04, 0, 0, 0, 1, 0x44, 0xA5, 0x61, 0x4B};
    receiveFrom(reversed);
    EXPECT_TRUE(errorIs(ZMD006_CRC32_ERROR));
    EXPECT_STREQ(errorSlot.message, "ZMD006 CRC32 error - ours = 44a5614b, theirs = 4b61a544\n");
    EXPECT_EQ(session.headerDone, 0u);
}

TEST_F(HeaderTest, UppercaseHexIsRejected) {
    Bytes wire = hexHeader(ZDATA, 0);  // type digits "0a"
    ASSERT_EQ(wire[5], 'a');
    wire[5] = 'A';
    receiveFrom(wire);
    EXPECT_TRUE(errorIs(ZMD008_BAD_HEX));
    EXPECT_STREQ(errorSlot.message, "ZMD008 Bad hex character 41 received\n");
    EXPECT_EQ(session.headerDone, 0u);
}

TEST_F(HeaderTest, BadHexCrcRaisesCrc16Error) {
    Bytes wire = hexHeader(ZRINIT, flags(0x23));  // CRC digits "be50"
    wire[17] = '1';
    receiveFrom(wire);
    EXPECT_TRUE(errorIs(ZMD004_CRC16_ERROR));
    EXPECT_STREQ(errorSlot.message, "ZMD004 CRCXM error, ours = be50, theirs = be51\n");
    EXPECT_EQ(session.headerDone, 0u);
    EXPECT_EQ(session.headerType, ZRINIT);
}

TEST_F(HeaderTest, BadBinaryCrc16RaisesCrc16Error) {
    Bytes wire = bin16Header(ZFILE, flags(1));  // ... 0x99 0x27
    wire.back() = 0x28;
    receiveFrom(wire);
    EXPECT_STREQ(errorSlot.message, "ZMD004 CRCXM error, ours = 9927, theirs = 9928\n");
    EXPECT_EQ(session.headerDone, 0u);
}

TEST_F(HeaderTest, SilentLineTimesOut) {
    session.waitForInput = 0;
    receiveFrom(bytesOf("**\x18"));
    EXPECT_TRUE(errorIs(ZMD009_TIMEOUT));
    EXPECT_EQ(session.headerDone, 0u);
}

TEST_F(HeaderTest, HexHeaderWithoutTrailerTimesOut) {
    session.waitForInput = 0;
    Bytes wire = hexHeader(ZRINIT, 0);
    wire.resize(18);
    receiveFrom(wire);
    EXPECT_TRUE(errorIs(ZMD009_TIMEOUT));
    EXPECT_EQ(session.headerDone, 0u);
}

}  // namespace
