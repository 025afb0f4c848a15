#include "adapter/file_io.h"

#include <sys/stat.h>

#include <cctype>
#include <cstring>
#include <initializer_list>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "adapter/progress.h"
#include "zmodem/messages.h"

namespace {

bool isRegular(const struct stat& info) { return (info.st_mode & S_IFMT) == S_IFREG; }

// Opens a regular file for reading; null for anything else. A device, a pipe
// or a directory (or a link to one) has no length to offer: it could stream
// without end, or block the open itself, as a pipe without a writer does. So
// on POSIX hosts the file is opened without waiting and checked before a
// stream is made of it. Windows has no open that waits like that; its device
// names open at once and are refused by the same check.
FILE* openRegularFile(const char* name) {
    struct stat info;
#ifdef _WIN32
    FILE* file = fopen(name, "rb");
    if (file != nullptr && (fstat(_fileno(file), &info) != 0 || !isRegular(info))) {
        fclose(file);
        file = nullptr;
    }
    return file;
#else
    int fd = open(name, O_RDONLY | O_NONBLOCK);
    if (fd < 0) return nullptr;
    FILE* file = nullptr;
    if (fstat(fd, &info) == 0 && isRegular(info)) file = fdopen(fd, "rb");
    if (file == nullptr) close(fd);
    return file;
#endif
}

#ifdef _WIN32
// True when the stem of one name component (up to its first dot) is a name
// that Windows maps to a device in any folder and with any extension. Windows
// drops trailing spaces and dots there, so "nul .txt" is NUL too.
bool isDeviceStem(const char* stem, size_t length) {
    while (length > 0 && (stem[length - 1] == ' ' || stem[length - 1] == '.')) length--;
    if (length < 3 || length > 7) return false;
    char upper[8];
    for (size_t i = 0; i < length; i++) upper[i] = static_cast<char>(toupper(static_cast<unsigned char>(stem[i])));
    upper[length] = '\0';
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (strcmp(upper, device) == 0) return true;
    if (length != 4 || (memcmp(upper, "COM", 3) != 0 && memcmp(upper, "LPT", 3) != 0)) return false;
    // COM1-COM9 and LPT1-LPT9, also with a superscript digit (Windows-1252).
    unsigned char digit = static_cast<unsigned char>(upper[3]);
    return (digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

// A received name that Windows would open as a device (NUL, COM1, nul.txt)
// or as a stream of a file (any ':').
bool namesDeviceOrStream(const char* name) {
    if (strchr(name, ':') != nullptr) return true;
    const char* component = name;
    for (const char* p = name;; p++) {
        if (*p == '/' || *p == '\\' || *p == '\0') {
            size_t stem = 0;
            while (component + stem < p && component[stem] != '.') stem++;
            if (isDeviceStem(component, stem)) return true;
            if (*p == '\0') return false;
            component = p + 1;
        }
    }
}
#endif

}  // namespace

void ioSetFileList(TransferIo* io, const char* name) {
    io->nextName = 0;
    forEachFileName(name, ioAddFileName, io);
    io->fileNames[io->nextName][0] = '\0';
    io->nextName = 0;
}

int forEachFileName(const char* name, int (*callback)(const char* name, void* context), void* context) {
    callback(name, context);
    return 1;
}

int ioAddFileName(const char* name, void* context) {
    TransferIo* io = static_cast<TransferIo*>(context);
    if (io->nextName >= BATCH_SIZE - 1) return 1;
    snprintf(io->fileNames[io->nextName], FILE_NAME_SIZE, "%s", name);
    io->nextName++;
    return 1;
}

int ioOpenNextFile(ZmodemSession*, TransferIo* io, char* name, uint32_t* length) {
    snprintf(name, FILE_NAME_SIZE, "%s", io->fileNames[io->nextName]);
    if (io->nextName < BATCH_SIZE - 1) io->nextName++;
    consolePrintf(MSG_OPENING_FILE, name);
    io->file = openRegularFile(name);
    // A file that opens but cannot be read, or whose length cannot be
    // measured, is no file to send either.
    if (io->file != nullptr &&
        ((fgetc(io->file) == EOF && ferror(io->file)) || fseek(io->file, 0, SEEK_END) != 0)) {
        fclose(io->file);
        io->file = nullptr;
    }
    if (io->file == nullptr) {
        consolePrintf(MSG_OPEN_FAILED, name);
        if (name[0] != '\0') io->failedFiles++;
        if (name[0] != '\0') progressNote(name, PROGRESS_FAILED);
        return 0;
    }
    long end = ftell(io->file);
    rewind(io->file);
    if (end < 0 || static_cast<unsigned long>(end) > MAX_FILE_OFFSET) {
        consolePrintf(MSG_FILE_TOO_LARGE, name);
        io->failedFiles++;
        progressNote(name, PROGRESS_FAILED);
        fclose(io->file);
        io->file = nullptr;
        return 0;
    }
    *length = static_cast<uint32_t>(end);
    progressStart(name, *length, true);
    return 1;
}

bool ioNameIsSafe(const char* name) {
#ifdef _WIN32
    if (namesDeviceOrStream(name)) return false;
#endif
    if (name[0] == '/' || name[0] == '\\') return false;
    if (name[0] != '\0' && name[1] == ':') return false;
    const char* component = name;
    for (const char* p = name;; p++) {
        if (*p == '/' || *p == '\\' || *p == '\0') {
            if (p - component == 2 && component[0] == '.' && component[1] == '.') return false;
            if (*p == '\0') return true;
            component = p + 1;
        }
    }
}

void ioCreateFile(ZmodemSession*, TransferIo* io, const char* name, const char* information, uint32_t* position,
                  uint32_t* skip) {
    consolePrintf(MSG_OPENING_FILE, name);
    io->file = ioNameIsSafe(name) ? fopen(name, "wb") : nullptr;
    if (io->file == nullptr) {
        consolePrintf(MSG_OPEN_FAILED, name);
        io->failedFiles++;
        progressNote(name, PROGRESS_FAILED);
        *skip = 1;
    } else {
        progressStartOffer(name, information);
        *skip = 0;
    }
    *position = 0;
}

void ioWriteFile(ZmodemSession* session, TransferIo* io, const uint8_t* data, uint32_t count) {
    // filePosition already counts these bytes.
    if (session->filePosition > MAX_FILE_OFFSET || session->filePosition < count) {
        raiseError(FIL003_FILE_TOO_LARGE, session->fileName);
        return;
    }
    if (count != 0 && fwrite(data, count, 1, io->file) != 1) raiseError(FIL001_WRITE_FAILED, session->fileName);
    progressUpdate(session->filePosition);
}

void ioCloseFile(ZmodemSession* session, TransferIo* io) {
    consolePrintf(MSG_CLOSING_FILE);
    if (io->file == nullptr) return;
    bool failed = ferror(io->file) != 0;
    if (fclose(io->file) != 0) failed = true;
    io->file = nullptr;
    if (failed) raiseError(FIL002_CLOSE_FAILED, session->fileName);
    progressEnd(errorPending() ? PROGRESS_FAILED : PROGRESS_DONE, session->filePosition);
}

void ioNoteSkipped(ZmodemSession* session, TransferIo* io) {
    consolePrintf(MSG_FILE_SKIPPED, session->fileName);
    progressEnd(PROGRESS_SKIPPED, session->filePosition);
    io->failedFiles++;
}

void ioNoteNotAccepted(ZmodemSession* session, TransferIo* io) {
    consolePrintf(MSG_FILE_NOT_ACCEPTED, session->fileName);
    progressEnd(PROGRESS_FAILED, session->filePosition);
    io->failedFiles++;
}

void ioNoteNotSent(ZmodemSession*, TransferIo* io) {
    for (int32_t i = io->nextName; i < BATCH_SIZE && io->fileNames[i][0] != '\0'; i++) {
        consolePrintf(MSG_FILE_NOT_SENT, io->fileNames[i]);
        progressNote(io->fileNames[i], PROGRESS_FAILED);
        io->failedFiles++;
    }
}

void ioReleaseFile(TransferIo* io) {
    if (io->file == nullptr) return;
    fclose(io->file);
    io->file = nullptr;
}

void ioSeekFile(ZmodemSession* session, TransferIo* io, uint32_t offset) {
    // A failed seek would send data from the old position under the new offset.
    if (offset > MAX_FILE_OFFSET || fseek(io->file, static_cast<long>(offset), SEEK_SET) != 0)
        raiseError(FIL005_SEEK_FAILED, session->fileName, static_cast<unsigned long>(offset));
    consolePrintf(MSG_SEEKING, static_cast<unsigned long>(offset));
    progressSeek(offset);
}

int ioReadFile(ZmodemSession* session, TransferIo* io, uint8_t* buffer, uint32_t n, uint32_t* count) {
    size_t got = fread(buffer, 1, n, io->file);
    *count = static_cast<uint32_t>(got);
    consolePrintf(MSG_READ_BYTES, static_cast<int>(got));
    progressUpdate(session->filePosition);
    if (got < n && ferror(io->file)) raiseError(FIL004_READ_FAILED, session->fileName);
    return got != 0 ? 1 : 0;
}
