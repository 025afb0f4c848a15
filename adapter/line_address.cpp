// The forms ZMODEM_PORT takes: a device (a path, a COM name), "-" for
// standard input and output, tcp:HOST:PORT and telnet:HOST:PORT, HOST a
// name, an IPv4 address or an IPv6 address in brackets.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "adapter/line.h"
#include "adapter/messages.h"

namespace {

#ifdef _WIN32
const char DEFAULT_DEVICE[] = "COM1";
#else
const char DEFAULT_DEVICE[] = "/dev/ttyS0";
#endif

// HOST:PORT into the record; false when it is not that form.
bool parseHostPort(Line* line, const char* text) {
    const char* colon = nullptr;
    const char* hostStart = text;
    size_t hostLength = 0;
    if (text[0] == '[') {
        const char* close = strchr(text, ']');
        if (close == nullptr || close[1] != ':') return false;
        hostStart = text + 1;
        hostLength = static_cast<size_t>(close - hostStart);
        colon = close + 1;
    } else {
        colon = strrchr(text, ':');
        if (colon == nullptr) return false;
        hostLength = static_cast<size_t>(colon - text);
        if (memchr(text, ':', hostLength) != nullptr) return false;  // IPv6 needs its brackets
    }
    if (hostLength == 0 || hostLength >= LINE_HOST_SIZE) return false;
    const char* port = colon + 1;
    size_t portLength = strlen(port);
    if (portLength == 0 || portLength > 5) return false;
    unsigned long number = 0;
    for (const char* p = port; *p != '\0'; p++) {
        if (!isdigit(static_cast<unsigned char>(*p))) return false;
        number = number * 10 + static_cast<unsigned long>(*p - '0');
    }
    if (number == 0 || number > 65535) return false;
    memcpy(line->host, hostStart, hostLength);
    line->host[hostLength] = '\0';
    snprintf(line->service, sizeof line->service, "%lu", number);
    return true;
}

// "word:" at the start, two letters or more: a prefix form, not a device.
size_t prefixLength(const char* text) {
    size_t i = 0;
    while (isalpha(static_cast<unsigned char>(text[i]))) i++;
    return i >= 2 && text[i] == ':' ? i : 0;
}

}  // namespace

bool lineParse(Line* line, const LineSettings* settings) {
    line->settings = *settings;
    const char* port = settings->port != nullptr ? settings->port : DEFAULT_DEVICE;
    bool valid = strlen(port) < LINE_NAME_SIZE;
    size_t prefix = valid ? prefixLength(port) : 0;
    if (valid && strcmp(port, "-") == 0) {
        line->kind = LINE_STDIO;
    } else if (prefix == 3 && strncmp(port, "tcp", 3) == 0) {
        line->kind = LINE_TCP;
        valid = parseHostPort(line, port + 4);
    } else if (prefix == 6 && strncmp(port, "telnet", 6) == 0) {
        line->kind = LINE_TELNET;
        valid = parseHostPort(line, port + 7);
    } else if (prefix != 0) {
        valid = false;
    } else {
        line->kind = LINE_DEVICE;
    }
    if (!valid) {
        printf(MSG_BAD_PORT, port);
        return false;
    }
    snprintf(line->name, sizeof line->name, "%s", port);
    return true;
}
