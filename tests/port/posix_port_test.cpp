// The POSIX serial backend on a real pseudo-terminal pair: the test holds the
// master side and plays the peer.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "adapter/interrupt_flag.h"
#include "adapter/line.h"

namespace {

Line line;

// Opens the line ZMODEM_PORT names, as the program does.
int portOpen() {
    LineSettings settings;
    line = Line{};
    if (!lineSettingsRead(&settings) || !lineParse(&line, &settings)) return 5;
    return lineOpen(&line);
}
void portClose() { lineClose(&line); }
int portRead(uint8_t* buffer, uint32_t n, uint32_t* count) { return lineRead(&line, buffer, n, count); }
bool portInputWaiting() { return lineInputWaiting(&line); }
int portWrite(const uint8_t* bytes, uint32_t n) { return lineWrite(&line, bytes, n) == LINE_OK ? 1 : 0; }

class PosixPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        setenv("ZMODEM_PORT", name, 1);
        testing::internal::CaptureStdout();
        ASSERT_EQ(portOpen(), 0);
        opened = testing::internal::GetCapturedStdout();
    }
    void TearDown() override {
        portClose();
        if (master >= 0) close(master);
        close(slave);
        unsetenv("ZMODEM_PORT");
    }
    void peerWrites(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Reads one byte; -1 when the read delivered nothing.
    int readOne() {
        uint8_t b = 0;
        uint32_t count = 99;
        EXPECT_EQ(portRead(&b, 1, &count), 0);
        return count == 1 ? b : (count == 0 ? -1 : -2);
    }

    int master = -1;
    int slave = -1;
    char name[256] = {};
    std::string opened;
};

TEST_F(PosixPortTest, OpenNamesTheDeviceAndSetsARawLine) {
    EXPECT_EQ(opened, "Serial port " + std::string(name) + " successfully reconfigured.\n");
    // A raw line: no byte is translated or swallowed, CR, XON and XOFF included.
    std::vector<uint8_t> all;
    for (int i = 0; i < 256; i++) all.push_back(static_cast<uint8_t>(i));
    peerWrites(all);
    for (int i = 0; i < 256; i++) ASSERT_EQ(readOne(), i) << "byte " << i;
    EXPECT_EQ(readOne(), -1);
}

TEST_F(PosixPortTest, BurstIsDeliveredByteByByteAndAcrossWrites) {
    EXPECT_FALSE(portInputWaiting());
    peerWrites({'a', 'b', 'c'});
    pollfd arrived{slave, POLLIN, 0};
    ASSERT_EQ(poll(&arrived, 1, 10000), 1);  // the burst has reached the line
    EXPECT_TRUE(portInputWaiting());
    EXPECT_EQ(readOne(), 'a');
    EXPECT_TRUE(portInputWaiting());  // read ahead
    peerWrites({'d'});
    EXPECT_EQ(readOne(), 'b');
    EXPECT_EQ(readOne(), 'c');
    EXPECT_EQ(readOne(), 'd');
    EXPECT_EQ(readOne(), -1);
    EXPECT_FALSE(portInputWaiting());
}

TEST_F(PosixPortTest, MultiByteReadGathersWhatArrives) {
    peerWrites({1, 2, 3, 4, 5});
    uint8_t buf[8] = {};
    uint32_t count = 0;
    EXPECT_EQ(portRead(buf, 8, &count), 0);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(buf[4], 5);
}

