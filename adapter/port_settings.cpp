#include "adapter/port_settings.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "adapter/constants.h"
#include "adapter/messages.h"

namespace {

#ifndef _WIN32
struct SpeedCode {
    uint32_t baud;
    speed_t code;
};
const SpeedCode SPEED_CODES[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},
#ifdef B460800
    {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
#endif
};
#endif

// The variable's value, or null when it is unset or empty.
const char* variable(const char* name) {
    const char* value = getenv(name);
    return (value != nullptr && value[0] != '\0') ? value : nullptr;
}

// A positive decimal number that fits 32 bits, digits only.
bool parseBaud(const char* text, uint32_t* baud) {
    uint64_t value = 0;
    for (const char* p = text; *p != '\0'; p++) {
        if (!isdigit(static_cast<unsigned char>(*p))) return false;
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > UINT32_MAX) return false;
    }
    *baud = static_cast<uint32_t>(value);
    return value != 0;
}

bool equalsIgnoringCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; a++, b++)
        if (tolower(static_cast<unsigned char>(*a)) != tolower(static_cast<unsigned char>(*b))) return false;
    return *a == *b;
}

}  // namespace

#ifndef _WIN32
bool lineSpeedCode(uint32_t baud, speed_t* code) {
    for (const SpeedCode& entry : SPEED_CODES) {
        if (entry.baud == baud) {
            *code = entry.code;
            return true;
        }
    }
    return false;
}
#endif

bool readSwitch(const char* name, bool* state, bool* set) {
    const char* value = variable(name);
    *set = value != nullptr;
    if (value == nullptr) return true;
    if (equalsIgnoringCase(value, "on")) {
        *state = true;
    } else if (equalsIgnoringCase(value, "off")) {
        *state = false;
    } else {
        printf(MSG_BAD_MODEM_LINE, name, value);
        return false;
    }
    return true;
}

bool lineSettingsRead(LineSettings* settings) {
    settings->port = variable(PORT_VARIABLE);
    settings->baud = DEFAULT_BAUD;
    settings->dtr = true;
    settings->rts = true;
    const char* baud = variable(BAUD_VARIABLE);
    settings->baudSet = baud != nullptr;
    if (baud != nullptr) {
        bool valid = parseBaud(baud, &settings->baud);
#ifndef _WIN32
        speed_t code;
        valid = valid && lineSpeedCode(settings->baud, &code);
#endif
        if (!valid) {
            printf(MSG_BAD_BAUD, baud);
            return false;
        }
    }
    return readSwitch(DTR_VARIABLE, &settings->dtr, &settings->dtrSet) &&
           readSwitch(RTS_VARIABLE, &settings->rts, &settings->rtsSet);
}

void portListAppend(PortList* list, const char* name) {
    if (list->used >= sizeof list->text) return;
    int written = snprintf(list->text + list->used, sizeof list->text - list->used, "%s%s",
                           list->used != 0 ? ", " : "", name);
    if (written > 0) list->used += static_cast<size_t>(written);
    if (list->used >= sizeof list->text) list->used = sizeof list->text;
}

void portListShow(const PortList* list) { printf(MSG_PORT_LIST, list->used != 0 ? list->text : MSG_PORT_LIST_EMPTY); }
