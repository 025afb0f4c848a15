// telnet:HOST:PORT: telnet over the TCP connection of line_tcp.cpp, as to a
// serial server (ser2net, a console server). Opening asks for BINARY both
// ways and SUPPRESS-GO-AHEAD, refuses every other option (so no echo), and
// offers COM-PORT-OPTION: where the server takes it, the speed, 8N1, no flow
// control and DTR and RTS are set on its port. The answers are awaited a
// bounded time; data that arrives meanwhile is kept for the first read.
// Afterwards every burst read is decoded in place (IAC IAC is one 0xFF, the
// commands and subnegotiations are taken out, however the reads split them)
// and every write has its 0xFF doubled.
#include <cstdio>
#include <cstring>

#include "adapter/constants.h"
#include "adapter/line_kinds.h"
#include "adapter/messages.h"

#ifndef _WIN32
#include <cerrno>

#include <poll.h>
#include <unistd.h>
#else
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <windows.h>
#endif

namespace {

enum DecoderPlace : uint8_t { IN_DATA, AFTER_IAC, AFTER_VERB, IN_SUB };

constexpr uint32_t ENCODE_CHUNK = 4096;

#ifndef _WIN32
int rawWrite(Line* line, const uint8_t* bytes, uint32_t n) { return fdWrite(line, bytes, n); }

// What the connection brings within the time, into bytes: a count (0:
// nothing yet), or -1 when the connection is gone or failed.
int rawReadWithin(Line* line, uint8_t* bytes, uint32_t room, int64_t milliseconds) {
    pollfd pfd{line->fd, POLLIN, 0};
    int ready = poll(&pfd, 1, static_cast<int>(milliseconds < 0 ? 0 : milliseconds));
    if (ready < 0 && errno == EINTR) return 0;
    if (ready <= 0) return ready == 0 ? 0 : -1;
    ssize_t got = read(line->fd, bytes, room);
    if (got > 0) return static_cast<int>(got);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
    line->gone = true;
    return -1;
}
#else
int rawWrite(Line* line, const uint8_t* bytes, uint32_t n) { return socketWrite(line, bytes, n); }

int rawReadWithin(Line* line, uint8_t* bytes, uint32_t room, int64_t milliseconds) {
    int ready = socketAwaitReadable(line, static_cast<uint32_t>(milliseconds < 0 ? 0 : milliseconds));
    if (ready <= 0) return ready == 0 ? 0 : -1;
    int got = recv(static_cast<SOCKET>(line->socket), reinterpret_cast<char*>(bytes), static_cast<int>(room), 0);
    if (got > 0) return got;
    if (got < 0 && WSAGetLastError() == WSAEWOULDBLOCK) return 0;
    line->gone = true;
    return -1;
}
#endif

int optionIndex(uint8_t option) {
    switch (option) {
        case TELNET_OPT_BINARY: return TELNET_BINARY;
        case TELNET_OPT_SGA: return TELNET_SGA;
        case TELNET_OPT_COM_PORT: return TELNET_COM_PORT;
        default: return -1;
    }
}

const uint8_t OPTION_CODES[TELNET_OPTIONS] = {TELNET_OPT_BINARY, TELNET_OPT_SGA, TELNET_OPT_COM_PORT};

void flushReplies(Line* line) {
    TelnetState* t = &line->telnet;
    if (t->replyLength != 0) rawWrite(line, t->reply, t->replyLength);
    t->replyLength = 0;
}

void reply(Line* line, const uint8_t* bytes, uint32_t n) {
    TelnetState* t = &line->telnet;
    if (t->replyLength + n > TELNET_REPLY_SIZE) flushReplies(line);
    memcpy(t->reply + t->replyLength, bytes, n);
    t->replyLength += n;
}

void replyCommand(Line* line, uint8_t verb, uint8_t option) {
    const uint8_t command[3] = {TELNET_IAC, verb, option};
    reply(line, command, 3);
}

// IAC SB COM-PORT-OPTION command value... IAC SE, a 0xFF in the value doubled.
void replyComPort(Line* line, uint8_t command, const uint8_t* value, uint32_t n) {
    uint8_t bytes[4 + 2 * 4 + 2] = {TELNET_IAC, TELNET_SB, TELNET_OPT_COM_PORT, command};
    uint32_t length = 4;
    for (uint32_t i = 0; i < n; i++) {
        bytes[length++] = value[i];
        if (value[i] == TELNET_IAC) bytes[length++] = TELNET_IAC;
    }
    bytes[length++] = TELNET_IAC;
    bytes[length++] = TELNET_SE;
    reply(line, bytes, length);
}

void replyComPortByte(Line* line, uint8_t command, uint8_t value) { replyComPort(line, command, &value, 1); }

bool comPortAgreed(const TelnetState* t) { return t->us[TELNET_COM_PORT] || t->him[TELNET_COM_PORT]; }

// The serial settings, once the server has taken COM-PORT-OPTION.
void sendComPortSettings(Line* line) {
    TelnetState* t = &line->telnet;
    if (t->comPortSent || !comPortAgreed(t)) return;
    t->comPortSent = true;
    uint32_t baud = line->settings.baud;
    const uint8_t speed[4] = {static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16),
                              static_cast<uint8_t>(baud >> 8), static_cast<uint8_t>(baud)};
    // The modem lines first: a server that cannot set them (a pty) leaves
    // them unanswered, and the answer to the last setting is the one awaited.
    replyComPortByte(line, COM_PORT_SET_CONTROL, line->settings.dtr ? COM_PORT_DTR_ON : COM_PORT_DTR_OFF);
    replyComPortByte(line, COM_PORT_SET_CONTROL, line->settings.rts ? COM_PORT_RTS_ON : COM_PORT_RTS_OFF);
    replyComPort(line, COM_PORT_SET_BAUDRATE, speed, 4);
    replyComPortByte(line, COM_PORT_SET_DATASIZE, 8);
    replyComPortByte(line, COM_PORT_SET_PARITY, COM_PORT_PARITY_NONE);
    replyComPortByte(line, COM_PORT_SET_STOPSIZE, COM_PORT_STOP_ONE);
    replyComPortByte(line, COM_PORT_SET_CONTROL, COM_PORT_NO_FLOW_CONTROL);
}

