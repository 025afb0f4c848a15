#include "adapter/progress.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "adapter/constants.h"
#include "adapter/messages.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(200);
constexpr int DEFAULT_COLUMNS = 80;
constexpr int LINE_SIZE = 512;
constexpr size_t CONSOLE_TEXT_SIZE = 1024;

struct ProgressLine {
    bool enabled;         // standard error is a terminal
    bool sharesTerminal;  // standard output reaches the same terminal
    bool stdoutMidLine;   // standard output left its cursor inside a line
    bool active;          // a file is under way
    bool hasTotal;
    int drawnLength;      // columns of the line now on the terminal; 0: none
    char shownTail[LINE_SIZE];  // what follows the name in the line last drawn
    char name[FILE_NAME_SIZE];
    unsigned long total;
    unsigned long position;
    unsigned long startPosition;
    Clock::time_point fileStart;
    Clock::time_point lastDraw;
    int files;
    unsigned long batchBytes;
    Clock::time_point batchStart;
};

ProgressLine progress;
bool transcriptHidden = false;
char reason[LINE_SIZE / 2];

int terminalColumns() {
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
#else
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
    return DEFAULT_COLUMNS;
}

void writeError(const char* text, size_t length) {
#ifdef _WIN32
    // A console draws the UTF-8 of a name whatever its code page, as
    // characters; the C library would hand it the bytes.
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    WCHAR wide[LINE_SIZE * 2 + 2];
    int count = length < sizeof wide / sizeof wide[0] && GetConsoleMode(console, &mode)
                    ? MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(length), wide, LINE_SIZE * 2 + 2)
                    : 0;
    if (count > 0) {
        fflush(stderr);
        DWORD done = 0;
        WriteConsoleW(console, wide, static_cast<DWORD>(count), &done, nullptr);
        return;
    }
#endif
    fwrite(text, 1, length, stderr);
    fflush(stderr);
}

void formatRate(char* out, size_t size, double bytesPerSecond) {
    if (bytesPerSecond < 1024.0)
        snprintf(out, size, MSG_RATE_BYTES, static_cast<unsigned long>(bytesPerSecond));
    else if (bytesPerSecond < 1024.0 * 1024.0)
        snprintf(out, size, MSG_RATE_KIB, bytesPerSecond / 1024.0);
    else
        snprintf(out, size, MSG_RATE_MIB, bytesPerSecond / (1024.0 * 1024.0));
}

void formatDuration(char* out, size_t size, double seconds) {
    if (seconds < 0 || seconds > 359999.0) {
        snprintf(out, size, MSG_DURATION_UNKNOWN);
        return;
    }
    unsigned long whole = static_cast<unsigned long>(seconds + 0.5);
    if (whole >= 3600)
        snprintf(out, size, MSG_DURATION_HOURS, whole / 3600, whole / 60 % 60, whole % 60);
    else
        snprintf(out, size, MSG_DURATION, whole / 60, whole % 60);
}

double secondsSince(Clock::time_point start, Clock::time_point now) {
    return std::chrono::duration<double>(now - start).count();
}

double rateOf(unsigned long bytes, double seconds) { return seconds > 0 ? static_cast<double>(bytes) / seconds : 0.0; }

unsigned long movedBytes() {
    return progress.position > progress.startPosition ? progress.position - progress.startPosition : 0;
}

unsigned percentOf() {
    if (progress.total == 0) return 100;
    unsigned long shown = progress.position < progress.total ? progress.position : progress.total;
    return static_cast<unsigned>(static_cast<double>(shown) * 100.0 / static_cast<double>(progress.total));
}

// Takes the line off the terminal: blanks over it and returns the cursor.
void eraseLine() {
    if (progress.drawnLength == 0) return;
    char text[LINE_SIZE + 2];
    int length = progress.drawnLength;
    text[0] = '\r';
    memset(text + 1, ' ', static_cast<size_t>(length));
    text[length + 1] = '\r';
    writeError(text, static_cast<size_t>(length) + 2);
    progress.drawnLength = 0;
}

// The bytes of one character of a name at text, and the columns it may take:
// a UTF-8 sequence is kept whole, one of three or four bytes counted as two
// columns (wide characters), and a byte of no sequence as one (a stand-in).
int characterAt(const unsigned char* text, int* columns) {
    int length = text[0] >= 0xF0 && text[0] <= 0xF4 ? 4 : text[0] >= 0xE0 ? 3 : text[0] >= 0xC2 ? 2 : 1;
    for (int i = 1; i < length; i++)
        if ((text[i] & 0xC0) != 0x80) length = 1;
    *columns = length > 2 ? 2 : 1;
    return length;
}

