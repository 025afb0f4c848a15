#include "driver/command_line.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "adapter/console.h"
#include "adapter/file_io.h"
#include "adapter/interrupt_flag.h"
#include "adapter/line.h"
#include "adapter/port_settings.h"
#include "adapter/progress.h"
#include "adapter/send_settings.h"
#include "driver/interrupt.h"
#include "driver/lifecycle.h"
#include "driver/terminal.h"
#include "adapter/messages.h"

namespace {

ZmodemSession session;
bool sessionLineOpen = false;
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
    bool failed = !sessionLineOpen || errorPending() || session.ioState.failedFiles != 0;
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
    sessionLineOpen = false;
    errorSlot = ErrorSlot{};
    interruptInstall();
    // Standard input and output as the line: nothing may be printed on it.
    // The terminal refuses that line, and says so where the user reads it.
    bool terminalMode = argc > 1 && argv[1][0] == '/' && argv[1][1] == 't';
    if (!terminalMode) lineClaimStdio();
    // After the claim: whether the progress line shares a terminal with the
    // transcript depends on where standard output now goes.
    progressInit();
    printf(MSG_BANNER);
    // Only sending takes more than one argument after the mode.
    bool sending = argc > 1 && argv[1][0] == '/' && argv[1][1] == 's';
    if (argc == 1 || (argc > 3 && !sending)) {
        printf(MSG_USAGE);
        fflush(stdout);
        return EXIT_USAGE;
    }
    const char* mode = argv[1];
    if (mode[0] != '/' || (mode[1] != 'r' && mode[1] != 's' && mode[1] != 't')) {
        printf(MSG_UNRECOGNIZED_ARGUMENT);
        fflush(stdout);
        return EXIT_TRANSFER_OK;
    }
    if (mode[1] == 't' && !consoleIsTerminal()) return refuse(MSG_TERMINAL_NEEDS_TTY);
    // A bad line setting is refused before the port is touched.
    LineSettings settings;
    Line line{};
    bool autostart = true;
    bool autostartSet = false;
    if (!lineSettingsRead(&settings) || !lineParse(&line, &settings) ||
        (mode[1] == 't' && !readSwitch(AUTOSTART_VARIABLE, &autostart, &autostartSet))) {
        fflush(stdout);
        return EXIT_USAGE;
    }
    if (mode[1] == 't' && line.kind == LINE_STDIO) return refuse(MSG_TERMINAL_NEEDS_LINE);
    uint32_t window = line.kind == LINE_TCP || line.kind == LINE_TELNET ? NETWORK_WINDOW : DEFAULT_WINDOW;
    if (mode[1] == 't') {
        sessionConstruct(&session);
        if (!windowSettingRead(&session.window, window)) {
            fflush(stdout);
            return EXIT_USAGE;
        }
        sessionLineOpen = sessionOpen(&session);
        int status = sessionLineOpen ? runTerminal(&session, autostart) : EXIT_TRANSFER_FAILED;
        sessionDestroy(&session);
        fflush(stdout);
        return status;
    }
    if (mode[1] == 'r') {
        sessionConstruct(&session);
        sessionLineOpen = sessionOpen(&session);
        if (sessionLineOpen) sessionReceive(&session);
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
    if (!windowSettingRead(&session.window, window)) {
        fflush(stdout);
        return EXIT_USAGE;
    }
    sessionLineOpen = sessionOpen(&session);
    if (sessionLineOpen) sessionSend(&session, names, count);
    return finishTransfer();
}
