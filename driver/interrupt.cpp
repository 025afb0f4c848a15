#include "driver/interrupt.h"

#include <initializer_list>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

#include "adapter/interrupt_flag.h"
#include "adapter/line.h"
#include "driver/command_line.h"

volatile std::sig_atomic_t terminateRequested = 0;

namespace {

void (*beforeExit)() = nullptr;

#ifdef _WIN32
HANDLE wakeEvent = nullptr;
// Windows ends the process once this returns from a close, logoff or
// shutdown event; the pause gives the transfer the time to send its abort
// sequence and close its file, after which the process exits on its own.
constexpr DWORD CLOSE_GRACE_MS = 4000;

// A second event goes on to the handlers registered before this one (the
// console's code page is given back there) and then to the default one,
// which ends the process at once.
BOOL WINAPI onConsoleEvent(DWORD event) {
    if (interruptRequested) {
        if (beforeExit != nullptr) beforeExit();
        return FALSE;
    }
    interruptRequested = 1;
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) terminateRequested = 1;
    if (wakeEvent != nullptr) SetEvent(wakeEvent);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Sleep(CLOSE_GRACE_MS);
    return TRUE;
}
#else
extern "C" void onSignal(int signalNumber) {
    if (interruptRequested) {
        lineRestoreNow();
        if (beforeExit != nullptr) beforeExit();
        _exit(EXIT_TRANSFER_FAILED);
    }
    interruptRequested = 1;
    if (signalNumber != SIGINT) terminateRequested = 1;
}
#endif

}  // namespace

void interruptBeforeExit(void (*restore)()) { beforeExit = restore; }

#ifdef _WIN32
void* interruptEvent() {
    if (wakeEvent == nullptr) wakeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return wakeEvent;
}
#endif

void interruptInstall() {
#ifdef _WIN32
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#else
    // No SA_RESTART: a wait in poll or read returns with EINTR, so the flag
    // is seen at once rather than at the end of the wait.
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous {};
        // A signal ignored on entry (nohup, a background job) stays ignored.
        if (sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        sigaction(signalNumber, &action, nullptr);
    }
#endif
}
