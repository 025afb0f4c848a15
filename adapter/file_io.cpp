#include "adapter/file_io.h"

#include <sys/stat.h>

#include <cctype>
#include <cstring>
#include <initializer_list>

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "adapter/file_names.h"
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
    FILE* file = openNamedFile(name, "rb");
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
    // A UTF-8 name is created under its Unicode name: its superscript digit
    // (C2 B9, B2 or B3) is the same character as the Windows-1252 byte.
    char ansi[8];
    if (length == 5 && static_cast<unsigned char>(stem[3]) == 0xC2) {
        memcpy(ansi, stem, 3);
        ansi[3] = stem[4];
        stem = ansi;
        length = 4;
    }
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

// The length of an open file, -1 when it cannot be measured. On Windows the
// C library's fseek fails at 2 GiB and beyond, so there the 64-bit length
// tells a large file from one that cannot be read.
long long fileLength(FILE* file) {
#ifdef _WIN32
    return _filelengthi64(_fileno(file));
#else
    if (fseek(file, 0, SEEK_END) != 0) return -1;
    return ftell(file);
#endif
}

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
    printf(MSG_OPENING_FILE, name);
    io->file = openRegularFile(name);
    // A file that opens but cannot be read, or whose length cannot be
    // measured, is no file to send either.
    long long end = -1;
    if (io->file != nullptr && !(fgetc(io->file) == EOF && ferror(io->file))) end = fileLength(io->file);
    if (io->file != nullptr && end < 0) {
        fclose(io->file);
        io->file = nullptr;
    }
    if (io->file == nullptr) {
        printf(MSG_OPEN_FAILED, name);
        if (name[0] != '\0') io->failedFiles++;
        return 0;
    }
    rewind(io->file);
    if (end > static_cast<long long>(MAX_FILE_OFFSET)) {
        printf(MSG_FILE_TOO_LARGE, name);
        io->failedFiles++;
        fclose(io->file);
        io->file = nullptr;
        return 0;
    }
    *length = static_cast<uint32_t>(end);
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

void ioCreateFile(ZmodemSession*, TransferIo* io, const char* name, const char*, uint32_t* position,
                  uint32_t* skip) {
    printf(MSG_OPENING_FILE, name);
    io->file = ioNameIsSafe(name) ? openNamedFile(name, "wb") : nullptr;
    if (io->file == nullptr) {
        printf(MSG_OPEN_FAILED, name);
        io->failedFiles++;
        *skip = 1;
    } else {
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
}

void ioCloseFile(ZmodemSession* session, TransferIo* io) {
    printf(MSG_CLOSING_FILE);
    if (io->file == nullptr) return;
    bool failed = ferror(io->file) != 0;
    if (fclose(io->file) != 0) failed = true;
    io->file = nullptr;
    if (failed) raiseError(FIL002_CLOSE_FAILED, session->fileName);
}

void ioNoteSkipped(ZmodemSession* session, TransferIo* io) {
    printf(MSG_FILE_SKIPPED, session->fileName);
    io->failedFiles++;
}

void ioNoteNotAccepted(ZmodemSession* session, TransferIo* io) {
    printf(MSG_FILE_NOT_ACCEPTED, session->fileName);
    io->failedFiles++;
}

void ioNoteNotSent(ZmodemSession*, TransferIo* io) {
    for (int32_t i = io->nextName; i < BATCH_SIZE && io->fileNames[i][0] != '\0'; i++) {
        printf(MSG_FILE_NOT_SENT, io->fileNames[i]);
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
    printf(MSG_SEEKING, static_cast<unsigned long>(offset));
}

int ioReadFile(ZmodemSession* session, TransferIo* io, uint8_t* buffer, uint32_t n, uint32_t* count) {
    size_t got = fread(buffer, 1, n, io->file);
    *count = static_cast<uint32_t>(got);
    printf(MSG_READ_BYTES, static_cast<int>(got));
    if (got < n && ferror(io->file)) raiseError(FIL004_READ_FAILED, session->fileName);
    return got != 0 ? 1 : 0;
}
