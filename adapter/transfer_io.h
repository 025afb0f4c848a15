// The file adapter's own record, embedded in the session: the open file and
// the send batch.
#pragma once

#include <cstdint>
#include <cstdio>

#include "adapter/constants.h"

struct Line;

struct TransferIo {
    FILE* file;                                 // the file being sent or received
    char fileNames[BATCH_SIZE][FILE_NAME_SIZE]; // the send batch, ended by an empty name
    int32_t nextName;                           // names stored, then the next one to open
    int32_t failedFiles;                        // named files that could not be sent or created
    Line* line;                                 // the open line the transfer runs on
    uint32_t closeTime;                         // modification time to give the file on close; 0: none
};

