// Reading and writing a POSIX line, whichever kind: a device, standard input
// and output, a socket. Reads keep the Win32 time-out rule of 10·n + 100 ms
// in all and 20 ms between bytes; input is read in bursts into the line's
// buffer and handed out as the engine asks for it. A read or write that
// shows the line gone (EIO, ENXIO, a hang-up, end of input, a reset
// connection) says so at once, and the line stays gone.
#include <cerrno>
#include <cstdio>
#include <ctime>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "adapter/constants.h"
#include "adapter/interrupt_flag.h"
#include "adapter/line_kinds.h"
#include "adapter/messages.h"

namespace {

// Read since the last write, more than any reply: the data of a file is streaming.
constexpr uint32_t STREAM_AFTER_BYTES = 256;
// How long a stream may pause before what has come is acknowledged.
constexpr int ACK_PAUSE_MS = 2;

bool goneErrno(int error) {
    return error == EIO || error == ENXIO || error == ECONNRESET || error == EPIPE || error == ENOTCONN ||
           error == ETIMEDOUT || error == EHOSTUNREACH || error == ENETDOWN || error == ESHUTDOWN ||
           error == EBADF || error == ENODEV;
}

int markGone(Line* line) {
    line->gone = true;
    return LINE_GONE;
}

void setQuickAck(Line* line, int value) {
#ifdef TCP_QUICKACK
    setsockopt(line->fd, IPPROTO_TCP, TCP_QUICKACK, &value, sizeof value);
#else
    (void)line;
    (void)value;
#endif
}

bool isConnection(const Line* line) { return line->kind == LINE_TCP || line->kind == LINE_TELNET; }

// One read of what has arrived into the line's buffer. LINE_OK with got
// bytes (0: nothing yet), LINE_GONE, or LINE_FAILED.
int fill(Line* line, ssize_t* got) {
    *got = 0;
    // A pipe or a socket blocks where a raw device returns nothing: only a
    // readable one is read, and there an end of input is the line gone.
    if (line->kind != LINE_DEVICE) {
        pollfd pfd{line->fd, POLLIN, 0};
        int ready = poll(&pfd, 1, 0);
        if (ready <= 0) return ready < 0 && errno != EINTR ? LINE_FAILED : LINE_OK;
    }
    while (true) {
        ssize_t result = read(line->fd, line->input, sizeof line->input);
        if (result > 0) {
            line->next = line->input;
            line->end = line->input + result;
            // Telnet: the data is what is left once the commands are taken out.
            if (line->kind == LINE_TELNET)
                line->end = line->input + telnetDecode(line, line->input, static_cast<uint32_t>(result));
            *got = result;  // bytes read, maybe none of them data
            if (line->readSinceWrite <= STREAM_AFTER_BYTES) {
                line->readSinceWrite += static_cast<uint32_t>(result);
                // A reply: acknowledged now, though nothing may be written
                // for the acknowledgement to ride on (see chooseAcks).
                if (isConnection(line) && line->readSinceWrite <= STREAM_AFTER_BYTES) setQuickAck(line, 1);
            }
            return line->gone ? LINE_GONE : LINE_OK;
        }
        if (result == 0 && line->kind != LINE_DEVICE) return markGone(line);
        if (result == 0) return LINE_OK;  // a device with nothing yet, or hung up: poll tells which
        if (errno == EINTR) return LINE_OK;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return LINE_OK;
        if (goneErrno(errno)) return markGone(line);
        printf(MSG_READ_FAILED);
        return LINE_FAILED;
    }
}

// Before a wait for input on a connection, and after each read of a reply.
// After something was written (a reply is awaited), what arrives is
// acknowledged at once rather than up to 40 ms later: a server that holds
// back a small segment until the last one is acknowledged (Nagle's rule, as
// ser2net's sockets keep it) would otherwise hold the rest of a header, or
// the next reply, for that long, once for every confirmation the sender
// waits for. Once more has come than a reply, the data of a file is
// streaming in, and the acknowledgements go back to being delayed:
// acknowledged at once, every small segment the server sends lets it send
// the next small one, and each wakes this side (12,000 wake-ups and 0.4 s of
// system time for 8 MB, against 150 when the server gathers the bytes into
// large segments). Said again before every wait, since the system leaves the
// delayed mode by itself when its delay runs out. True when the
// acknowledgements are delayed.
bool chooseAcks(Line* line, int64_t milliseconds) {
    if (!isConnection(line)) return false;
    bool streaming = !line->wrote && line->readSinceWrite > STREAM_AFTER_BYTES;
    if (line->wrote || (streaming && milliseconds > 0)) setQuickAck(line, line->wrote ? 1 : 0);
    line->wrote = false;
    return streaming;
}

// Waits up to the given time for the line to be readable. 1 readable, 0 not,
// LINE_GONE as -1, a failed wait as -2. While a stream comes in with its
// acknowledgements delayed, a pause of a few milliseconds gets what has come
// acknowledged: the server may be holding back the tail of the stream (the
// header after a file's data) until it is.
int await(Line* line, int64_t milliseconds) {
    if (milliseconds < 0) milliseconds = 0;
    pollfd pfd{line->fd, POLLIN, 0};
    int ready = 0;
    if (chooseAcks(line, milliseconds) && milliseconds > ACK_PAUSE_MS) {
        ready = poll(&pfd, 1, ACK_PAUSE_MS);
        milliseconds -= ACK_PAUSE_MS;
        if (ready == 0) {
            setQuickAck(line, 1);  // sends the acknowledgement due
            setQuickAck(line, 0);
        }
    }
    if (ready == 0) ready = poll(&pfd, 1, static_cast<int>(milliseconds));
    if (ready < 0 && errno == EINTR) return 0;  // a signal: let the caller look at its flag
    if (ready < 0) return -2;
    if (ready == 0) return 0;
    if ((pfd.revents & POLLNVAL) != 0) return -1;
    return 1;
}

// Bytes the system still holds for the line (a tty's or a socket's output
// queue, what sits in a pipe), or -1 where it cannot tell.
long queuedOut(int fd) {
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) == 0) return queued;
    if (ioctl(fd, FIONREAD, &queued) == 0) return queued;
    return -1;
}

}  // namespace

