// tcp:HOST:PORT and telnet:HOST:PORT on Windows: a TCP connection through
// Winsock, as to ser2net or a console server (telnet in line_telnet.cpp).
// Connecting is bounded, as on POSIX; the socket then stays non-blocking, tied to the line's event for
// input and for the connection's end (WSAEventSelect), so that the terminal
// mode waits on it together with the console. Reads keep the line's time-out
// rule (line_stream_win32.cpp); a connection closed or reset is a line that
// is gone.
#include <cstdio>
#include <cstring>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "adapter/constants.h"
#include "adapter/interrupt_flag.h"
#include "adapter/line_kinds.h"
#include "adapter/messages.h"

namespace {

constexpr DWORD CONNECT_TIMEOUT_MS = 10000;
constexpr size_t ERROR_TEXT_SIZE = 256;

bool winsockStarted = false;

SOCKET socketOf(const Line* line) { return static_cast<SOCKET>(line->socket); }

timeval within(uint32_t milliseconds) {
    timeval tv{};
    tv.tv_sec = static_cast<long>(milliseconds / 1000);
    tv.tv_usec = static_cast<long>(milliseconds % 1000) * 1000;
    return tv;
}

// The system's text for a Winsock error, without its line end and full stop.
const char* errorText(int error, char* text) {
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  static_cast<DWORD>(error), 0, text, ERROR_TEXT_SIZE, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == '.' ||
                          text[length - 1] == ' '))
        text[--length] = '\0';
    if (length == 0) snprintf(text, ERROR_TEXT_SIZE, "error %d", error);
    return text;
}

bool goneError(int error) {
    return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAENETRESET || error == WSAESHUTDOWN ||
           error == WSAENOTCONN || error == WSAETIMEDOUT || error == WSAEHOSTUNREACH || error == WSAENETDOWN ||
           error == WSAENOTSOCK;
}

int markGone(Line* line) {
    line->gone = true;
    return LINE_GONE;
}

// One address: a connection within the time given, or INVALID_SOCKET with the error.
SOCKET connectWithin(const addrinfo* address, DWORD timeoutMs, int* error) {
    SOCKET s = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (s == INVALID_SOCKET) {
        *error = WSAGetLastError();
        return INVALID_SOCKET;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    if (connect(s, address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0) {
        *error = WSAGetLastError();
        if (*error != WSAEWOULDBLOCK) {
            closesocket(s);
            return INVALID_SOCKET;
        }
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        timeval tv = within(timeoutMs);
        int ready = select(0, nullptr, &writable, &failed, &tv);
        *error = ready == 0 ? WSAETIMEDOUT : (ready < 0 ? WSAGetLastError() : 0);
        if (ready > 0 && !FD_ISSET(s, &writable)) {
            int length = sizeof *error;
            getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(error), &length);
            if (*error == 0) *error = WSAECONNREFUSED;
        }
        if (*error != 0) {
            closesocket(s);
            return INVALID_SOCKET;
        }
    }
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return s;
}

}  // namespace

int socketAwaitReadable(Line* line, uint32_t milliseconds) {
    SOCKET s = socketOf(line);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval tv = within(milliseconds);
    int ready = select(0, &readable, nullptr, nullptr, &tv);
    return ready < 0 ? -1 : (ready > 0 ? 1 : 0);
}