TEST_F(PosixPortTest, WritesReachThePeerWhole) {
    std::vector<uint8_t> block(3000);
    for (size_t i = 0; i < block.size(); i++) block[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(portWrite(block.data(), static_cast<uint32_t>(block.size())), 1);
    std::vector<uint8_t> got;
    uint8_t buf[512];
    while (got.size() < block.size()) {
        ssize_t n = read(master, buf, sizeof buf);
        ASSERT_GT(n, 0);
        got.insert(got.end(), buf, buf + n);
    }
    EXPECT_EQ(got, block);
}

// A peer that has stopped reading holds a write until the line has room;
// after a stop request it holds it no longer than the write time-out.
TEST_F(PosixPortTest, StopEndsAWriteTheLineDoesNotTake) {
    std::vector<uint8_t> block(1 << 20, 'x');
    interruptRequested = 1;
    EXPECT_EQ(portWrite(block.data(), static_cast<uint32_t>(block.size())), 0);
    interruptRequested = 0;
}

// The other end closed, as when a USB adapter is pulled: the line is gone,
// said at once by reads and writes, and not taken for a quiet line.
TEST_F(PosixPortTest, HungUpLineIsGone) {
    peerWrites({'x'});
    EXPECT_EQ(readOne(), 'x');
    close(master);
    master = -1;
    uint8_t b = 0;
    uint32_t count = 9;
    EXPECT_EQ(portRead(&b, 1, &count), LINE_GONE);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(portInputWaiting());
    EXPECT_EQ(lineWrite(&line, &b, 1), LINE_GONE);
}

TEST_F(PosixPortTest, ClosedPortFailsReadsAndWrites) {
    portClose();
    line.fd = line.outFd = -1;
    uint8_t b = 0;
    uint32_t count = 7;
    testing::internal::CaptureStdout();
    EXPECT_EQ(portRead(&b, 1, &count), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nError in GetLastError.");
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(portWrite(&b, 1), 0);
}

TEST_F(PosixPortTest, SpeedIsTheOneChosenInTheEnvironment) {
    termios tio{};
    ASSERT_EQ(tcgetattr(slave, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    portClose();
    setenv("ZMODEM_BAUD", "57600", 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(portOpen(), 0);
    testing::internal::GetCapturedStdout();
    unsetenv("ZMODEM_BAUD");
    ASSERT_EQ(tcgetattr(slave, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B57600));
}

// The failed step's message, then the line that lists the ports to choose from.
void expectFailureAndPortList(const std::string& out, const std::string& message) {
    EXPECT_EQ(out.rfind(message + "Serial ports on this machine: ", 0), 0u) << out;
    EXPECT_EQ(out.find(". Choose one with the environment variable ZMODEM_PORT.\n"), out.size() - 56) << out;
}

TEST(PosixPortOpen, MissingDeviceReportsTheSystemError) {
    setenv("ZMODEM_PORT", "/nonexistent/tty", 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(portOpen(), 1);
    expectFailureAndPortList(testing::internal::GetCapturedStdout(), "CreateFile failed with error 2.\n");
    portClose();
    unsetenv("ZMODEM_PORT");
}

TEST(PosixPortOpen, FileThatIsNoTerminalCannotBeConfigured) {
    char path[] = "/tmp/zmodem-port-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    setenv("ZMODEM_PORT", path, 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(portOpen(), 2);
    expectFailureAndPortList(testing::internal::GetCapturedStdout(), "GetCommState failed with error 25.\n");
    portClose();
    unlink(path);
    unsetenv("ZMODEM_PORT");
}

// The telnet layer on a socket pair, the test playing the server: each row's
// pieces arrive in separate reads; the data read and the replies sent.
struct TelnetRow {
    std::vector<std::vector<uint8_t>> pieces;
    std::vector<uint8_t> data;
    std::vector<uint8_t> replies;
    uint32_t baud;  // the speed the server reported
};

TEST(TelnetLine, CommandsSplitAcrossReads) {
    const std::vector<TelnetRow> rows = {
        {{{0xFF}, {0xFF, 0x41}}, {0xFF, 0x41}, {}, 0},                              // IAC IAC at a read's end
        {{{0x41, 0xFF, 0xFB}, {0x01, 0x42}}, {0x41, 0x42}, {0xFF, 0xFE, 0x01}, 0},  // WILL ECHO: DONT
        {{{0xFF, 0xFD, 0x18}}, {}, {0xFF, 0xFC, 0x18}, 0},                          // DO TTYPE: WONT
        {{{0xFF, 0xFA, 0x2C, 0x65, 0x00}, {0x00, 0xE1, 0x00, 0xFF}, {0xF0, 0x43}}, {0x43}, {}, 57600},
        {{{0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x00, 0xFF}, {0xFF, 0x00, 0xFF, 0xF0}}, {}, {}, 0xFF00},  // IAC IAC in SB
    };
    for (size_t r = 0; r < rows.size(); r++) {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        Line telnet{};
        telnet.kind = LINE_TELNET;
        telnet.fd = telnet.outFd = pair[0];
        telnet.open = true;
        telnet.next = telnet.end = telnet.input;
        std::vector<uint8_t> data;
        for (const auto& piece : rows[r].pieces) {
            ASSERT_EQ(write(pair[1], piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
            uint8_t buffer[64];
            uint32_t count = 0;
            ASSERT_EQ(lineReadWithin(&telnet, buffer, sizeof buffer, &count, 1000), LINE_OK);
            data.insert(data.end(), buffer, buffer + count);
        }
        EXPECT_EQ(data, rows[r].data) << "row " << r;
        EXPECT_EQ(telnet.telnet.baudAnswered, rows[r].baud) << "row " << r;
        std::vector<uint8_t> replies(64);
        ssize_t got = recv(pair[1], replies.data(), replies.size(), MSG_DONTWAIT);
        replies.resize(got > 0 ? static_cast<size_t>(got) : 0);
        EXPECT_EQ(replies, rows[r].replies) << "row " << r;
        // Commands alone waiting are no input: the sender's poll must not
        // stop for a read that would bring nothing.
        const uint8_t nop[2] = {0xFF, 0xF1};
        ASSERT_EQ(write(pair[1], nop, 2), 2);
        EXPECT_FALSE(lineInputWaiting(&telnet)) << "row " << r;
        close(pair[0]);
        close(pair[1]);
    }
}

}  // namespace
