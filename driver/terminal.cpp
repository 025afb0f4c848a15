#include "driver/terminal.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <poll.h>
#include <cerrno>
#endif

#include "adapter/console.h"
#include "adapter/file_io.h"
#include "adapter/interrupt_flag.h"
#include "adapter/messages.h"
#include "adapter/progress.h"
#include "adapter/serial_link.h"
#include "adapter/line.h"
#include "driver/autostart.h"
#include "driver/command_line.h"
#include "driver/interrupt.h"
#include "driver/lifecycle.h"
#include "driver/prompt.h"
#include "zmodem/header.h"

namespace {

constexpr uint8_t COMMAND_KEY = 0x14;  // Ctrl-T
constexpr size_t LINE_CHUNK = 65536;
// Bytes of a possible header are shown when the line stays quiet this long.
constexpr int HELD_QUIET_MS = 100;
// After a transfer that went through, the sender's sign-off may still come
// until the line has been quiet this long.
constexpr int TAIL_QUIET_MS = 500;
// After a transfer that failed, what the line still brings until it has been
// quiet this long is the remote's session winding down; a remote that goes
// on sending is given back to the screen after DEBRIS_LIMIT.
constexpr int DEBRIS_QUIET_MS = 200;
constexpr auto DEBRIS_LIMIT = std::chrono::seconds(3);
constexpr uint32_t BREAK_MS = 250;

enum Command { CMD_NONE, CMD_QUIT, CMD_SEND, CMD_RECEIVE, CMD_BREAK, CMD_HELP, CMD_COMMAND_KEY };

struct CommandKey {
    uint8_t key;
    Command command;
};

const CommandKey COMMANDS[] = {
    {'q', CMD_QUIT}, {'s', CMD_SEND}, {'r', CMD_RECEIVE},  {'b', CMD_BREAK},
    {'?', CMD_HELP}, {'h', CMD_HELP}, {COMMAND_KEY, CMD_COMMAND_KEY},
};

Command commandOf(uint8_t key) {
    for (const CommandKey& row : COMMANDS)
        if (row.key == key) return row.command;
    return CMD_NONE;
}

enum Mode { MODE_TERMINAL, MODE_COMMAND, MODE_PROMPT };

struct Terminal {
    ZmodemSession* session;
    Line* line;
    bool autostart;
    Mode mode;
    bool promptForRemote;  // the remote's rz waits on the answer
    bool lineGone;
    bool goneSaid;  // a transfer has said so already
    bool quit;
    Autostart detector;
    SessionTail tail;
    Debris debris;
    Prompt prompt;
    uint8_t in[LINE_CHUNK];
    uint8_t past[LINE_CHUNK + sizeof(SessionTail::held)];  // past the tail of a session
    uint8_t out[sizeof past + AUTOSTART_HEADER_LENGTH];
};

Terminal terminal;

void toLine(const void* bytes, uint32_t n) {
    if (lineWrite(terminal.line, static_cast<const uint8_t*>(bytes), n) == LINE_GONE) terminal.lineGone = true;
}

// What has arrived, without waiting: the count, or -1 when the line is gone.
int fromLine(uint8_t* buffer, uint32_t n) {
    uint32_t count = 0;
    int status = lineReadWithin(terminal.line, buffer, n, &count, 0);
    if (count > 0) return static_cast<int>(count);
    return status == LINE_GONE ? -1 : 0;
}

void sendAbortSequence() {
    uint8_t sequence[ABORT_LENGTH];
    for (int i = 0; i < ABORT_LENGTH; i++) sequence[i] = static_cast<uint8_t>(i < ABORT_LENGTH / 2 ? ZDLE : BS);
    toLine(sequence, sizeof sequence);
}

// Waits up to ms for the line; true when it has input.
bool lineReadable(int ms) {
    if (terminal.line->next < terminal.line->end) return true;
#ifdef _WIN32
    lineArmWait(terminal.line);
    return WaitForSingleObject(lineWaitHandle(terminal.line), static_cast<DWORD>(ms)) == WAIT_OBJECT_0;
#else
    pollfd pfd{lineWaitHandle(terminal.line), POLLIN, 0};
    return poll(&pfd, 1, ms) > 0;
#endif
}

// What a failed or stopped session still sends is dropped until the line is
// quiet; the text that came after its last byte, the remote's prompt, is shown.
// Quiet is counted from the last byte, not the last wake-up: a serial port's
// wait may end with nothing to read (Wine's does, again and again).
void dropDebris() {
    using Clock = std::chrono::steady_clock;
    Debris* debris = &terminal.debris;
    debrisStart(debris);
    Clock::time_point lastByte = Clock::now();
    Clock::time_point deadline = lastByte + DEBRIS_LIMIT;
    auto quiet = std::chrono::milliseconds(DEBRIS_QUIET_MS);
    for (Clock::time_point now = lastByte; now < deadline && now - lastByte < quiet; now = Clock::now()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(quiet - (now - lastByte)).count();
        if (!lineReadable(static_cast<int>(left) + 1)) continue;
        int got = fromLine(terminal.in, sizeof terminal.in);
        if (got < 0) {
            terminal.lineGone = true;
            return;
        }
        if (got == 0) continue;
        lastByte = Clock::now();
        debrisScan(debris, terminal.in, static_cast<size_t>(got));
    }
    // An ESC last of all opens nothing yet.
    consoleWrite(debris->text, debris->count - (debris->afterEscape && debris->count > 0 ? 1 : 0));
}

// One transfer, with the console set for it and given back after.
void transfer(bool sending, char** names, int count) {
    ZmodemSession* session = terminal.session;
    consoleTransfer();
    consoleWrite("\r\n", 2);
    progressInit();
    consoleTranscript(false);
    errorSlot = ErrorSlot{};
    session->ioState.failedFiles = 0;
    closingBytes = ClosingBytes{true, false, {0, 0, 0, 0}, 0};
    if (sending)
        sessionSend(session, names, count);
    else
        sessionReceive(session);
    closingBytes.watching = closingBytes.active = false;
    bool interrupted = interruptRequested != 0;
    if (interrupted && !(errorPending() && errorIs(ZMD011_INTERRUPTED))) {
        clearError();
        raiseError(ZMD011_INTERRUPTED);
    }
    // Keys typed from the closing lines on count.
    consoleDropKeys();
    bool failed = errorPending();
    if (failed) progressReason(errorSlot.message);
    if (failed && errorIs(LIN001_LINE_GONE)) terminal.goneSaid = true;
    // The file under way gets its closing line, an interrupted one too.
    progressFinish(false);
    reportError();
    ioReleaseFile(&session->ioState);
    consoleTranscript(true);
    fflush(stdout);
    fflush(stderr);
    if (!terminateRequested) interruptRequested = 0;
    consoleResume();
    autostartReset(&terminal.detector);
    // The program is on its way out: nothing more is read.
    if (terminateRequested) return;
    if (failed) {
        dropDebris();
    } else {
        // What was read after the ZFIN is the start of the tail.
        tailStart(&terminal.tail);
        consoleWrite(terminal.out, tailScan(&terminal.tail, closingBytes.bytes, closingBytes.count, terminal.out));
    }
}

void showPrompt(bool forRemote) {
    terminal.mode = MODE_PROMPT;
    terminal.promptForRemote = forRemote;
    promptReset(&terminal.prompt);
    consoleSay(MSG_FILES_PROMPT);
}

// The answer to the prompt: the files go as with /s; none sends nothing, and
// tells a waiting rz to stop.
void promptAnswered() {
    terminal.mode = MODE_TERMINAL;
    char* names[BATCH_SIZE];
    int count = promptSplit(terminal.prompt.text, names, BATCH_SIZE - 1);
    const char* refused = nullptr;
    if (count > BATCH_SIZE - 1) refused = MSG_TOO_MANY_FILES;
    for (int i = 0; refused == nullptr && i < count; i++)
        if (strlen(names[i]) >= static_cast<size_t>(FILE_NAME_SIZE)) refused = MSG_FILENAME_TOO_LONG;
    if (refused == nullptr && count > 0 && ioCountFileNames(names, count) > BATCH_SIZE - 1)
        refused = MSG_TOO_MANY_FILES;
    if (refused != nullptr) {
        consoleSay(refused);
        consoleSay("\n");
        count = 0;
    }
    if (count == 0) {
        if (!terminal.promptForRemote) return;
        // The remote's rz answers with cancels of its own: not for the screen.
        sendAbortSequence();
        dropDebris();
        return;
    }
    transfer(true, names, count);
}

void runCommand(uint8_t key) {
    terminal.mode = MODE_TERMINAL;
    switch (commandOf(key)) {
        case CMD_QUIT:
            terminal.quit = true;
            break;
        case CMD_SEND:
            showPrompt(false);
            break;
        case CMD_RECEIVE:
            transfer(false, nullptr, 0);
            break;
        case CMD_BREAK:
            lineBreak(terminal.line, BREAK_MS);
            break;
        case CMD_HELP:
            consoleSay(MSG_TERMINAL_HELP);
            break;
        case CMD_COMMAND_KEY:
            toLine(&key, 1);
            break;
        case CMD_NONE:
            break;
    }
}

// Keys as typed: to the line, but for the command key and the prompt.
void handleKeys(const uint8_t* keys, int n) {
    int start = 0;
    for (int i = 0; i < n && !terminal.quit; i++) {
        if (terminal.mode == MODE_TERMINAL) {
            if (keys[i] != COMMAND_KEY) continue;
            if (i > start) toLine(keys + start, static_cast<uint32_t>(i - start));
            terminal.mode = MODE_COMMAND;
        } else if (terminal.mode == MODE_COMMAND) {
            runCommand(keys[i]);
        } else {
            char echo[8];
            size_t echoed = 0;
            PromptState state = promptKey(&terminal.prompt, keys[i], echo, &echoed);
            consoleWrite(echo, echoed);
            if (state == PROMPT_DONE) promptAnswered();
        }
        start = i + 1;
    }
    if (terminal.mode == MODE_TERMINAL && !terminal.quit && n > start)
        toLine(keys + start, static_cast<uint32_t>(n - start));
}

// Bytes from the line go to the screen, past the tail of the last session; a
// header that opens a session starts it, and the rest of what came with it
// belongs to the session.
void showLine(const uint8_t* bytes, size_t n) {
    if (terminal.tail.active) {
        n = tailScan(&terminal.tail, bytes, n, terminal.past);
        bytes = terminal.past;
    }
    if (!terminal.autostart) {
        consoleWrite(bytes, n);
        return;
    }
    size_t shown = 0, used = 0;
    AutostartFound found = autostartScan(&terminal.detector, bytes, n, terminal.out, &shown, &used);
    consoleWrite(terminal.out, shown);
    if (found == AUTOSTART_SENDER) transfer(false, nullptr, 0);
    if (found == AUTOSTART_RECEIVER) showPrompt(true);
}

void handleLine() {
    int got = fromLine(terminal.in, sizeof terminal.in);
    if (got < 0) {
        terminal.lineGone = true;
        return;
    }
    if (got > 0) showLine(terminal.in, static_cast<size_t>(got));
}

// The line went quiet: a tail is over, and held bytes that began no header are shown.
void lineQuiet() {
    if (terminal.tail.active && terminal.mode != MODE_PROMPT) {
        uint8_t held[sizeof(SessionTail::held)];
        size_t n = tailEnd(&terminal.tail, held);
        showLine(held, n);
    }
    if (terminal.detector.heldCount > 0) {
        size_t n = autostartRelease(&terminal.detector, terminal.out);
        consoleWrite(terminal.out, n);
    }
}

// Waits for the console, the line (not while the prompt is open), or a
// signal. Bits: 1 keys, 2 line; 0 after a time-out or a signal.
int waitForInput(int timeoutMs) {
    bool wantLine = terminal.mode != MODE_PROMPT;
#ifdef _WIN32
    if (wantLine && terminal.line->next < terminal.line->end) return 2;
    if (wantLine) lineArmWait(terminal.line);
    HANDLE handles[3] = {static_cast<HANDLE>(consoleWaitHandle()), static_cast<HANDLE>(interruptEvent()),
                         lineWaitHandle(terminal.line)};
    DWORD count = wantLine && handles[2] != nullptr ? 3 : 2;
    DWORD woke = WaitForMultipleObjects(count, handles, FALSE, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    if (woke == WAIT_OBJECT_0) return 1;
    if (woke == WAIT_OBJECT_0 + 2) return 2;
    return 0;
#else
    if (wantLine && terminal.line->next < terminal.line->end) return 2;
    pollfd fds[2] = {{consoleWaitHandle(), POLLIN, 0}, {lineWaitHandle(terminal.line), POLLIN, 0}};
    int ready = poll(fds, wantLine ? 2 : 1, timeoutMs);
    if (ready <= 0) return 0;
    int which = 0;
    if (fds[0].revents != 0) which |= 1;
    if (wantLine && fds[1].revents != 0) which |= 2;
    return which;
#endif
}

void restoreConsole() { consoleRestore(); }

}  // namespace

int runTerminal(ZmodemSession* session, bool autostart) {
    terminal.session = session;
    terminal.line = session->ioState.line;
    terminal.autostart = autostart;
    terminal.mode = MODE_TERMINAL;
    terminal.quit = false;
    terminal.lineGone = false;
    terminal.goneSaid = false;
    terminal.tail.active = false;
    autostartReset(&terminal.detector);
    printf(MSG_TERMINAL_HINT);
    fflush(stdout);
    interruptBeforeExit(restoreConsole);
    consoleRaw();
    int status = EXIT_TRANSFER_OK;
    uint8_t keys[256];
    while (!terminal.quit) {
        if (terminateRequested) {
            status = EXIT_TRANSFER_FAILED;
            break;
        }
        interruptRequested = 0;
        if (terminal.lineGone || terminal.line->gone) {
            consoleRestore();
            // On a line of its own, below what the remote left unfinished.
            if (!terminal.goneSaid) printf("\n" LIN001_LINE_GONE, lineName(terminal.line));
            status = EXIT_TRANSFER_FAILED;
            break;
        }
        bool tailOpen = terminal.tail.active && terminal.mode != MODE_PROMPT;
        int quietMs = tailOpen ? TAIL_QUIET_MS : terminal.detector.heldCount > 0 ? HELD_QUIET_MS : -1;
        int ready = waitForInput(quietMs);
        if (ready == 0 && quietMs >= 0 && !interruptRequested) lineQuiet();
        if (ready & 1) {
            int n = consoleReadKeys(keys, sizeof keys);
            if (n < 0) {
                status = EXIT_TRANSFER_FAILED;
                break;
            }
            handleKeys(keys, n);
        }
        if ((ready & 2) && terminal.mode != MODE_PROMPT && !terminal.quit) handleLine();
    }
    consoleRestore();
    interruptBeforeExit(nullptr);
    // The shell's prompt starts on a line of its own.
    if (status == EXIT_TRANSFER_OK || terminateRequested) printf("\n");
    fflush(stdout);
    return status;
}
