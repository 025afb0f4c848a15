// The session record that every engine function takes first. The adapter
// reads and fills some of its fields (names, positions, the offer), so the
// record lives here, below both.
#pragma once

#include <cstdint>

#include "adapter/constants.h"
#include "adapter/transfer_io.h"

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
    uint32_t sendCrc32;           // the receiver takes CRC-32: ZFILE, ZDATA and their subpackets carry one
    uint32_t receiverFlags;       // ZF0 of the receiver's ZRINIT
    uint32_t receiverBuffer;      // the receiver's buffer size from its ZRINIT (ZP0, ZP1); 0: no limit
    uint32_t window;              // unacknowledged bytes at most while streaming; 0: no window
    uint32_t ackedPosition;       // the receiver has confirmed the data up to here
    uint32_t acksCome;            // the receiver answers ZCRCQ: ZACKs have come
    uint32_t acksSeen;            // a ZACK, or a reply damaged on its way, has come in this send
    uint32_t acksNever;           // a ZCRCW went unanswered before any ZACK: no window
    uint32_t waitReads;           // attempts of a waiting read before its time-out; 0: READ_WAIT_RETRIES
    uint32_t repliesOwed;         // ZRINITs that may still come that answer no offer (repeats, answers to ZRQINITs)
    uint32_t roundTripSeen;       // an offer has been answered in this send...
    uint64_t roundTripUs;         // ...and the quickest answer took this long: the line's round trip
    uint32_t lineBytesPerSecond;  // the most the ZACKs have shown the line to carry; 0: not known
    uint8_t frameFormat;          // FRAME_BIN16, FRAME_HEX or FRAME_BIN32
    uint8_t headerType;
    uint8_t headerData[4];        // ZP0..ZP3; ZF0 is the fourth byte
    uint8_t* buffer;
    uint8_t* bufferCursor;
    uint8_t* bufferEnd;
    int32_t currentChar;          // the byte last read, or the next byte to write
    uint32_t cancelRun;           // CAN bytes (0x18) in a row just taken from the line
    TransferIo* io;
    TransferIo ioState;
};
