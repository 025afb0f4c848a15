// A serial device on POSIX hosts (termios). COM1 is /dev/ttyS0 unless the
// environment variable ZMODEM_PORT names another device. Raw 8N1 at 115200
// (or ZMODEM_BAUD), DTR and RTS on (or as ZMODEM_DTR and ZMODEM_RTS say), no
// flow control. Reads and writes are those of every POSIX line
// (line_fd_posix.cpp).
#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "adapter/constants.h"
#include "adapter/line_kinds.h"
#include "adapter/messages.h"

namespace {

void configureRaw(termios* tio, speed_t speed) {
    cfmakeraw(tio);
    cfsetispeed(tio, speed);
    cfsetospeed(tio, speed);
    tio->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio->c_cflag |= CS8 | CLOCAL | CREAD;
    tio->c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK);
    tio->c_iflag |= IGNBRK;
    tio->c_cc[VMIN] = 0;
    tio->c_cc[VTIME] = 0;
}

// Sets DTR and RTS as chosen, where the device has them (pseudo-terminals
// do not). Opening a port raises both, so by default nothing changes.
void setModemLines(int fd, const LineSettings* settings) {
    int raise = (settings->dtr ? TIOCM_DTR : 0) | (settings->rts ? TIOCM_RTS : 0);
    int drop = (settings->dtr ? 0 : TIOCM_DTR) | (settings->rts ? 0 : TIOCM_RTS);
    if (raise != 0) ioctl(fd, TIOCMBIS, &raise);
    if (drop != 0) ioctl(fd, TIOCMBIC, &drop);
}

// After the failed step's message: the ports there are to choose from.
int openFailed(int result) {
    portListPrint();
    return result;
}

}  // namespace

int serialOpen(Line* line) {
    speed_t speed = B115200;
    if (!lineSpeedCode(line->settings.baud, &speed)) return 5;
    line->fd = line->outFd = open(line->name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (line->fd < 0) {
        printf(MSG_PORT_OPEN_FAILED, errno);
        return openFailed(1);
    }
    ioctl(line->fd, TIOCEXCL);
    termios tio{};
    if (tcgetattr(line->fd, &tio) != 0) {
        printf(MSG_PORT_GET_FAILED, errno);
        return openFailed(2);
    }
    configureRaw(&tio, speed);
    if (tcsetattr(line->fd, TCSANOW, &tio) != 0) {
        printf(MSG_PORT_SET_FAILED, errno);
        return openFailed(3);
    }
    setModemLines(line->fd, &line->settings);
    // CLOCAL is set. The descriptor stays non-blocking: reads take what has
    // come, and writes wait for room in poll, bounded (line_fd_posix.cpp).
    printf(MSG_PORT_RECONFIGURED, line->name);
    return 0;
}

void serialClose(Line* line) {
    if (line->fd >= 0) close(line->fd);
    line->fd = line->outFd = -1;
}

void serialBreak(Line* line, uint32_t milliseconds) {
    if (line->fd < 0 || line->gone) return;
    // Linux takes tcsendbreak's argument as milliseconds when it is not 0.
    tcsendbreak(line->fd, static_cast<int>(milliseconds));
}

void serialDiscardOutput(Line* line) {
    if (line->fd >= 0) tcflush(line->fd, TCOFLUSH);
}
