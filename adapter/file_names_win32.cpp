#include "adapter/file_names.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <io.h>

#include <climits>

#include "adapter/constants.h"

namespace {

constexpr int MODE_SIZE = 8;

// The UTF-16 form of a UTF-8 text; false when the text is not valid UTF-8.
bool decodeUtf8(const char* text, wchar_t* wide, int size) {
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide, size) != 0;
}

}  // namespace

FILE* openNamedFile(const char* name, const char* mode) {
    wchar_t wideName[FILE_NAME_SIZE];
    wchar_t wideMode[MODE_SIZE];
    if (!decodeUtf8(name, wideName, FILE_NAME_SIZE) || !decodeUtf8(mode, wideMode, MODE_SIZE))
        return fopen(name, mode);
    return _wfopen(wideName, wideMode);
}

int statNamedFile(const char* name, struct stat* info) {
    wchar_t wideName[FILE_NAME_SIZE];
    if (!decodeUtf8(name, wideName, FILE_NAME_SIZE)) return stat(name, info);
    struct _stat64 wide;
    if (_wstat64(wideName, &wide) != 0) return -1;
    *info = {};
    info->st_mode = wide.st_mode;
    info->st_mtime = static_cast<time_t>(wide.st_mtime);
    info->st_size = wide.st_size > LONG_MAX ? LONG_MAX : static_cast<_off_t>(wide.st_size);
    return 0;
}

bool openFileIsRegular(FILE* file) {
    struct _stat64 info;
    return _fstat64(_fileno(file), &info) == 0 && (info.st_mode & S_IFMT) == S_IFREG;
}