// A WILL, WONT, DO or DONT from the server. Only a change of state is
// answered, and an answer to what this side asked is not answered again.
void onOption(Line* line, uint8_t verb, uint8_t option) {
    TelnetState* t = &line->telnet;
    int index = optionIndex(option);
    if (index < 0) {
        // Not an option this program does: refuse what is offered or asked.
        if (verb == TELNET_WILL) replyCommand(line, TELNET_DONT, option);
        if (verb == TELNET_DO) replyCommand(line, TELNET_WONT, option);
        return;
    }
    bool yes = verb == TELNET_WILL || verb == TELNET_DO;
    bool ours = verb == TELNET_DO || verb == TELNET_DONT;  // about what this side does
    bool* state = ours ? &t->us[index] : &t->him[index];
    bool* asked = ours ? &t->usAsked[index] : &t->himAsked[index];
    (ours ? t->usAnswered : t->himAnswered)[index] = true;
    if (*state != yes) {
        *state = yes;
        if (!*asked) replyCommand(line, ours ? (yes ? TELNET_WILL : TELNET_WONT) : (yes ? TELNET_DO : TELNET_DONT), option);
    }
    *asked = false;
    if (index == TELNET_COM_PORT) sendComPortSettings(line);
}

// A whole subnegotiation: the server's answers to the serial settings.
void onSubnegotiation(Line* line) {
    TelnetState* t = &line->telnet;
    if (t->subLength < 2 || t->sub[0] != TELNET_OPT_COM_PORT) return;
    uint8_t command = t->sub[1];
    if (command <= COM_PORT_SERVER_OFFSET || command > COM_PORT_SERVER_OFFSET + COM_PORT_SET_CONTROL) return;
    if (command == COM_PORT_SERVER_OFFSET + COM_PORT_SET_CONTROL && t->subLength >= 3 &&
        t->sub[2] == COM_PORT_NO_FLOW_CONTROL)
        t->comPortSettled = true;
    if (command == COM_PORT_SERVER_OFFSET + COM_PORT_SET_BAUDRATE && t->subLength >= 6)
        t->baudAnswered = static_cast<uint32_t>(t->sub[2]) << 24 | static_cast<uint32_t>(t->sub[3]) << 16 |
                          static_cast<uint32_t>(t->sub[4]) << 8 | t->sub[5];
}

}  // namespace

