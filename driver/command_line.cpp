#include "driver/command_line.h"

#include <cstdio>
#include <cstring>

#include "adapter/interrupt_flag.h"
#include "adapter/progress.h"
#include "driver/interrupt.h"
#include "driver/lifecycle.h"
#include "zmodem/messages.h"

namespace {

ZmodemSession session;

// Prints what is still pending and tears down; the status says whether the
// transfer ended cleanly.
int finishTransfer() {
    bool interrupted = interruptRequested != 0;
    progressFinish(interrupted);
    // One line says so, whatever else the transfer was doing when stopped.
    if (interrupted && !(errorPending() && errorIs(ZMD011_INTERRUPTED))) {
        reportError();
        raiseError(ZMD011_INTERRUPTED);
    }
    bool failed = errorPending() || session.ioState.failedFiles != 0;
    reportError();
    sessionDestroy(&session);
    fflush(stdout);
    return failed ? EXIT_TRANSFER_FAILED : EXIT_TRANSFER_OK;
}

}  // namespace

int runCommandLine(int argc, char** argv) {
    session = ZmodemSession{};
    errorSlot = ErrorSlot{};
    progressInit();
    interruptInstall();
    printf(MSG_BANNER);
    if (argc == 1 || argc > 3) {
        printf(MSG_USAGE);
        fflush(stdout);
        return EXIT_USAGE;
    }
    const char* mode = argv[1];
    if (mode[0] != '/' || (mode[1] != 'r' && mode[1] != 's')) {
        printf(MSG_UNRECOGNIZED_ARGUMENT);
        fflush(stdout);
        return EXIT_TRANSFER_OK;
    }
    if (mode[1] == 'r') {
        sessionConstruct(&session);
        sessionOpen(&session);
        sessionReceive(&session);
        return finishTransfer();
    }
    // An empty name names no file: it would end the batch before it began.
    if (argc != 3 || argv[2][0] == '\0') {
        printf(MSG_SEND_NEEDS_FILENAME);
        fflush(stdout);
        return EXIT_USAGE;
    }
    if (strlen(argv[2]) >= static_cast<size_t>(FILE_NAME_SIZE)) {
        printf(MSG_FILENAME_TOO_LONG);
        fflush(stdout);
        return EXIT_USAGE;
    }
    char filename[FILE_NAME_SIZE];
    snprintf(filename, sizeof filename, "%s", argv[2]);
    sessionConstruct(&session);
    sessionOpen(&session);
    sessionSend(&session, filename);
    return finishTransfer();
}
