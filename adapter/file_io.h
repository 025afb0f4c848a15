// The engine's access to local files: the send batch, opening a file to send
// with its length, creating a received file, block reads and writes, seeks.
#pragma once

#include <cstdint>

#include "adapter/error_slot.h"
#include "adapter/session_record.h"

// Fills the send batch with one name, or with several in order; on Windows a
// name with wildcards stands for the files it matches.
void ioSetFileList(TransferIo* io, const char* name);
void ioSetFileNames(TransferIo* io, const char* const* names, int count);
// The number of names the batch would hold for these, wildcards expanded.
int ioCountFileNames(const char* const* names, int count);
// Calls the callback once with the name as given; on Windows, once for each
// file that a name with `*` or `?` matches (once with the name if none does).
int forEachFileName(const char* name, int (*callback)(const char* name, void* context), void* context);
int ioAddFileName(const char* name, void* context);

// Opens the next name of the batch for reading; 1 when a file is open.
int ioOpenNextFile(ZmodemSession* session, TransferIo* io, char* name, uint32_t* length);
// Creates a received file, or opens an existing one to resume or append as
// the sender asks (session's conversionOption and managementOption, fileLength
// and fileTime of the offer); sets *position to where the data starts and
// *skip to 1 when it cannot or must not be created.
void ioCreateFile(ZmodemSession* session, TransferIo* io, const char* name, const char* information,
                  uint32_t* position, uint32_t* skip);
void ioWriteFile(ZmodemSession* session, TransferIo* io, const uint8_t* data, uint32_t count);
void ioCloseFile(ZmodemSession* session, TransferIo* io);
void ioSeekFile(ZmodemSession* session, TransferIo* io, uint32_t offset);
// Reads up to n bytes; 1 when at least one byte was read.
int ioReadFile(ZmodemSession* session, TransferIo* io, uint8_t* buffer, uint32_t n, uint32_t* count);
// Notes a file that the receiver skipped, or did not accept after every offer:
// it was not delivered, so the run does not count as a success.
void ioNoteSkipped(ZmodemSession* session, TransferIo* io);
// The receiver has confirmed the data up to ackedPosition.
void ioOnAcknowledged(ZmodemSession* session, TransferIo* io);
void ioNoteNotAccepted(ZmodemSession* session, TransferIo* io);
// Notes every name of the batch not yet opened as not sent: no receiver answered.
void ioNoteNotSent(ZmodemSession* session, TransferIo* io);
// Closes a file left open when a transfer ended early, without a progress line.
void ioReleaseFile(TransferIo* io);

// True when a received name stays inside the working directory: not absolute,
// no drive letter, no ".." component; on Windows also no device name (CON,
// PRN, AUX, NUL, COM1-9, LPT1-9, with any extension) and no ':' at all.
bool ioNameIsSafe(const char* name);
