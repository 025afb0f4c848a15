#include "adapter/file_io.h"

#include <sys/stat.h>

#include <cctype>
#include <cstring>
#include <initializer_list>

#ifdef _WIN32
#include <io.h>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "adapter/file_names.h"
#include "adapter/progress.h"
#include "adapter/messages.h"

namespace {

bool isRegular(const struct stat& info) { return (info.st_mode & S_IFMT) == S_IFREG; }

// stat that does not follow a symbolic link; Windows has none to stop at.
int statNoFollow(const char* name, struct stat* info) {
#ifdef _WIN32
    return statNamedFile(name, info);
#else
    return lstat(name, info);
#endif
}

#ifndef _WIN32
// A descriptor opened without waiting is made to wait again for its reads
// and writes.
bool clearNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}
#endif

// Opens a regular file for reading; null for anything else. A device, a pipe
// or a directory (or a link to one) has no length to offer: it could stream
// without end, or block the open itself, as a pipe without a writer does. So
// the type is looked at before the file is opened, and refusing a device never
// opens it; the open itself does not wait, and its result is checked again.
FILE* openRegularFile(const char* name, struct stat* info) {
    if (statNamedFile(name, info) != 0 || !isRegular(*info)) return nullptr;
#ifdef _WIN32
    FILE* file = openNamedFile(name, "rb");
    if (file != nullptr && !openFileIsRegular(file)) {
        fclose(file);
        file = nullptr;
    }
    return file;
#else
    int fd = open(name, O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return nullptr;
    FILE* file = nullptr;
    if (fstat(fd, info) == 0 && isRegular(*info) && clearNonBlocking(fd)) file = fdopen(fd, "rb");
    if (file == nullptr) close(fd);
    return file;
#endif
}

// Creates (or truncates) a received file, or opens it to append. Never
// through a symbolic link, and never anything but a regular file: a pipe or
// a device under that name would block the open or swallow the data.
FILE* createRegularFile(const char* name, bool append) {
#ifdef _WIN32
    FILE* file = openNamedFile(name, append ? "ab" : "wb");
    if (file != nullptr && !openFileIsRegular(file)) {
        fclose(file);
        file = nullptr;
    }
    return file;
#else
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | (append ? O_APPEND : O_TRUNC);
    int fd = open(name, flags, 0666);
    if (fd < 0) return nullptr;
    struct stat info;
    FILE* file = nullptr;
    if (fstat(fd, &info) == 0 && isRegular(info) && clearNonBlocking(fd)) file = fdopen(fd, append ? "ab" : "wb");
    if (file == nullptr) close(fd);
    return file;
#endif
}

// Gives a file about to be closed the modification time `seconds`.
void setFileTime(FILE* file, uint32_t seconds) {
    fflush(file);
#ifdef _WIN32
    // FILETIME counts 100 ns steps from 1601.
    uint64_t ticks = (static_cast<uint64_t>(seconds) + 11644473600ULL) * 10000000ULL;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    SetFileTime(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))), nullptr, nullptr, &time);
#else
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_NOW;
    times[1].tv_sec = static_cast<time_t>(seconds);
    times[1].tv_nsec = 0;
    futimens(fileno(file), times);
#endif
}

// The modification time of a file as offered: seconds since 1970, 0 when
// unknown or out of range.
uint32_t offeredTime(const struct stat& info) {
    if (info.st_mtime <= 0 || static_cast<uint64_t>(info.st_mtime) > 0xFFFFFFFFu) return 0;
    return static_cast<uint32_t>(info.st_mtime);
}

// Counts the files still to offer after the one just opened, and their bytes.
// Names that do not name a regular file will not go and are left out.
void countRestOfBatch(ZmodemSession* session, const TransferIo* io) {
    session->batchFiles = 0;
    session->batchBytes = session->fileLength;
    if (io->fileNames[1][0] == '\0') return;  // a batch of one
    session->batchFiles = 1;
    for (int32_t i = io->nextName; i < BATCH_SIZE && io->fileNames[i][0] != '\0'; i++) {
        struct stat info;
        if (statNamedFile(io->fileNames[i], &info) != 0 || !isRegular(info) || info.st_size < 0 ||
            static_cast<uint64_t>(info.st_size) > MAX_FILE_OFFSET)
            continue;
        session->batchFiles++;
        session->batchBytes += static_cast<uint64_t>(info.st_size);
    }
}

