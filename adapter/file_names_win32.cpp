#include "adapter/file_names.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "zmodem/constants.h"

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