int fdRead(Line* line, uint8_t* buffer, uint32_t n, uint32_t* count) {
    *count = 0;
    if (line->gone) return LINE_GONE;
    if (line->fd < 0) {
        printf(MSG_READ_FAILED);
        return LINE_FAILED;
    }
    const int64_t total = nowMs() + READ_TIMEOUT_PER_BYTE_MS * n + READ_TIMEOUT_CONSTANT_MS;
    int64_t deadline = total;
    bool polled = false;  // the last poll reported the line readable
    while (*count < n) {
        if (lineTakeBuffered(line, buffer, n, count)) {
            int64_t interval = nowMs() + READ_INTERVAL_TIMEOUT_MS;
            deadline = interval < total ? interval : total;
            polled = false;
            continue;
        }
        ssize_t got = 0;
        int status = fill(line, &got);
        if (status == LINE_GONE) return *count != 0 ? LINE_OK : LINE_GONE;
        if (status != LINE_OK) {
            *count = 0;
            return status;
        }
        if (got > 0) {
            polled = false;
            continue;
        }
        // Readable, yet nothing to read: end of input, or a hang-up.
        if (polled) {
            markGone(line);
            return *count != 0 ? LINE_OK : LINE_GONE;
        }
        int64_t remaining = deadline - nowMs();
        if (remaining <= 0 || interruptRequested) return LINE_OK;
        int ready = await(line, remaining);
        if (ready == -1) {
            markGone(line);
            return *count != 0 ? LINE_OK : LINE_GONE;
        }
        if (ready == -2) {
            printf(MSG_READ_WAIT_FAILED);
            *count = 0;
            return LINE_FAILED;
        }
        if (ready == 0) return LINE_OK;
        polled = true;
    }
    return LINE_OK;
}