// What the sender asked for a file that may already exist here.
enum TakeAction { TAKE_NEW, TAKE_APPEND, TAKE_RESUME, TAKE_SKIP };

TakeAction chooseAction(const ZmodemSession* session, const char* name, uint32_t* existingLength) {
    struct stat info;
    bool exists = statNoFollow(name, &info) == 0;
    bool regular = exists && isRegular(info);
    uint32_t management = session->managementOption & ZMMASK;
    if ((session->managementOption & ZMSKNOLOC) && !exists) return TAKE_SKIP;
    // Anything but a regular file is refused by the open itself.
    if (!regular) return TAKE_NEW;
    uint64_t length = info.st_size < 0 ? 0 : static_cast<uint64_t>(info.st_size);
    bool newer = session->fileTime != 0 && static_cast<int64_t>(session->fileTime) > static_cast<int64_t>(info.st_mtime);
    if (management == ZMPROT) return TAKE_SKIP;
    if (management == ZMNEW && !newer) return TAKE_SKIP;
    if (management == ZMNEWL && !newer && length == session->fileLength) return TAKE_SKIP;
    if (session->conversionOption == ZCRESUM) {
        if (length >= session->fileLength) return TAKE_SKIP;
        *existingLength = static_cast<uint32_t>(length);
        return TAKE_RESUME;
    }
    if (management == ZMAPND) return TAKE_APPEND;
    return TAKE_NEW;
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

void ioSetFileList(TransferIo* io, const char* name) { ioSetFileNames(io, &name, 1); }

void ioSetFileNames(TransferIo* io, const char* const* names, int count) {
    io->nextName = 0;
    for (int i = 0; i < count; i++) forEachFileName(names[i], ioAddFileName, io);
    io->fileNames[io->nextName][0] = '\0';
    io->nextName = 0;
}

namespace {

int countName(const char*, void* context) {
    ++*static_cast<int*>(context);
    return 1;
}

}  // namespace

int ioCountFileNames(const char* const* names, int count) {
    int total = 0;
    for (int i = 0; i < count; i++) forEachFileName(names[i], countName, &total);
    return total;
}

#ifdef _WIN32
// Windows shells leave wildcards to the program: a name with `*` or `?` stands
// for the files it matches, in the order the folder lists them. A pattern
// that matches no file is kept as it is, so that it is reported as missing.
// Names are UTF-8 here, so the folder is searched by its UTF-16 names.
int forEachFileName(const char* name, int (*callback)(const char* name, void* context), void* context) {
    wchar_t pattern[FILE_NAME_SIZE];
    WIN32_FIND_DATAW found;
    HANDLE search = INVALID_HANDLE_VALUE;
    if (strpbrk(name, "*?") != nullptr &&
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, pattern, FILE_NAME_SIZE) != 0)
        search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        callback(name, context);
        return 1;
    }
    // Matches are found by their bare names; the folder part of the pattern goes in front.
    const char* base = name;
    for (const char* p = name; *p != '\0'; p++)
        if (*p == '/' || *p == '\\' || *p == ':') base = p + 1;
    int matched = 0;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        char bare[FILE_NAME_SIZE * 3];
        if (WideCharToMultiByte(CP_UTF8, 0, found.cFileName, -1, bare, sizeof bare, nullptr, nullptr) == 0) continue;
        char path[FILE_NAME_SIZE * 4];
        snprintf(path, sizeof path, "%.*s%s", static_cast<int>(base - name), name, bare);
        callback(path, context);
        matched++;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    if (matched == 0) callback(name, context);
    return 1;
}
#else
// The shell has expanded any pattern already: a name is taken as it is.
int forEachFileName(const char* name, int (*callback)(const char* name, void* context), void* context) {
    callback(name, context);
    return 1;
}
#endif

