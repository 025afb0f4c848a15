// The file adapter: the send batch, opening, reading, and the check of
// received names.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "adapter/file_io.h"
#include "tests/support/session_fixture.h"
#include "adapter/messages.h"

namespace fs = std::filesystem;

namespace {

TEST(IoNameIsSafe, AcceptsOnlyNamesInsideTheWorkingDirectory) {
    struct Case {
        const char* name;
        bool safe;
    };
    const Case cases[] = {
        {"x", true},          {"a/b.txt", true},     {"..x", true},     {"x..", true},     {"a/..b/c", true},
        {"./x", true},        {"a\\b", true},        {"/etc/x", false}, {"/x", false},     {"\\x", false},
        {"C:x", false},       {"c:\\x", false},      {"../x", false},   {"..", false},     {"a/../../x", false},
        {"a/..", false},      {"..\\x", false},      {"a\\..\\x", false},
    };
    for (const Case& c : cases) EXPECT_EQ(ioNameIsSafe(c.name), c.safe) << c.name;
}

class FileIoTest : public FileSessionTest {
protected:
    static void write(const std::string& name, const std::string& text) {
        std::ofstream(name, std::ios::binary) << text;
    }
    // Opens the next name of the batch; returns what was printed.
    std::string openNext(int& result) {
        testing::internal::CaptureStdout();
        result = ioOpenNextFile(&session, &session.ioState, session.fileName, &session.fileLength);
        return testing::internal::GetCapturedStdout();
    }

};

TEST_F(FileIoTest, BatchHoldsTheOneNameAndTheEmptyTerminator) {
    write("f.txt", "0123456789");
    ioSetFileList(&session.ioState, "f.txt");
    EXPECT_STREQ(session.ioState.fileNames[0], "f.txt");
    EXPECT_STREQ(session.ioState.fileNames[1], "");
    EXPECT_EQ(session.ioState.nextName, 0);

    int result = 0;
    EXPECT_EQ(openNext(result), "opening file f.txt\n");
    EXPECT_EQ(result, 1);
    EXPECT_STREQ(session.fileName, "f.txt");
    EXPECT_EQ(session.fileLength, 10u);
    testing::internal::CaptureStdout();
    ioCloseFile(&session, &session.ioState);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "closing file\n");
    EXPECT_EQ(session.ioState.file, nullptr);

    EXPECT_EQ(openNext(result), "opening file \nfailed to open file \n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(session.ioState.failedFiles, 0);  // the terminator is no failure
}

TEST_F(FileIoTest, OpeningReportsLengthOrFailure) {
    write("empty", "");
    // Not regular files: one streams zeros without end; the other, a pipe,
    // holds a byte from a writer kept open here, so that opening it cannot
    // wait for one.
    fs::create_symlink("/dev/zero", "zero");
    ASSERT_EQ(mkfifo("fifo", 0600), 0);
    int writer = open("fifo", O_RDWR | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(::write(writer, "x", 1), 1);
    struct Case {
        const char* name;
        int result;
        uint32_t length;
        int failed;
    };
    const Case cases[] = {{"empty", 1, 0, 0}, {"missing", 0, 0, 1}, {"zero", 0, 0, 1}, {"fifo", 0, 0, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ioReleaseFile(&session.ioState);
        session.ioState.failedFiles = 0;
        session.fileLength = 99;
        ioSetFileList(&session.ioState, c.name);
        int result = -1;
        std::string out = openNext(result);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(session.ioState.failedFiles, c.failed);
        if (c.result == 1) {
            EXPECT_EQ(session.fileLength, c.length);
        } else {
            EXPECT_EQ(out, std::string("opening file ") + c.name + "\nfailed to open file " + c.name + "\n");
        }
    }
    close(writer);
}

TEST_F(FileIoTest, ReadsBlocksUntilAnEmptyRead) {
    std::string text;
    for (int i = 0; i < 1500; i++) text.push_back(static_cast<char>('a' + i % 26));
    write("f.txt", text);
    ioSetFileList(&session.ioState, "f.txt");
    int opened = 0;
    openNext(opened);
    ASSERT_EQ(opened, 1);
    std::string got;
    std::vector<uint32_t> counts;
    std::vector<int> results;
    testing::internal::CaptureStdout();
    for (int i = 0; i < 3; i++) {
        uint32_t count = 99;
        results.push_back(ioReadFile(&session, &session.ioState, session.buffer, BLOCK_SIZE, &count));
        counts.push_back(count);
        got.append(reinterpret_cast<const char*>(session.buffer), count);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "read 1024 bytes\nread 476 bytes\nread 0 bytes\n");
    EXPECT_EQ(counts, (std::vector<uint32_t>{1024, 476, 0}));
    EXPECT_EQ(results, (std::vector<int>{1, 1, 0}));
    EXPECT_EQ(got, text);
    EXPECT_FALSE(errorPending());
}

TEST_F(FileIoTest, ReadErrorLatchesFil004) {
    session.ioState.file = fopen(".", "rb");  // a directory: opens, but reading fails
    ASSERT_NE(session.ioState.file, nullptr);
    snprintf(session.fileName, sizeof session.fileName, "%s", "dir");
    uint32_t count = 99;
    testing::internal::CaptureStdout();
    EXPECT_EQ(ioReadFile(&session, &session.ioState, session.buffer, BLOCK_SIZE, &count), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(count, 0u);
    ASSERT_TRUE(errorPending());
    EXPECT_EQ(errorText(), "FIL004 Error reading file dir\n");
}

TEST_F(FileIoTest, WildcardsInANameAreTakenLiterally) {
    write("a*b?.txt", "literal");
    write("aXbY.txt", "pattern match");
    for (const char* name : {"a*b?.txt", "a*b?.tx?"}) {
        SCOPED_TRACE(name);
        ioReleaseFile(&session.ioState);
        ioSetFileList(&session.ioState, name);
        EXPECT_STREQ(session.ioState.fileNames[0], name);
        EXPECT_STREQ(session.ioState.fileNames[1], "");
        int result = 0;
        session.fileLength = 0;
        openNext(result);
        bool exact = std::string(name) == "a*b?.txt";
        EXPECT_EQ(result, exact ? 1 : 0);
        EXPECT_EQ(session.fileLength, exact ? 7u : 0u);
    }
}

}  // namespace
