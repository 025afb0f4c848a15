#include "tests/support/memory_line.h"

#include "adapter/line.h"
#include "adapter/constants.h"

MemoryLine& memoryLine() {
    static MemoryLine line;
    return line;
}

void resetMemoryLine() { memoryLine() = MemoryLine{}; }

void feed(MemoryLine& line, const std::vector<uint8_t>& bytes) { line.input.insert(line.input.end(), bytes.begin(), bytes.end()); }

void feed(MemoryLine& line, const std::string& bytes) { line.input.insert(line.input.end(), bytes.begin(), bytes.end()); }

void lineClaimStdio() {}

int lineOpen(Line*) {
    memoryLine().opens++;
    return memoryLine().openResult;
}

void lineClose(Line*) { memoryLine().closes++; }

int lineRead(Line*, uint8_t* buffer, uint32_t n, uint32_t* count) {
    MemoryLine& line = memoryLine();
    line.reads++;
    if (line.input.empty() && line.peer) line.peer(line);
    *count = 0;
    if (line.input.empty()) {
        line.emptyReads++;
        line.clockMs += READ_TIMEOUT_PER_BYTE_MS * n + READ_TIMEOUT_CONSTANT_MS;
        return 0;
    }
    while (*count < n && !line.input.empty()) {
        buffer[(*count)++] = line.input.front();
        line.input.pop_front();
    }
    return 0;
}

void lineDiscardOutput(Line*) { memoryLine().outputDiscards.push_back(memoryLine().output.size()); }

bool lineInputWaiting(Line*) {
    MemoryLine& line = memoryLine();
    if (line.input.empty() && line.peer) line.peer(line);
    return !line.input.empty();
}

int lineWrite(Line*, const uint8_t* bytes, uint32_t n) {
    MemoryLine& line = memoryLine();
    line.output.insert(line.output.end(), bytes, bytes + n);
    line.writeSizes.push_back(n);
    line.writingUs += static_cast<uint64_t>(line.usPerByte) * n;
    return LINE_OK;
}

void linePause(Line*, uint32_t milliseconds) { memoryLine().clockMs += milliseconds; }
uint64_t lineClockUs(Line*) { return memoryLine().clockMs * 1000 + memoryLine().writingUs; }

int lineReadWithin(Line* record, uint8_t* buffer, uint32_t n, uint32_t* count, uint32_t) {
    return lineRead(record, buffer, n, count);
}
void lineBreak(Line*, uint32_t) {}
LineWaitHandle lineWaitHandle(Line*) { return LineWaitHandle{}; }
void lineArmWait(Line*) {}

Line* memoryLineRecord() {
    static Line record{};
    return &record;
}
void lineRestoreNow() {}
