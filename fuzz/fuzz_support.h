// What the fuzz targets share: a fresh engine session on a fresh in-memory
// line for every run, a peer that hands out the fuzzed bytes chunk by chunk,
// a private working directory, and a trap for broken invariants.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

#include "adapter/file_io.h"
#include "driver/lifecycle.h"
#include "tests/support/memory_line.h"
#include "adapter/constants.h"
#include "zmodem/session.h"

// A broken invariant: say which, then stop the run so that libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                                    \
    do {                                                                                         \
        if (!(condition)) {                                                                      \
            fprintf(stderr, "fuzz invariant broken at %s:%d: %s\n", __FILE__, __LINE__, #condition); \
            __builtin_trap();                                                                    \
        }                                                                                        \
    } while (0)

namespace fuzz {

// The engine prints progress lines on standard output; libFuzzer reports on
// standard error. Silences the former once per process.
inline void silenceStdout() {
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
}

// A clean slate: empty line at time zero, no pending error, a session set up
// the way the program sets it up (18000-byte buffer unless told otherwise).
inline void startSession(ZmodemSession& session, int32_t bufferSize = BUFFER_SIZE) {
    resetMemoryLine();
    errorSlot = ErrorSlot{};
    memset(&session, 0, sizeof session);
    sessionConstruct(&session);
    session.bufferSize = bufferSize;
    sessionInit(&session, &session.ioState);
    if (session.buffer == nullptr) abort();
    session.bufferCursor = session.buffer;
    session.bufferEnd = session.buffer + session.bufferSize;
}

// Closes what the run left open and frees the buffer; clears the line and the error slot.
inline void endSession(ZmodemSession& session) {
    sessionDestroy(&session);
    resetMemoryLine();
    errorSlot = ErrorSlot{};
}

// The error slot holds an error raised with one of these formats.
inline bool errorIsOneOf(std::initializer_list<const char*> formats) {
    for (const char* format : formats)
        if (errorIs(format)) return true;
    return false;
}

// With ZMODEM_FUZZ_TRACE set, a session target tells on standard error how
// each run ended (for checking that a seed gets as far as it should).
inline bool tracing() {
    static const bool on = getenv("ZMODEM_FUZZ_TRACE") != nullptr;
    return on;
}

inline void traceRun(const char* what, const std::set<std::string>& files) {
    if (!tracing()) return;
    fprintf(stderr, "%s: %s; error: %s", what, errorPending() ? "failed" : "ended cleanly",
            errorPending() ? errorSlot.message : "none\n");
    for (const std::string& name : files) fprintf(stderr, "  file %s\n", name.c_str());
}

// The latched error carries this code (its first six characters, e.g. "ZMD007").
inline bool errorCodeIs(const char* code) { return strncmp(errorSlot.format, code, 6) == 0; }

// Chunks of peer input are separated by this marker in a fuzz input.
constexpr char CHUNK_SEPARATOR[] = "~~~~";
constexpr size_t CHUNK_SEPARATOR_LENGTH = sizeof CHUNK_SEPARATOR - 1;

inline std::vector<std::vector<uint8_t>> splitChunks(const uint8_t* data, size_t size) {
    std::vector<std::vector<uint8_t>> chunks;
    const uint8_t* end = data + size;
    const uint8_t* start = data;
    while (true) {
        const void* found = memmem(start, static_cast<size_t>(end - start), CHUNK_SEPARATOR, CHUNK_SEPARATOR_LENGTH);
        const uint8_t* stop = found ? static_cast<const uint8_t*>(found) : end;
        chunks.emplace_back(start, stop);
        if (!found) break;
        start = stop + CHUNK_SEPARATOR_LENGTH;
    }
    return chunks;
}

// A peer that speaks only when spoken to: on an empty read it puts the next
// chunk on the line if the engine has written something since the last
// chunk, as a real peer answers a header. Once the chunks are used up it stays
// silent, and the engine's time-outs (free on the virtual clock) end the run.
class ChunkedPeer {
public:
    ChunkedPeer(const uint8_t* data, size_t size) : chunks_(splitChunks(data, size)) {}
    void attach(MemoryLine& line) {
        line.peer = [this](MemoryLine& l) { serve(l); };
    }
    bool exhausted() const { return next_ == chunks_.size(); }

private:
    void serve(MemoryLine& line) {
        if (next_ >= chunks_.size() || line.output.size() <= outputSeen_) return;
        outputSeen_ = line.output.size();
        feed(line, chunks_[next_++]);
    }

    std::vector<std::vector<uint8_t>> chunks_;
    size_t next_ = 0;
    size_t outputSeen_ = 0;
};

// True when a name stays inside the working directory: not absolute, no drive
// letter, no ".." component (either slash separates). Written apart from the
// engine's own check so that each checks the other.
inline bool nameStaysInside(const char* name) {
    std::string s(name);
    if (!s.empty() && (s[0] == '/' || s[0] == '\\')) return false;
    if (s.size() >= 2 && s[1] == ':') return false;
    size_t start = 0;
    while (start <= s.size()) {
        size_t stop = s.find_first_of("/\\", start);
        if (stop == std::string::npos) stop = s.size();
        if (s.compare(start, stop - start, "..") == 0 && stop - start == 2) return false;
        start = stop + 1;
    }
    return true;
}

// The names in a directory, without "." and "..".
inline std::set<std::string> entriesOf(const std::string& directory) {
    std::set<std::string> names;
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) return names;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.insert(name);
    }
    closedir(dir);
    return names;
}

// Removes a directory tree (files the engine created are plain files, but be thorough).
inline void removeTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        for (const std::string& name : entriesOf(path)) removeTree(path + "/" + name);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

// A private directory tree /tmp/zmodem_fuzz_XXXXXX/outer/work; the process
// works in "work" for its whole life. "outer" and the top directory let a
// run notice files put one or two levels above the working directory.
struct Sandbox {
    std::string top;
    std::string outer;
    std::string work;

    static Sandbox& instance() {
        static Sandbox sandbox = make();
        return sandbox;
    }

    // Empties the working directory.
    void clearWork() const {
        for (const std::string& name : entriesOf(work)) removeTree(work + "/" + name);
    }

    // Nothing appeared beside the working directory or above it.
    bool untouchedOutside() const {
        return entriesOf(top) == std::set<std::string>{"outer"} && entriesOf(outer) == std::set<std::string>{"work"};
    }

private:
    static Sandbox make() {
        char pattern[] = "/tmp/zmodem_fuzz_XXXXXX";
        if (mkdtemp(pattern) == nullptr) abort();
        Sandbox s;
        s.top = pattern;
        s.outer = s.top + "/outer";
        s.work = s.outer + "/work";
        if (mkdir(s.outer.c_str(), 0700) != 0 || mkdir(s.work.c_str(), 0700) != 0 || chdir(s.work.c_str()) != 0) abort();
        static char topPath[sizeof pattern];
        memcpy(topPath, pattern, sizeof pattern);
        atexit([] { removeTree(topPath); });
        return s;
    }
};

}  // namespace fuzz
