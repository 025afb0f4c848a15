// The terminal mode's console on POSIX hosts: termios on standard input.
#include "adapter/console.h"

#include <cerrno>
#include <cstring>

#include <termios.h>
#include <unistd.h>

namespace {

termios saved;
bool savedValid = false;
termios raw;

void setMode(const termios* mode) {
    while (tcsetattr(STDIN_FILENO, TCSADRAIN, mode) != 0 && errno == EINTR) {
    }
}

}  // namespace

bool consoleIsTerminal() { return isatty(STDIN_FILENO) != 0; }

bool consoleRaw() {
    if (tcgetattr(STDIN_FILENO, &saved) != 0) return false;
    savedValid = true;
    raw = saved;
    cfmakeraw(&raw);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    setMode(&raw);
    return true;
}

void consoleTransfer() {
    if (!savedValid) return;
    // Ctrl-C alone raises a signal; the program's lines get their CR again.
    termios mode = raw;
    mode.c_lflag |= ISIG;
    mode.c_oflag |= OPOST | ONLCR;
    mode.c_cc[VINTR] = 3;
    mode.c_cc[VQUIT] = _POSIX_VDISABLE;
    mode.c_cc[VSUSP] = _POSIX_VDISABLE;
#ifdef VDSUSP
    mode.c_cc[VDSUSP] = _POSIX_VDISABLE;
#endif
    setMode(&mode);
}

void consoleDropKeys() {
    if (savedValid) tcflush(STDIN_FILENO, TCIFLUSH);
}

void consoleResume() {
    if (savedValid) setMode(&raw);
}

void consoleRestore() {
    if (savedValid) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

int consoleReadKeys(uint8_t* buffer, size_t size) {
    ssize_t got = read(STDIN_FILENO, buffer, size);
    if (got > 0) return static_cast<int>(got);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
    return -1;
}

void consoleWrite(const void* bytes, size_t n) {
    const char* p = static_cast<const char*>(bytes);
    while (n > 0) {
        ssize_t done = write(STDOUT_FILENO, p, n);
        if (done > 0) {
            p += done;
            n -= static_cast<size_t>(done);
        } else if (done < 0 && errno == EINTR) {
            continue;
        } else {
            return;
        }
    }
}

int consoleWaitHandle() { return STDIN_FILENO; }
