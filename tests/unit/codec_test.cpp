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