// Draws the name and the tail over the line now shown, shortening the name
// so that the whole fits one row of the terminal and never wraps. Lengths
// here are columns, counted at most as wide as the terminal shows them.
void drawLine(const char* tail, bool endLine) {
    char text[LINE_SIZE + 2];
    int width = terminalColumns() - 1;
    if (width > LINE_SIZE - 1) width = LINE_SIZE - 1;
    int tailLength = static_cast<int>(strlen(tail));
    int room = width - tailLength;
    int nameBytes = 0;
    int nameColumns = 0;
    const unsigned char* name = reinterpret_cast<const unsigned char*>(progress.name);
    while (name[nameBytes] != '\0') {
        int columns = 0;
        int bytes = characterAt(name + nameBytes, &columns);
        if (nameColumns + columns > room) break;
        nameBytes += bytes;
        nameColumns += columns;
    }
    int bytes = snprintf(text + 1, LINE_SIZE, "%.*s%s", nameBytes, progress.name, tail);
    if (bytes > LINE_SIZE - 1) bytes = LINE_SIZE - 1;
    int length = nameColumns + tailLength;
    // A terminal too narrow for the figures: they are cut, the name is gone.
    if (length > width) length = bytes = width < 0 ? 0 : width;
    // Standard output left a line unfinished on this terminal: start below it.
    if (progress.sharesTerminal && progress.stdoutMidLine) {
        writeError("\n", 1);
        progress.stdoutMidLine = false;
        progress.drawnLength = 0;
    }
    text[0] = '\r';
    int total = bytes + 1;
    for (int pad = length; pad < progress.drawnLength && total < LINE_SIZE + 1; pad++) text[total++] = ' ';
    if (endLine) text[total++] = '\n';
    writeError(text, static_cast<size_t>(total));
    progress.drawnLength = endLine ? 0 : length;
}

void drawRunning(Clock::time_point now) {
    char tail[LINE_SIZE], rate[32], left[32];
    double elapsed = secondsSince(progress.fileStart, now);
    double bytesPerSecond = rateOf(movedBytes(), elapsed);
    formatRate(rate, sizeof rate, bytesPerSecond);
    if (progress.hasTotal) {
        unsigned long remaining = progress.total > progress.position ? progress.total - progress.position : 0;
        formatDuration(left, sizeof left, bytesPerSecond > 0 ? static_cast<double>(remaining) / bytesPerSecond : -1.0);
        snprintf(tail, sizeof tail, MSG_PROGRESS_RUNNING, progress.position, progress.total, percentOf(), rate,
                 left);
    } else {
        snprintf(tail, sizeof tail, MSG_PROGRESS_RUNNING_NO_TOTAL, progress.position, rate);
    }
    snprintf(progress.shownTail, sizeof progress.shownTail, "%s", tail);
    drawLine(tail, false);
    progress.lastDraw = now;
}

}  // namespace

void progressInit() {
    progress = ProgressLine{};
    reason[0] = '\0';
#ifdef _WIN32
    DWORD mode = 0;
    progress.enabled = GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
    progress.sharesTerminal = progress.enabled && GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
#else
    progress.enabled = isatty(STDERR_FILENO) != 0;
    struct stat out {}, err {};
    progress.sharesTerminal = progress.enabled && isatty(STDOUT_FILENO) != 0 && fstat(STDOUT_FILENO, &out) == 0 &&
                              fstat(STDERR_FILENO, &err) == 0 && out.st_rdev == err.st_rdev;
#endif
}

namespace {

// The lines of the transcript that say why a file did not go.
bool isReason(const char* format) {
    for (const char* why : {MSG_OPEN_FAILED, MSG_FILE_TOO_LARGE, MSG_FILE_SKIPPED_AS_ASKED, MSG_FILE_SKIPPED,
                            MSG_FILE_NOT_ACCEPTED, MSG_FILE_NOT_SENT})
        if (strcmp(format, why) == 0) return true;
    return false;
}

}  // namespace

void consolePrintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (transcriptHidden) {
        // Kept for the file's closing line, without its line end.
        if (isReason(format)) {
            vsnprintf(reason, sizeof reason, format, args);
            size_t length = strlen(reason);
            if (length > 0 && reason[length - 1] == '\n') reason[length - 1] = '\0';
        }
        va_end(args);
        return;
    }
    if (!progress.sharesTerminal) {
        vprintf(format, args);
        va_end(args);
        return;
    }
    char text[CONSOLE_TEXT_SIZE];
    int length = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length <= 0) return;
    bool redraw = progress.active && progress.drawnLength > 0;
    eraseLine();
    if (static_cast<size_t>(length) < sizeof text) {
        fputs(text, stdout);
    } else {
        va_start(args, format);
        vprintf(format, args);
        va_end(args);
    }
    fflush(stdout);
    progress.stdoutMidLine = text[static_cast<size_t>(length) < sizeof text ? length - 1 : sizeof text - 2] != '\n';
    // The same text again: its figures change at most five times a second.
    if (redraw) drawLine(progress.shownTail, false);
}

