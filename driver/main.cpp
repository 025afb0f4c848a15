#include <cstdio>

#include "driver/command_line.h"

int main(int argc, char** argv) {
    // Progress lines must show as they happen. Microsoft's C runtime makes
    // _IOLBF full buffering, so on Windows standard output is unbuffered.
#ifdef _WIN32
    setvbuf(stdout, nullptr, _IONBF, 0);
#else
    setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
#endif
    return runCommandLine(argc, argv);
}
