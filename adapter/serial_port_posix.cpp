// The serial port on POSIX hosts (termios). COM1 is /dev/ttyS0 unless the
// environment variable ZMODEM_PORT names another device. Raw 8N1 at 115200
// (or ZMODEM_BAUD), DTR and RTS on (or as ZMODEM_DTR and ZMODEM_RTS say), no
// flow control; reads keep the Win32 time-out rule of 10·n + 100 ms in all
// and 20 ms between bytes. Input is read in bursts into a small buffer and
// handed out as the engine asks for it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "adapter/interrupt_flag.h"
#include "adapter/port_settings.h"
#include "adapter/serial_port.h"
#include "adapter/constants.h"
#include "adapter/messages.h"

namespace {

const char DEFAULT_DEVICE[] = "/dev/ttyS0";

int comPort = -1;

// Bytes read from the device and not yet delivered, handed out through
// portInput: a burst costs one read call, and the engine still takes its
// bytes one per read.
uint8_t inputBuffer[4096];

// Moves buffered bytes to the caller; true when any were moved.
bool takeBuffered(uint8_t* buffer, uint32_t n, uint32_t* count) {
    size_t moved = 0;
    while (portInput.next < portInput.end && *count < n) {
        buffer[(*count)++] = *portInput.next++;
        moved++;
    }
    return moved != 0;
}

int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleepMs(int64_t milliseconds) {
    if (milliseconds <= 0) return;
    timespec ts{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

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
void setModemLines(const LineSettings* settings) {
    int raise = (settings->dtr ? TIOCM_DTR : 0) | (settings->rts ? TIOCM_RTS : 0);
    int drop = (settings->dtr ? 0 : TIOCM_DTR) | (settings->rts ? 0 : TIOCM_RTS);
    if (raise != 0) ioctl(comPort, TIOCMBIS, &raise);
    if (drop != 0) ioctl(comPort, TIOCMBIC, &drop);
}

// After the failed step's message: the ports there are to choose from.
int openFailed(int result) {
    portListPrint();
    return result;
}

}  // namespace

int portOpen() {
    LineSettings settings;
    speed_t speed = B115200;
    if (!lineSettingsRead(&settings) || !lineSpeedCode(settings.baud, &speed)) return 5;
    const char* name = settings.port != nullptr ? settings.port : DEFAULT_DEVICE;
    comPort = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (comPort < 0) {
        printf(MSG_PORT_OPEN_FAILED, errno);
        return openFailed(1);
    }
    ioctl(comPort, TIOCEXCL);
    termios tio{};
    if (tcgetattr(comPort, &tio) != 0) {
        printf(MSG_PORT_GET_FAILED, errno);
        return openFailed(2);
    }
    configureRaw(&tio, speed);
    if (tcsetattr(comPort, TCSANOW, &tio) != 0) {
        printf(MSG_PORT_SET_FAILED, errno);
        return openFailed(3);
    }
    setModemLines(&settings);
    // CLOCAL is set: from here on reads and writes block, bounded by poll.
    int flags = fcntl(comPort, F_GETFL);
    if (flags >= 0) fcntl(comPort, F_SETFL, flags & ~O_NONBLOCK);
    printf(MSG_PORT_RECONFIGURED, name);
    return 0;
}

void portClose() {
    if (comPort >= 0) close(comPort);
    comPort = -1;
    portInput.next = portInput.end = nullptr;
}

int portRead(uint8_t* buffer, uint32_t n, uint32_t* count) {
    *count = 0;
    if (comPort < 0) {
        printf(MSG_READ_FAILED);
        return 1;
    }
    // The usual case, everything asked for already read ahead, is handed out
    // by portReadBuffered before this is called.
    const int64_t total = nowMs() + READ_TIMEOUT_PER_BYTE_MS * n + READ_TIMEOUT_CONSTANT_MS;
    int64_t deadline = total;
    bool polled = false;  // the last poll reported the line readable
    while (*count < n) {
        if (takeBuffered(buffer, n, count)) {
            int64_t interval = nowMs() + READ_INTERVAL_TIMEOUT_MS;
            deadline = interval < total ? interval : total;
            polled = false;
            continue;
        }
        ssize_t got = read(comPort, inputBuffer, sizeof inputBuffer);
        if (got > 0) {
            portInput.next = inputBuffer;
            portInput.end = inputBuffer + got;
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno != EAGAIN && errno != EIO) {
            printf(MSG_READ_FAILED);
            *count = 0;
            return 1;
        }
        int64_t remaining = deadline - nowMs();
        if (polled) {
            // Readable but nothing to read: the line has hung up. Let the
            // time-out run out rather than spin on it.
            if (*count == 0) sleepMs(remaining);
            return 0;
        }
        if (remaining <= 0) return 0;
        pollfd pfd{comPort, POLLIN, 0};
        int ready = poll(&pfd, 1, static_cast<int>(remaining));
        if (ready < 0 && errno == EINTR) return 0;  // a signal: let the caller look at its flag
        if (ready < 0) {
            printf(MSG_READ_WAIT_FAILED);
            *count = 0;
            return 1;
        }
        if (ready == 0) return 0;
        polled = true;
    }
    return 0;
}

bool portInputWaiting() {
    if (portInput.next < portInput.end) return true;
    if (comPort < 0) return false;
    pollfd pfd{comPort, POLLIN, 0};
    while (true) {
        int ready = poll(&pfd, 1, 0);
        if (ready < 0 && errno == EINTR) continue;
        return ready > 0 && (pfd.revents & POLLIN) != 0;
    }
}

void portDiscardOutput() {
    if (comPort >= 0) tcflush(comPort, TCOFLUSH);
}

int portWrite(const uint8_t* bytes, uint32_t n) {
    if (comPort < 0) return 0;
    uint32_t sent = 0;
    while (sent < n) {
        // Once a stop is asked for, a write waits for room at most the write
        // time-out: a line that moves still takes the rest and the abort
        // sequence, one whose peer has stopped reading cannot hold the program.
        if (interruptRequested) {
            int flags = fcntl(comPort, F_GETFL);
            if (flags >= 0 && (flags & O_NONBLOCK) == 0) fcntl(comPort, F_SETFL, flags | O_NONBLOCK);
        }
        ssize_t written = write(comPort, bytes + sent, n - sent);
        if (written > 0) {
            sent += static_cast<uint32_t>(written);
        } else if (written < 0 && errno == EAGAIN) {
            pollfd pfd{comPort, POLLOUT, 0};
            int ready = poll(&pfd, 1, interruptRequested ? static_cast<int>(WRITE_TIMEOUT_CONSTANT_MS) : -1);
            if (ready == 0) return 0;
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else {
            return 0;
        }
    }
    return 1;
}

void portPause(uint32_t milliseconds) { sleepMs(milliseconds); }

// ---- For the terminal mode.

int portWaitHandle() { return comPort; }

int portReadAvailable(uint8_t* buffer, uint32_t n) {
    uint32_t count = 0;
    if (takeBuffered(buffer, n, &count)) return static_cast<int>(count);
    if (comPort < 0) return -1;
    pollfd pfd{comPort, POLLIN, 0};
    while (true) {
        int ready = poll(&pfd, 1, 0);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return 0;
        break;
    }
    ssize_t got = read(comPort, buffer, n);
    if (got > 0) return static_cast<int>(got);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
    // Readable and yet nothing, or an error: the other end has gone.
    return -1;
}

// tcsendbreak gives between 0.25 and 0.5 s.
void portSendBreak() {
    if (comPort >= 0) tcsendbreak(comPort, 0);
}
