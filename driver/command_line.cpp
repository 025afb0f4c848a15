#include "driver/command_line.h"

#include <cstdio>
#include <cstring>

#include "adapter/file_io.h"
#include "adapter/interrupt_flag.h"
#include "adapter/port_settings.h"
#include "adapter/send_settings.h"
#include "adapter/progress.h"
#include "driver/interrupt.h"
#include "driver/lifecycle.h"
#include "adapter/messages.h"

namespace {

ZmodemSession session;
bool lineOpen = false;
static_assert(BATCH_SIZE - 1 == 255, "MSG_TOO_MANY_FILES names the batch limit");

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
    bool failed = !lineOpen || errorPending() || session.ioState.failedFiles != 0;
    reportError();
    sessionDestroy(&session);
    fflush(stdout);
    return failed ? EXIT_TRANSFER_FAILED : EXIT_TRANSFER_OK;
}

// Prints an argument error; the status says so.
int refuse(const char* message) {
    printf("%s", message);
    fflush(stdout);
    return EXIT_USAGE;
}

}  // namespace

int runCommandLine(int argc, char** argv) {
    session = ZmodemSession{};
    lineOpen = false;
    errorSlot = ErrorSlot{};
    progressInit();
    interruptInstall();
    printf(MSG_BANNER);
    // Only sending takes more than one argument after the mode.
    bool sending = argc > 1 && argv[1][0] == '/' && argv[1][1] == 's';
    if (argc == 1 || (argc > 3 && !sending)) {
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
    // A bad line setting is refused before the port is touched.
    LineSettings line;
    if (!lineSettingsRead(&line)) {
        fflush(stdout);
        return EXIT_USAGE;
    }
    if (mode[1] == 'r') {
        sessionConstruct(&session);
        lineOpen = sessionOpen(&session);
        if (lineOpen) sessionReceive(&session);
        return finishTransfer();
    }
    const char* const* names = argv + 2;
    int count = argc - 2;
    // An empty name names no file: it would end the batch where it stands.
    if (count == 0) return refuse(MSG_SEND_NEEDS_FILENAME);
    for (int i = 0; i < count; i++) {
        if (names[i][0] == '\0') return refuse(MSG_SEND_NEEDS_FILENAME);
        if (strlen(names[i]) >= static_cast<size_t>(FILE_NAME_SIZE)) return refuse(MSG_FILENAME_TOO_LONG);
    }
    if (ioCountFileNames(names, count) > BATCH_SIZE - 1) return refuse(MSG_TOO_MANY_FILES);
    sessionConstruct(&session);
    if (!windowSettingRead(&session.window)) {
        fflush(stdout);
        return EXIT_USAGE;
    }
    lineOpen = sessionOpen(&session);
    if (lineOpen) sessionSend(&session, names, count);
    return finishTransfer();
}