int fdReadWithin(Line* line, uint8_t* buffer, uint32_t n, uint32_t* count, uint32_t timeoutMs) {
    *count = 0;
    if (lineTakeBuffered(line, buffer, n, count)) return LINE_OK;
    if (line->gone) return LINE_GONE;
    int ready = await(line, timeoutMs);
    if (ready == 0) return LINE_OK;
    if (ready < 0) return ready == -1 ? markGone(line) : LINE_FAILED;
    ssize_t got = 0;
    int status = fill(line, &got);
    if (status != LINE_OK) return status;
    if (got == 0) return markGone(line);
    lineTakeBuffered(line, buffer, n, count);
    return LINE_OK;
}

bool fdInputWaiting(Line* line) {
    while (true) {
        if (line->next < line->end || line->gone) return true;
        if (line->fd < 0) return false;
        pollfd pfd{line->fd, POLLIN, 0};
        int ready = poll(&pfd, 1, 0);
        if (ready < 0 && errno == EINTR) continue;
        bool readable = ready > 0 && (pfd.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
        // Telnet: what has arrived may be commands alone, which no read would
        // hand out; it is taken in here, and only data (or the end) counts.
        if (!readable || line->kind != LINE_TELNET) return readable;
        ssize_t got = 0;
        if (fill(line, &got) != LINE_OK) return true;
        if (got == 0) return false;
    }
}

// The write side never blocks (lineOpen makes it so): room is waited for
// here. The line is gone once nothing has moved for WRITE_STALL_MS: no byte
// taken by a write, and no change in what the system still holds for it. A
// device gets the time its driver's buffer needs at its speed on top, for a
// driver that does not tell what it holds. Once a stop is asked for, the
// write time-out is the bound, once: a line that moves still takes the rest
// and the abort sequence, one that has stalled since takes nothing more.
int fdWrite(Line* line, const uint8_t* bytes, uint32_t n) {
    if (line->gone) return LINE_GONE;
    int fd = line->outFd;
    if (fd < 0) return LINE_FAILED;
    if (interruptRequested && line->stopStalled) return LINE_FAILED;
    uint32_t stallMs = WRITE_STALL_MS;
    if (line->kind == LINE_DEVICE && line->settings.baud != 0)
        stallMs += static_cast<uint32_t>(DEVICE_QUEUE_BYTES * 10ull * 1000 / line->settings.baud);
    int64_t moved = nowMs();
    long queued = -1;
    uint32_t sent = 0;
    while (sent < n) {
        ssize_t written = line->sendNoWait ? send(fd, bytes + sent, n - sent, MSG_DONTWAIT | MSG_NOSIGNAL)
                                           : write(fd, bytes + sent, n - sent);
        if (written > 0) {
            sent += static_cast<uint32_t>(written);
            line->wrote = true;
            line->readSinceWrite = 0;
            moved = nowMs();
            queued = -1;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (queued < 0) queued = queuedOut(fd);
            pollfd pfd{fd, POLLOUT, 0};
            int ready = poll(&pfd, 1, WRITE_ROOM_POLL_MS);
            if (ready < 0 && errno == EINTR) continue;
            if (ready > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (pfd.revents & POLLOUT) == 0)
                return markGone(line);
            if (ready != 0) continue;
            long now = queuedOut(fd);
            if (now != queued) {
                queued = now;
                moved = nowMs();
            }
            int64_t still = nowMs() - moved;
            if (interruptRequested && still >= WRITE_TIMEOUT_CONSTANT_MS) {
                line->stopStalled = true;
                return LINE_FAILED;
            }
            if (still >= stallMs) return markGone(line);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && goneErrno(errno)) {
            return markGone(line);
        } else {
            return LINE_FAILED;
        }
    }
    return LINE_OK;
}

void linePause(Line*, uint32_t milliseconds) {
    timespec ts{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR && !interruptRequested) {
    }
}