int tcpOpen(Line* line) {
    line->socket = static_cast<uintptr_t>(INVALID_SOCKET);
    char text[ERROR_TEXT_SIZE];
    if (!winsockStarted) {
        WSADATA data;
        int started = WSAStartup(MAKEWORD(2, 2), &data);
        if (started != 0) {
            printf(MSG_TCP_CONNECT_FAILED, line->name, errorText(started, text));
            return 1;
        }
        winsockStarted = true;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    int resolved = getaddrinfo(line->host, line->service, &hints, &found);
    if (resolved != 0) {
        printf(MSG_TCP_RESOLVE_FAILED, line->host, errorText(resolved, text));
        return 1;
    }
    // Every address gets its share of what is left of the bound.
    const int64_t deadline = nowMs() + CONNECT_TIMEOUT_MS;
    SOCKET s = INVALID_SOCKET;
    int error = 0;
    for (const addrinfo* address = found; address != nullptr && s == INVALID_SOCKET; address = address->ai_next) {
        int64_t now = nowMs();
        if (now >= deadline) break;
        s = connectWithin(address, static_cast<DWORD>(deadline - now), &error);
    }
    freeaddrinfo(found);
    if (s == INVALID_SOCKET) {
        printf(MSG_TCP_CONNECT_FAILED, line->name, errorText(error != 0 ? error : WSAETIMEDOUT, text));
        return 1;
    }
    line->socket = static_cast<uintptr_t>(s);
    WSAEVENT event = WSACreateEvent();
    if (event == WSA_INVALID_EVENT || WSAEventSelect(s, event, FD_READ | FD_CLOSE) != 0) {
        if (event != WSA_INVALID_EVENT) WSACloseEvent(event);
        printf(MSG_TCP_CONNECT_FAILED, line->name, errorText(WSAGetLastError(), text));
        return 1;
    }
    line->waitEvent = event;
    if (line->kind == LINE_TELNET && telnetNegotiate(line) != 0) return 1;
    printf(MSG_LINE_OPENED, line->name);
    return 0;
}

void tcpClose(Line* line) {
    SOCKET s = socketOf(line);
    if (s != INVALID_SOCKET) closesocket(s);
    line->socket = static_cast<uintptr_t>(INVALID_SOCKET);
    if (line->waitEvent != nullptr) WSACloseEvent(static_cast<WSAEVENT>(line->waitEvent));
    line->waitEvent = nullptr;
}

int socketFill(Line* line, uint32_t waitMs) {
    SOCKET s = socketOf(line);
    if (waitMs > 0) {
        int ready = socketAwaitReadable(line, waitMs);
        if (ready < 0) {
            if (goneError(WSAGetLastError())) return markGone(line);
            printf(MSG_READ_WAIT_FAILED);
            return LINE_FAILED;
        }
        if (ready == 0) return LINE_OK;
    }
    int got = recv(s, reinterpret_cast<char*>(line->input), static_cast<int>(sizeof line->input), 0);
    if (got > 0) {
        line->next = line->input;
        line->end = line->input + got;
        if (line->kind == LINE_TELNET) line->end = line->input + telnetDecode(line, line->input, static_cast<uint32_t>(got));
        return LINE_OK;
    }
    if (got == 0) return markGone(line);  // the other end closed the connection
    int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK || error == WSAEINTR) return LINE_OK;
    if (goneError(error)) return markGone(line);
    printf(MSG_READ_FAILED);
    return LINE_FAILED;
}

int socketWrite(Line* line, const uint8_t* bytes, uint32_t n) {
    if (line->gone) return LINE_GONE;
    SOCKET s = socketOf(line);
    uint32_t sent = 0;
    int64_t stallDeadline = nowMs() + WRITE_STALL_MS;
    while (sent < n) {
        int written = send(s, reinterpret_cast<const char*>(bytes + sent), static_cast<int>(n - sent), 0);
        if (written > 0) {
            sent += static_cast<uint32_t>(written);
            stallDeadline = nowMs() + WRITE_STALL_MS;
            continue;
        }
        int error = WSAGetLastError();
        if (written < 0 && error == WSAEWOULDBLOCK) {
            // Room is waited for up to WRITE_STALL_MS while the transfer runs,
            // then the line counts as gone; once a stop is asked for, at most
            // the write time-out.
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(s, &writable);
            timeval tv = within(interruptRequested ? WRITE_TIMEOUT_CONSTANT_MS : READ_TIMEOUT_CONSTANT_MS);
            int ready = select(0, nullptr, &writable, nullptr, &tv);
            if (ready == 0 && interruptRequested) return LINE_FAILED;
            if (ready == 0 && nowMs() >= stallDeadline) return markGone(line);
            if (ready < 0) return goneError(WSAGetLastError()) ? markGone(line) : LINE_FAILED;
            continue;
        }
        if (written < 0 && error == WSAEINTR) continue;
        return goneError(error) ? markGone(line) : LINE_FAILED;
    }
    return LINE_OK;
}
