// tcp:HOST:PORT: a raw TCP connection, as to the raw port of ser2net or of a
// console server. Connecting is bounded; reads and writes are those of every
// POSIX line (line_fd_posix.cpp), where a closed or reset connection is a
// line that is gone. Windows has its own, over Winsock (line_tcp_win32.cpp).
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "adapter/interrupt_flag.h"
#include "adapter/line_kinds.h"
#include "adapter/messages.h"

#include <csignal>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int CONNECT_TIMEOUT_MS = 10000;

// One address: a connection before the deadline, or -1 with errno set. A
// stop asked for (Ctrl-C) ends the wait.
int connectBefore(const addrinfo* address, int64_t deadline) {
    int fd = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
    if (fd < 0) return -1;
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    if (connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            int error = errno;
            close(fd);
            errno = error;
            return -1;
        }
        pollfd pfd{fd, POLLOUT, 0};
        int ready = 0;
        do ready = poll(&pfd, 1, static_cast<int>(deadline > nowMs() ? deadline - nowMs() : 0));
        while (ready < 0 && errno == EINTR && !interruptRequested);
        int error = ready == 0 ? ETIMEDOUT : (ready < 0 ? errno : 0);
        socklen_t length = sizeof error;
        if (ready > 0) getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            close(fd);
            errno = error;
            return -1;
        }
    }
    // Still non-blocking: writes wait for room in poll, bounded (line_fd_posix.cpp).
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

}  // namespace

int tcpOpen(Line* line) {
    signal(SIGPIPE, SIG_IGN);  // a closed connection is a failed write, not a signal
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int resolved = getaddrinfo(line->host, line->service, &hints, &found);
    if (resolved != 0) {
        printf(MSG_TCP_RESOLVE_FAILED, line->host, gai_strerror(resolved));
        return 1;
    }
    int fd = -1;
    int error = ETIMEDOUT;
    // The bound is for all the addresses together.
    const int64_t deadline = nowMs() + CONNECT_TIMEOUT_MS;
    for (const addrinfo* address = found; address != nullptr && fd < 0 && nowMs() < deadline && !interruptRequested;
         address = address->ai_next) {
        fd = connectBefore(address, deadline);
        if (fd < 0) error = errno;
    }
    freeaddrinfo(found);
    if (fd < 0 && interruptRequested) error = EINTR;
    if (fd < 0) {
        printf(MSG_TCP_CONNECT_FAILED, line->name, strerror(error));
        return 1;
    }
    line->fd = line->outFd = fd;
    if (line->kind == LINE_TELNET && telnetNegotiate(line) != 0) return 1;
    printf(MSG_LINE_OPENED, line->name);
    return 0;
}

void tcpClose(Line* line) {
    if (line->fd >= 0) close(line->fd);
    line->fd = line->outFd = -1;
}