int ioAddFileName(const char* name, void* context) {
    TransferIo* io = static_cast<TransferIo*>(context);
    if (io->nextName >= BATCH_SIZE - 1) return 1;
    snprintf(io->fileNames[io->nextName], FILE_NAME_SIZE, "%s", name);
    io->nextName++;
    return 1;
}

int ioOpenNextFile(ZmodemSession* session, TransferIo* io, char* name, uint32_t* length) {
    snprintf(name, FILE_NAME_SIZE, "%s", io->fileNames[io->nextName]);
    if (io->nextName < BATCH_SIZE - 1) io->nextName++;
    consolePrintf(MSG_OPENING_FILE, name);
    io->closeTime = 0;
    struct stat info;
    io->file = name[0] != '\0' ? openRegularFile(name, &info) : nullptr;
    // A file that opens but cannot be read, or whose length cannot be
    // measured, is no file to send either.
    long long end = -1;
    if (io->file != nullptr && !(fgetc(io->file) == EOF && ferror(io->file))) end = fileLength(io->file);
    if (io->file != nullptr && end < 0) {
        fclose(io->file);
        io->file = nullptr;
    }
    if (io->file == nullptr) {
        consolePrintf(MSG_OPEN_FAILED, name);
        if (name[0] != '\0') io->failedFiles++;
        if (name[0] != '\0') progressNote(name, PROGRESS_FAILED);
        return 0;
    }
    rewind(io->file);
    if (end > static_cast<long long>(MAX_FILE_OFFSET)) {
        consolePrintf(MSG_FILE_TOO_LARGE, name);
        io->failedFiles++;
        progressNote(name, PROGRESS_FAILED);
        fclose(io->file);
        io->file = nullptr;
        return 0;
    }
    *length = static_cast<uint32_t>(end);
    session->fileTime = offeredTime(info);
#ifdef _WIN32
    session->fileMode = WINDOWS_FILE_MODE;
#else
    session->fileMode = static_cast<uint32_t>(info.st_mode);
#endif
    countRestOfBatch(session, io);
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

void ioCreateFile(ZmodemSession* session, TransferIo* io, const char* name, const char* information,
                  uint32_t* position, uint32_t* skip) {
    *position = 0;
    *skip = 0;
    uint32_t existingLength = 0;
    bool safe = ioNameIsSafe(name);
    TakeAction action = safe ? chooseAction(session, name, &existingLength) : TAKE_NEW;
    if (action == TAKE_SKIP) {
        consolePrintf(MSG_FILE_SKIPPED_AS_ASKED, name);
        progressNote(name, PROGRESS_SKIPPED);
        *skip = 1;
        return;
    }
    consolePrintf(MSG_OPENING_FILE, name);
    io->file = safe ? createRegularFile(name, action != TAKE_NEW) : nullptr;
    if (io->file == nullptr) {
        consolePrintf(MSG_OPEN_FAILED, name);
        io->failedFiles++;
        progressNote(name, PROGRESS_FAILED);
        *skip = 1;
        return;
    }
    io->closeTime = session->fileTime;
    // A resumed file goes on from what is here; an appended one takes the
    // whole file behind it.
    if (action == TAKE_RESUME) *position = existingLength;
    progressStartOffer(name, information);
    if (*position != 0) progressSeek(*position);
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
    if (io->closeTime != 0) setFileTime(io->file, io->closeTime);
    io->closeTime = 0;
    if (fclose(io->file) != 0) failed = true;
    io->file = nullptr;
    if (failed) raiseError(FIL002_CLOSE_FAILED, session->fileName);
    progressEnd(errorPending() ? PROGRESS_FAILED : PROGRESS_DONE, session->filePosition);
}

void ioOnAcknowledged(ZmodemSession* session, TransferIo*) { progressUpdate(session->ackedPosition); }

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
    // Where the receiver confirms what it has, that is the progress made.
    progressUpdate(session->acksCome ? session->ackedPosition : session->filePosition);
    if (got < n && ferror(io->file)) raiseError(FIL004_READ_FAILED, session->fileName);
    return got != 0 ? 1 : 0;
}
