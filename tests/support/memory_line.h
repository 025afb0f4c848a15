// An in-memory serial line linked in place of the serial port: the engine's
// writes are captured, its reads are served from bytes a scripted peer puts
// on the line, and time is a virtual clock so time-outs cost nothing.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

struct MemoryLine {
    std::deque<uint8_t> input;            // bytes on their way to the engine
    std::vector<uint8_t> output;          // every byte the engine wrote
    std::vector<uint32_t> writeSizes;     // the size of each write call
    std::vector<size_t> outputDiscards;   // output size at each discard of unsent output
    uint64_t clockMs = 0;                 // virtual time
    uint32_t usPerByte = 0;               // the line's pace: each byte written takes this long...
    uint64_t writingUs = 0;               // ...added to the clock
    uint64_t reads = 0;                   // read calls
    uint64_t emptyReads = 0;              // read calls that timed out
    int openResult = 0;                   // what portOpen returns
    int opens = 0;
    int closes = 0;
    // Called when a read, or a look for waiting input, finds no input: it
    // may put bytes on the line.
    std::function<void(MemoryLine&)> peer;
};

// The line that the port functions of the test build use.
MemoryLine& memoryLine();
// The line record the tests' sessions run on; the memory line ignores it.
struct Line;
Line* memoryLineRecord();
// Clears the line, its peer and clock.
void resetMemoryLine();

// Appends bytes to the engine's input.
void feed(MemoryLine& line, const std::vector<uint8_t>& bytes);
void feed(MemoryLine& line, const std::string& bytes);
