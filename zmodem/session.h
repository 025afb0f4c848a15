// The session record that every engine function takes first, and the
// process-wide error slot through which all failures travel.
#pragma once

#include <cstdint>
#include <cstdio>

#include "zmodem/constants.h"
#include "zmodem/messages.h"

// The file adapter's state, embedded in the session.
struct TransferIo {
    FILE* file;                                 // the file being sent or received
    char fileNames[BATCH_SIZE][FILE_NAME_SIZE]; // the send batch, ended by an empty name
    int32_t nextName;                           // names stored, then the next one to open
    int32_t failedFiles;                        // named files that could not be sent or created
    uint32_t closeTime;                         // modification time to give the file on close; 0: none
};

struct ZmodemSession {
    uint32_t waitForInput;        // 1: reads wait and retry; 0: a single attempt
    char fileName[FILE_NAME_SIZE];
    char* fileInfo;               // file information after the name in the last ZFILE subpacket
    uint32_t blockLength;         // bytes in the outgoing block
    int32_t bufferSize;
    uint32_t blockSize;
    uint32_t filePosition;
    uint32_t fileLength;
    uint32_t fileTime;            // modification time, seconds since 1970; 0: unknown
    uint32_t fileMode;            // the sent file's mode bits
    uint32_t batchFiles;          // files still to offer, this one included; 0: a batch of one
    uint64_t batchBytes;          // bytes of those files
    uint8_t conversionOption;     // ZF0 of the last ZFILE offer
    uint8_t managementOption;     // ZF1 of the last ZFILE offer
    uint32_t frameEnd;            // the last escaped byte read was a frame-end code
    int32_t frameEndCode;         // the frame-end code of the last subpacket received
    uint32_t headerDone;
    int32_t moreData;
    uint32_t skipFile;
    uint32_t escapeControl;       // the receiver asked for 0x00-0x1F and 0x80-0x9F to be escaped too
    uint8_t frameFormat;          // FRAME_BIN16, FRAME_HEX or FRAME_BIN32
    uint8_t headerType;
    uint8_t headerData[4];        // ZP0..ZP3; ZF0 is the fourth byte
    uint8_t* buffer;
    uint8_t* bufferCursor;
    uint8_t* bufferEnd;
    int32_t currentChar;          // the byte last read, or the next byte to write
    TransferIo* io;
    TransferIo ioState;
};

// Room for the longest message: FIL005 with a name of FILE_NAME_SIZE - 1
// characters and a 20-digit offset (the widest unsigned long).
constexpr int ERROR_TEXT_SIZE = static_cast<int>(sizeof FIL005_SEEK_FAILED) + FILE_NAME_SIZE + 20;
static_assert(sizeof FIL003_FILE_TOO_LARGE + FILE_NAME_SIZE <= ERROR_TEXT_SIZE, "FIL003 with the longest name");

struct ErrorSlot {
    char format[ERROR_TEXT_SIZE];   // the format the latched error was raised with: its identity
    char message[ERROR_TEXT_SIZE];
    uint32_t pending;
};

extern ErrorSlot errorSlot;

// Latches the first error; later ones are dropped while it is pending.
void raiseError(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Prints the pending message and clears the pending flag.
void reportError();
// True when the last error was raised with this format text.
bool errorIs(const char* format);
// Clears the pending flag without printing.
void clearError();
inline bool errorPending() { return errorSlot.pending != 0; }

void* checkedAlloc(uint32_t count);

// The 32-bit offset carried in headerData, least significant byte first.
uint32_t headerOffset(const ZmodemSession* session);
void setHeaderOffset(ZmodemSession* session, uint32_t offset);
