#include <cstdio>

#include "driver/command_line.h"

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    return runCommandLine(argc, argv);
}
