// Standard input and output as the line (ZMODEM_PORT=-), as picocom, minicom
// and screen run a transfer program, or a terminal over SSH. The two
// descriptors are taken over before anything is printed: what the program
// prints on standard output goes to standard error from then on, and
// nowhere at all when standard error is the very terminal that is the line.
// A terminal is made raw for the run and given its modes back at the end;
// its speed and modem lines stay as the host program set them unless
// ZMODEM_BAUD, ZMODEM_DTR or ZMODEM_RTS say otherwise.
#include <cerrno>
#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "adapter/line_kinds.h"
#include "adapter/messages.h"

namespace {

int claimedIn = -1;
int claimedOut = -1;
// A copy of the modes to give back, for a signal handler that cannot reach the record.
termios restoreModes;
volatile sig_atomic_t restorePending = 0;
// The line's writes are non-blocking, and the host's own open file is left
// as it is: a terminal or a pipe is opened afresh for them, a socket is
// written with MSG_DONTWAIT. Anything else (a pty's master side, a system
// without /proc) gets the flag on the host's, and these are its flags to give back.
int savedOutputFlags = -1;
int ownOutput = -1;

bool sameFile(int a, int b) {
    struct stat sa {};
    struct stat sb {};
    if (fstat(a, &sa) != 0 || fstat(b, &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino && sa.st_rdev == sb.st_rdev;
}

void redirect(int from, int to) {
    if (to >= 0) dup2(to, from);
}

}  // namespace

void stdioClaim() {
    if (claimedIn >= 0) return;
    claimedIn = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    claimedOut = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    // A peer that goes away is seen as a failed write, not as a signal.
    signal(SIGPIPE, SIG_IGN);
    fflush(stdout);
    bool errorIsLine = isatty(STDERR_FILENO) && (sameFile(STDERR_FILENO, claimedOut) || sameFile(STDERR_FILENO, claimedIn));
    if (errorIsLine) {
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        redirect(STDOUT_FILENO, null);
        redirect(STDERR_FILENO, null);
        if (null > STDERR_FILENO) close(null);
    } else {
        redirect(STDOUT_FILENO, STDERR_FILENO);
    }
    int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    redirect(STDIN_FILENO, null);
    if (null > STDERR_FILENO) close(null);
}

int stdioOpen(Line* line) {
    stdioClaim();
    line->fd = claimedIn;
    line->outFd = claimedOut;
    if (line->fd < 0 || line->outFd < 0) {
        printf(MSG_PORT_OPEN_FAILED, 9);
        return 1;
    }
    // Not a pty's master side: opening that again would make a new pty.
    struct stat out {};
    unsigned ptyNumber = 0;
    bool terminal = isatty(line->outFd) && ioctl(line->outFd, TIOCGPTN, &ptyNumber) != 0;
    if (fstat(line->outFd, &out) == 0 && (terminal || S_ISFIFO(out.st_mode))) {
        char path[32];
        snprintf(path, sizeof path, "/proc/self/fd/%d", line->outFd);
        ownOutput = open(path, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }
    if (ownOutput >= 0) {
        line->outFd = ownOutput;
    } else if (S_ISSOCK(out.st_mode)) {
        line->sendNoWait = true;
    } else {
        savedOutputFlags = fcntl(line->outFd, F_GETFL);
        if (savedOutputFlags >= 0) fcntl(line->outFd, F_SETFL, savedOutputFlags | O_NONBLOCK);
    }
    termios tio{};
    if (isatty(line->fd) && tcgetattr(line->fd, &tio) == 0) {
        line->savedTerminal = tio;
        line->restoreTerminal = true;
        restoreModes = tio;
        restorePending = 1;
        speed_t input = cfgetispeed(&tio);
        speed_t output = cfgetospeed(&tio);
        tcflag_t control = tio.c_cflag & (CRTSCTS | CLOCAL | HUPCL);
        cfmakeraw(&tio);
        tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CRTSCTS | CLOCAL | HUPCL)) | control;
        tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        speed_t chosen = 0;
        if (line->settings.baudSet && lineSpeedCode(line->settings.baud, &chosen)) {
            input = output = chosen;
            tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
        }
        cfsetispeed(&tio, input);
        cfsetospeed(&tio, output);
        if (tcsetattr(line->fd, TCSANOW, &tio) != 0) {
            printf(MSG_PORT_SET_FAILED, errno);
            return 3;
        }
        int raise = (line->settings.dtrSet && line->settings.dtr ? TIOCM_DTR : 0) |
                    (line->settings.rtsSet && line->settings.rts ? TIOCM_RTS : 0);
        int drop = (line->settings.dtrSet && !line->settings.dtr ? TIOCM_DTR : 0) |
                   (line->settings.rtsSet && !line->settings.rts ? TIOCM_RTS : 0);
        if (raise != 0) ioctl(line->fd, TIOCMBIS, &raise);
        if (drop != 0) ioctl(line->fd, TIOCMBIC, &drop);
    }
    printf(MSG_LINE_OPENED, MSG_STDIO_LINE_NAME);
    return 0;
}

void stdioClose(Line* line) {
    if (line->restoreTerminal && line->fd >= 0) {
        tcdrain(line->outFd);
        tcsetattr(line->fd, TCSADRAIN, &line->savedTerminal);
        line->restoreTerminal = false;
        restorePending = 0;
    }
    if (savedOutputFlags >= 0 && line->outFd >= 0) fcntl(line->outFd, F_SETFL, savedOutputFlags);
    savedOutputFlags = -1;
    if (ownOutput >= 0) close(ownOutput);
    ownOutput = -1;
    line->fd = line->outFd = -1;
}

void stdioRestoreNow() {
    if (restorePending && claimedIn >= 0) tcsetattr(claimedIn, TCSANOW, &restoreModes);
    if (savedOutputFlags >= 0 && claimedOut >= 0) fcntl(claimedOut, F_SETFL, savedOutputFlags);
}