void consoleTranscript(bool shown) { transcriptHidden = !shown; }

void consoleShowError(const char* text) {
    bool hidden = transcriptHidden;
    transcriptHidden = false;
    consolePrintf("%s", text);
    transcriptHidden = hidden;
}

void progressReason(const char* why) {
    if (!transcriptHidden || reason[0] != '\0') return;
    snprintf(reason, sizeof reason, "%s", why);
    size_t length = strlen(reason);
    if (length > 0 && reason[length - 1] == '\n') reason[length - 1] = '\0';
}

void progressStart(const char* name, uint32_t total, bool hasTotal) {
    if (!progress.enabled) return;
    Clock::time_point now = Clock::now();
    if (progress.files == 0 && !progress.active) progress.batchStart = now;
    snprintf(progress.name, sizeof progress.name, "%s", name);
    progress.active = true;
    progress.hasTotal = hasTotal;
    progress.total = total;
    progress.position = progress.startPosition = 0;
    progress.fileStart = now;
    drawRunning(now);
}

void progressStartOffer(const char* name, const char* information) {
    if (!progress.enabled) return;
    char* end = nullptr;
    unsigned long length = information != nullptr ? strtoul(information, &end, 10) : 0;
    bool hasTotal = end != nullptr && end != information && length <= MAX_FILE_OFFSET;
    progressStart(name, static_cast<uint32_t>(hasTotal ? length : 0), hasTotal);
}

void progressUpdate(uint32_t position) {
    if (!progress.active) return;
    progress.position = position;
    Clock::time_point now = Clock::now();
    if (now - progress.lastDraw >= REDRAW_INTERVAL) drawRunning(now);
}

void progressSeek(uint32_t offset) {
    if (!progress.active) return;
    // Before any data, the first offset is where the transfer resumes.
    if (progress.position == progress.startPosition) progress.startPosition = offset;
    progressUpdate(offset);
}

void progressEnd(ProgressOutcome outcome, uint32_t position) {
    if (!progress.active) return;
    progress.position = position;
    Clock::time_point now = Clock::now();
    double elapsed = secondsSince(progress.fileStart, now);
    char tail[LINE_SIZE * 2], rate[32], took[32];
    formatRate(rate, sizeof rate, rateOf(movedBytes(), elapsed));
    formatDuration(took, sizeof took, elapsed);
    const char* said = outcome == PROGRESS_DONE     ? MSG_PROGRESS_DONE
                       : outcome == PROGRESS_FAILED ? MSG_PROGRESS_FAILED
                                                    : MSG_PROGRESS_SKIPPED;
    // Without the transcript, the closing line also says why a file did not go.
    char outcomeText[LINE_SIZE / 2 + 32];
    if (reason[0] != '\0' && outcome != PROGRESS_DONE)
        snprintf(outcomeText, sizeof outcomeText, MSG_PROGRESS_WHY, said, reason);
    else
        snprintf(outcomeText, sizeof outcomeText, "%s", said);
    reason[0] = '\0';
    if (progress.hasTotal)
        snprintf(tail, sizeof tail, MSG_PROGRESS_ENDED, progress.position, progress.total, percentOf(), took, rate,
                 outcomeText);
    else
        snprintf(tail, sizeof tail, MSG_PROGRESS_ENDED_NO_TOTAL, progress.position, took, rate, outcomeText);
    drawLine(tail, true);
    progress.active = false;
    progress.files++;
    progress.batchBytes += movedBytes();
}

void progressNote(const char* name, ProgressOutcome outcome) {
    if (!progress.enabled) return;
    progressStart(name, 0, false);
    progressEnd(outcome, 0);
}

void progressFinish(bool interrupted) {
    if (!progress.enabled) return;
    if (interrupted) {
        eraseLine();
        progress.active = false;
        // Standard output carries the same line; when it goes elsewhere, the
        // person at the terminal still reads why the line went away.
        if (!progress.sharesTerminal) writeError(ZMD011_INTERRUPTED, sizeof ZMD011_INTERRUPTED - 1);
        return;
    }
    progressEnd(PROGRESS_FAILED, static_cast<uint32_t>(progress.position));
    if (progress.files == 0) return;
    Clock::time_point now = Clock::now();
    double elapsed = secondsSince(progress.batchStart, now);
    char text[LINE_SIZE], rate[32], took[32];
    formatRate(rate, sizeof rate, rateOf(progress.batchBytes, elapsed));
    formatDuration(took, sizeof took, elapsed);
    int length = snprintf(text, sizeof text, MSG_PROGRESS_SUMMARY, progress.files,
                          progress.files == 1 ? MSG_PROGRESS_FILE : MSG_PROGRESS_FILES, progress.batchBytes, took,
                          rate);
    if (length > 0) writeError(text, static_cast<size_t>(length) < sizeof text ? static_cast<size_t>(length) : 0);
}
