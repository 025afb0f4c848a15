// The command line: argument checks, exit statuses and one whole transfer
// each way through the in-memory line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "driver/command_line.h"
#include "tests/support/memory_line.h"
#include "tests/support/scripted_peer.h"
#include "adapter/constants.h"
#include "adapter/messages.h"

namespace fs = std::filesystem;

namespace {

class CommandLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetMemoryLine();
        home = fs::current_path();
        dir = fs::temp_directory_path() / ("zmodem_cl_" + std::to_string(getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        fs::current_path(dir);
    }
    void TearDown() override {
        fs::current_path(home);
        fs::remove_all(dir);
        resetMemoryLine();
    }
    // Runs the program with these arguments; returns its status and fills out.
    int run(std::vector<std::string> args, std::string& out) {
        args.insert(args.begin(), "zmodem");
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        int status = runCommandLine(static_cast<int>(args.size()), argv.data());
        out = testing::internal::GetCapturedStdout();
        return status;
    }
    static ScriptedPeer& receiver(ScriptedPeer& peer) {
        return peer.on(ZRQINIT, hexHeader(ZRINIT, flags(ZRINIT_FLAGS)))
            .on(ZFILE, hexHeader(ZRPOS, 0))
            .on(ZEOF, hexHeader(ZRINIT, flags(ZRINIT_FLAGS)))
            .always(ZFIN, hexHeader(ZFIN, 0));
    }

    fs::path home;
    fs::path dir;
};

TEST_F(CommandLineTest, ArgumentErrorsPrintTheirMessageWithoutOpeningThePort) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
        int status;
    };
    const Case cases[] = {
        {{}, MSG_USAGE, EXIT_USAGE},
        {{"/r", "a", "b"}, MSG_USAGE, EXIT_USAGE},
        {{"/s"}, MSG_SEND_NEEDS_FILENAME, EXIT_USAGE},
        {{"/s", ""}, MSG_SEND_NEEDS_FILENAME, EXIT_USAGE},
        {{"/s", "a", "", "c"}, MSG_SEND_NEEDS_FILENAME, EXIT_USAGE},
        {{"/x", "a", "b"}, MSG_USAGE, EXIT_USAGE},
        {[] { std::vector<std::string> a(BATCH_SIZE + 1, "f"); a[0] = "/s"; return a; }(), MSG_TOO_MANY_FILES, EXIT_USAGE},
        {{"r"}, MSG_UNRECOGNIZED_ARGUMENT, EXIT_TRANSFER_OK},
        {{"/R"}, MSG_UNRECOGNIZED_ARGUMENT, EXIT_TRANSFER_OK},
        {{"/S", "f"}, MSG_UNRECOGNIZED_ARGUMENT, EXIT_TRANSFER_OK},
        {{"/x"}, MSG_UNRECOGNIZED_ARGUMENT, EXIT_TRANSFER_OK},
        {{"/"}, MSG_UNRECOGNIZED_ARGUMENT, EXIT_TRANSFER_OK},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& a : c.args) joined += a + " ";
        SCOPED_TRACE("arguments: " + joined);
        resetMemoryLine();
        std::string out;
        EXPECT_EQ(run(c.args, out), c.status);
        EXPECT_EQ(out, std::string(MSG_BANNER) + c.message);
        EXPECT_EQ(memoryLine().opens, 0);
        EXPECT_TRUE(memoryLine().output.empty());
    }
}

TEST_F(CommandLineTest, AnyWordStartingWithSlashRReceives) {
    for (std::vector<std::string> args : {std::vector<std::string>{"/receive"}, {"/r", "ignored"}}) {
        SCOPED_TRACE(args[0]);
        resetMemoryLine();
        ScriptedPeer peer;
        peer.on(ZRINIT, hexHeader(ZFIN, 0)).on(ZFIN, bytesOf("OO"));
        peer.attach(memoryLine());
        std::string out;
        EXPECT_EQ(run(args, out), EXIT_TRANSFER_OK);
        EXPECT_EQ(out, MSG_BANNER);
        EXPECT_EQ(typesIn(memoryLine().output), (std::vector<uint8_t>{ZRINIT, ZFIN}));
        EXPECT_EQ(memoryLine().opens, 1);
        EXPECT_EQ(memoryLine().closes, 1);
    }
}

