// The process-wide error slot: the first error latches, reporting prints it
// once, and the format identity outlives the pending flag.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/support/session_fixture.h"
#include "adapter/messages.h"
#include "zmodem/session.h"

namespace {

class ErrorSlotTest : public SessionTest {};

std::string reportedText() {
    testing::internal::CaptureStdout();
    reportError();
    return testing::internal::GetCapturedStdout();
}

TEST_F(ErrorSlotTest, StartsClearAndEmpty) {
    EXPECT_FALSE(errorPending());
    EXPECT_STREQ(errorSlot.message, "");
    EXPECT_STREQ(errorSlot.format, "");
    EXPECT_FALSE(errorIs(ZMD009_TIMEOUT));
}

TEST_F(ErrorSlotTest, FirstErrorStaysWhileLaterOnesAreDropped) {
    raiseError(ZMD009_TIMEOUT);
    raiseError(ZMD008_BAD_HEX, 0x47u);
    raiseError(ZMD005_SUBPACKET_TOO_LONG);
    EXPECT_TRUE(errorPending());
    EXPECT_TRUE(errorIs(ZMD009_TIMEOUT));
    EXPECT_FALSE(errorIs(ZMD008_BAD_HEX));
    EXPECT_STREQ(errorSlot.message, "ZMD009 Timeout\n");
    EXPECT_EQ(reportedText(), "ZMD009 Timeout\n");
}

TEST_F(ErrorSlotTest, ReportPrintsOnceAndClearsPending) {
    raiseError(ZMD010_REMOTE_CANCEL);
    EXPECT_EQ(reportedText(), "ZMD010 Received cancel signal from remote\n");
    EXPECT_FALSE(errorPending());
    EXPECT_EQ(reportedText(), "");
}

TEST_F(ErrorSlotTest, ReportWithNothingPendingPrintsNothing) { EXPECT_EQ(reportedText(), ""); }

TEST_F(ErrorSlotTest, ErrorIsStillMatchesAfterReport) {
    raiseError(ZMD009_TIMEOUT);
    (void)reportedText();
    EXPECT_FALSE(errorPending());
    EXPECT_TRUE(errorIs(ZMD009_TIMEOUT));
    EXPECT_STREQ(errorSlot.message, "ZMD009 Timeout\n");
}

TEST_F(ErrorSlotTest, ClearDiscardsSilentlyAndKeepsIdentity) {
    raiseError(ZMD005_SUBPACKET_TOO_LONG);
    testing::internal::CaptureStdout();
    clearError();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(errorPending());
    EXPECT_TRUE(errorIs(ZMD005_SUBPACKET_TOO_LONG));
    EXPECT_EQ(reportedText(), "");
}

TEST_F(ErrorSlotTest, NewErrorAfterClearReplacesTheOldOne) {
    raiseError(ZMD009_TIMEOUT);
    clearError();
    raiseError(ZMD008_BAD_HEX, 0x41u);
    EXPECT_TRUE(errorIs(ZMD008_BAD_HEX));
    EXPECT_FALSE(errorIs(ZMD009_TIMEOUT));
    EXPECT_EQ(reportedText(), "ZMD008 Bad hex character 41 received\n");
}

TEST_F(ErrorSlotTest, Crc16MessageUsesBareLowercaseHex) {
    raiseError(ZMD004_CRC16_ERROR, 0x1234u, 0xabcdu);
    EXPECT_STREQ(errorSlot.message, "ZMD004 CRCXM error, ours = 1234, theirs = abcd\n");
    EXPECT_TRUE(errorIs(ZMD004_CRC16_ERROR));
    EXPECT_TRUE(errorIs("ZMD004 CRCXM error, ours = %x, theirs = %x\n"));
    EXPECT_FALSE(errorIs("ZMD004 CRCXM error, ours = 1234, theirs = abcd\n"));
}

TEST_F(ErrorSlotTest, SmallValuesHaveNoLeadingZeros) {
    raiseError(ZMD006_CRC32_ERROR, 0xful, 0xdeadbeeful);
    EXPECT_STREQ(errorSlot.message, "ZMD006 CRC32 error - ours = f, theirs = deadbeef\n");
}

TEST_F(ErrorSlotTest, LongestMessageIsKeptWhole) {
    const std::string name(FILE_NAME_SIZE - 1, 'n');
    raiseError(FIL005_SEEK_FAILED, name.c_str(), 4294967295ul);
    EXPECT_EQ(reportedText(), "FIL005 Cannot seek file " + name + " to offset 4294967295\n");
}

TEST_F(ErrorSlotTest, CheckedAllocOfZeroRaisesNothing) {
    void* block = checkedAlloc(0);
    EXPECT_FALSE(errorPending());
    free(block);
}

TEST_F(ErrorSlotTest, CheckedAllocReturnsUsableMemory) {
    auto* block = static_cast<unsigned char*>(checkedAlloc(18000));
    ASSERT_NE(block, nullptr);
    block[0] = 1;
    block[17999] = 2;
    EXPECT_FALSE(errorPending());
    free(block);
}

}  // namespace
