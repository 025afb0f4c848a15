// A ready-to-use engine session on a fresh in-memory line, shared by the unit
// tests. Each test starts with an empty line at virtual time zero, a clear
// error slot and a session sized like the program's own.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "tests/support/memory_line.h"
#include "tests/support/wire.h"
#include "adapter/file_io.h"
#include "adapter/constants.h"
#include "zmodem/session.h"

// Sets up a session the way the program does: an 18000-byte buffer, 1024-byte
// blocks, waiting reads and the embedded file adapter record.
inline void initTestSession(ZmodemSession& session, std::vector<uint8_t>& storage) {
    std::memset(&session, 0, sizeof session);
    storage.assign(static_cast<size_t>(BUFFER_SIZE), 0);
    session.bufferSize = BUFFER_SIZE;
    session.blockSize = BLOCK_SIZE;
    session.buffer = storage.data();
    session.bufferCursor = session.buffer;
    session.bufferEnd = session.buffer + session.bufferSize;
    session.waitForInput = 1;
    session.ioState.line = memoryLineRecord();
    session.io = &session.ioState;
}

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetMemoryLine();
        errorSlot = ErrorSlot{};
        initTestSession(session, storage);
    }

    void TearDown() override { resetMemoryLine(); }

    MemoryLine& line() { return memoryLine(); }
    // Everything the engine has written so far.
    const Bytes& written() { return memoryLine().output; }
    // The text of the pending (or last latched) error.
    std::string errorText() const { return errorSlot.message; }

    ZmodemSession session;
    std::vector<uint8_t> storage;
};

// A session test that runs in a fresh working directory of its own,
// base/work, removed afterwards with anything the test left open closed.
class FileSessionTest : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        home = std::filesystem::current_path();
        base = std::filesystem::temp_directory_path() /
               ("zmodem_" + std::to_string(getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(base);
        std::filesystem::create_directories(base / "work");
        std::filesystem::current_path(base / "work");
    }
    void TearDown() override {
        ioReleaseFile(&session.ioState);
        std::filesystem::current_path(home);
        std::filesystem::remove_all(base);
        SessionTest::TearDown();
    }

    std::filesystem::path home;
    std::filesystem::path base;
};