TEST_F(CommandLineTest, SendCarriesNamesUpTo259CharactersWhole) {
    const std::string shortName = "name";
    const std::string longName = std::string(4, 'd') + "/" + std::string(254, 'n');
    ASSERT_EQ(longName.size(), 259u);
    fs::create_directory("dddd");
    for (const std::string& name : {shortName, longName}) {
        SCOPED_TRACE(name.size());
        resetMemoryLine();
        std::ofstream(name, std::ios::binary) << "hello";
        ScriptedPeer peer;
        receiver(peer).attach(memoryLine());
        std::string out;
        EXPECT_EQ(run({"/send", name}, out), EXIT_TRANSFER_OK);
        EXPECT_EQ(out.rfind(MSG_BANNER, 0), 0u);
        EXPECT_NE(out.find("opening file " + name + "\n"), std::string::npos);
        std::vector<SeenSubpacket> offer = subpacketsAfter(memoryLine().output, ZFILE);
        ASSERT_EQ(offer.size(), 1u);
        EXPECT_EQ(offer[0].data, fileInfo(name, offeredInfo(name)));
        EXPECT_EQ(subpacketsAfter(memoryLine().output, ZDATA)[0].data, bytesOf("hello"));
        EXPECT_EQ(memoryLine().opens, 1);
        EXPECT_EQ(memoryLine().closes, 1);
    }
}

TEST_F(CommandLineTest, NameOf260CharactersIsRefusedBeforeThePortOpens) {
    std::string out;
    EXPECT_EQ(run({"/s", std::string(260, 'n')}, out), EXIT_USAGE);
    EXPECT_EQ(out, std::string(MSG_BANNER) + MSG_FILENAME_TOO_LONG);
    EXPECT_EQ(memoryLine().opens, 0);
}

TEST_F(CommandLineTest, PortThatCannotBeUsedEndsTheRunWithTwo) {
    for (std::vector<std::string> args : {std::vector<std::string>{"/r"}, {"/s", "name"}}) {
        SCOPED_TRACE(args[0]);
        resetMemoryLine();
        memoryLine().openResult = 1;
        std::string out;
        EXPECT_EQ(run(args, out), EXIT_TRANSFER_FAILED);
        EXPECT_EQ(out, MSG_BANNER);
        EXPECT_EQ(memoryLine().reads, 0);
        EXPECT_TRUE(memoryLine().output.empty());
        EXPECT_EQ(memoryLine().closes, 1);
    }
}

TEST_F(CommandLineTest, FailedTransferPrintsItsErrorOnceAndReturnsTwo) {
    ScriptedPeer peer;
    peer.on(ZRINIT, hexHeader(ZRQINIT, 0), 11);
    peer.attach(memoryLine());
    std::string out;
    EXPECT_EQ(run({"/r"}, out), EXIT_TRANSFER_FAILED);
    EXPECT_EQ(countOf(out, ZMD001_ZRINIT_NOT_ACCEPTED), 1u);
    EXPECT_EQ(out, std::string(MSG_BANNER) + ZMD001_ZRINIT_NOT_ACCEPTED);
    EXPECT_EQ(memoryLine().closes, 1);
}

// A file that cannot be opened, or a line where no receiver answers (one that
// echoes what it is sent): the batch closes cleanly, but the file did not go.
TEST_F(CommandLineTest, NamedFileThatCannotBeSentReturnsTwo) {
    std::ofstream("present", std::ios::binary) << "hello";
    struct Case {
        const char* name;
        bool receiverAnswers;
        const char* line;
    };
    const Case cases[] = {{"missing", true, "failed to open file missing\n"},
                          {"present", false, "file present was not sent: no receiver answered\n"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetMemoryLine();
        ScriptedPeer peer;
        if (c.receiverAnswers)
            receiver(peer).attach(memoryLine());
        else
            peer.always(ZRQINIT, hexHeader(ZRQINIT, 0)).always(ZFIN, hexHeader(ZFIN, 0)).attach(memoryLine());
        std::string out;
        EXPECT_EQ(run({"/s", c.name}, out), EXIT_TRANSFER_FAILED);
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
        EXPECT_EQ(out.find("ZMD"), std::string::npos);
        EXPECT_EQ(countOf(std::string(memoryLine().output.begin(), memoryLine().output.end()), "OO"), 1u);
    }
}

}  // namespace