uint32_t telnetDecode(Line* line, uint8_t* bytes, uint32_t n) {
    TelnetState* t = &line->telnet;
    uint32_t out = 0;
    for (uint32_t i = 0; i < n; i++) {
        if (t->state == IN_DATA) {
            // The data up to the next IAC moves in one piece.
            const void* iac = memchr(bytes + i, TELNET_IAC, n - i);
            uint32_t run = iac != nullptr ? static_cast<uint32_t>(static_cast<const uint8_t*>(iac) - (bytes + i)) : n - i;
            if (out != i) memmove(bytes + out, bytes + i, run);
            out += run;
            i += run;
            if (i < n) t->state = AFTER_IAC;
            continue;
        }
        uint8_t c = bytes[i];
        switch (t->state) {
            case AFTER_IAC:
                t->state = IN_DATA;
                if (c == TELNET_IAC) {
                    bytes[out++] = c;
                } else if (c >= TELNET_WILL && c <= TELNET_DONT) {
                    t->verb = c;
                    t->state = AFTER_VERB;
                } else if (c == TELNET_SB) {
                    t->subLength = 0;
                    t->subIac = false;
                    t->state = IN_SUB;
                }  // any other command (NOP, GA, BRK...) means nothing here
                break;
            case AFTER_VERB:
                t->state = IN_DATA;
                onOption(line, t->verb, c);
                break;
            case IN_SUB:
                if (t->subIac) {
                    t->subIac = false;
                    if (c != TELNET_IAC) {
                        // IAC SE ends it; IAC and anything else ends it too, and is a command.
                        onSubnegotiation(line);
                        t->state = c == TELNET_SE ? IN_DATA : AFTER_IAC;
                        if (c != TELNET_SE) i--;
                        break;
                    }
                } else if (c == TELNET_IAC) {
                    t->subIac = true;
                    break;
                }
                if (t->subLength < TELNET_SUBNEGOTIATION_SIZE) t->sub[t->subLength] = c;
                t->subLength++;
                break;
            default:
                t->state = IN_DATA;
                break;
        }
    }
    flushReplies(line);
    return out;
}

int telnetWrite(Line* line, const uint8_t* bytes, uint32_t n) {
    uint8_t encoded[ENCODE_CHUNK + 1];
    uint32_t length = 0;
    for (uint32_t i = 0; i < n; i++) {
        encoded[length++] = bytes[i];
        if (bytes[i] == TELNET_IAC) encoded[length++] = TELNET_IAC;
        if (length >= ENCODE_CHUNK) {
            int status = rawWrite(line, encoded, length);
            if (status != LINE_OK) return status;
            length = 0;
        }
    }
    return length == 0 ? LINE_OK : rawWrite(line, encoded, length);
}

void telnetBreak(Line* line, uint32_t milliseconds) {
    if (line->gone) return;
    if (comPortAgreed(&line->telnet)) {
        replyComPortByte(line, COM_PORT_SET_CONTROL, COM_PORT_BREAK_ON);
        flushReplies(line);
        linePause(line, milliseconds);
        replyComPortByte(line, COM_PORT_SET_CONTROL, COM_PORT_BREAK_OFF);
    } else {
        const uint8_t command[2] = {TELNET_IAC, TELNET_BRK};
        reply(line, command, 2);
    }
    flushReplies(line);
}

namespace {

void ask(Line* line, uint8_t verb, int index) {
    TelnetState* t = &line->telnet;
    (verb == TELNET_WILL ? t->usAsked : t->himAsked)[index] = true;
    replyCommand(line, verb, OPTION_CODES[index]);
}

// Every answer opening waits for is in: BINARY both ways, COM-PORT-OPTION,
// and where it was taken, the answers to the settings.
bool settled(const TelnetState* t) {
    if (!t->usAnswered[TELNET_BINARY] || !t->himAnswered[TELNET_BINARY]) return false;
    if (!t->usAnswered[TELNET_COM_PORT] && !t->himAnswered[TELNET_COM_PORT]) return false;
    return !comPortAgreed(t) || t->comPortSettled;
}

}  // namespace

int telnetNegotiate(Line* line) {
    TelnetState* t = &line->telnet;
    memset(t, 0, sizeof *t);
    ask(line, TELNET_WILL, TELNET_BINARY);
    ask(line, TELNET_DO, TELNET_BINARY);
    ask(line, TELNET_WILL, TELNET_SGA);
    ask(line, TELNET_DO, TELNET_SGA);
    ask(line, TELNET_WILL, TELNET_COM_PORT);
    flushReplies(line);
    const int64_t deadline = nowMs() + TELNET_NEGOTIATION_MS;
    uint8_t* const limit = line->input + LINE_INPUT_SIZE;
    // Data may come before the answers (a peer already talking behind the
    // server): it goes on after what was read ahead, for the first read.
    uint8_t* end = line->input + (line->end - line->input);
    while (!settled(t) && !line->gone && end < limit) {
        int64_t remaining = deadline - nowMs();
        if (remaining <= 0) break;
        int got = rawReadWithin(line, end, static_cast<uint32_t>(limit - end), remaining);
        if (got < 0) break;
        end += telnetDecode(line, end, static_cast<uint32_t>(got));
        line->end = end;
    }
    if (line->gone) {
        printf(MSG_TELNET_CLOSED, line->name);
        return 1;
    }
    if (!comPortAgreed(t)) printf(MSG_TELNET_NO_COM_PORT, line->name);
    return 0;
}
