// Opening a file by the name that travels on the line or came from the
// command line. Such names are UTF-8. POSIX hosts take a name as its bytes;
// Windows opens a name that is valid UTF-8 under its Unicode name, and takes
// any other as text in the ANSI code page.
#pragma once

#include <sys/stat.h>

#include <cstdio>

#ifdef _WIN32
FILE* openNamedFile(const char* name, const char* mode);
// stat by the same name rules. A length beyond what the record holds is
// given as the largest it holds.
int statNamedFile(const char* name, struct stat* info);
// True when the open file is a regular file, whatever its length.
bool openFileIsRegular(FILE* file);
#else
inline FILE* openNamedFile(const char* name, const char* mode) { return fopen(name, mode); }
inline int statNamedFile(const char* name, struct stat* info) { return stat(name, info); }
#endif
