// The line the user chooses through the environment: ZMODEM_PORT (the
// device), ZMODEM_BAUD (the speed), ZMODEM_DTR and ZMODEM_RTS (the modem
// control lines, on or off). Shared by both serial backends and checked by the
// driver before the port is opened.
#pragma once

#include <cstddef>
#include <cstdint>

#ifndef _WIN32
#include <termios.h>
#endif

struct LineSettings {
    const char* port;  // null: the backend's default port
    uint32_t baud;
    bool dtr;
    bool rts;
    bool baudSet;  // the variables were set, not left at their defaults
    bool dtrSet;
    bool rtsSet;
};

// Reads the variables. A bad value prints its message and gives false.
bool lineSettingsRead(LineSettings* settings);
// A switch variable: on or off, in any case. Unset or empty keeps *state,
// and *set says whether it was given; another value prints its message and
// gives false.
bool readSwitch(const char* name, bool* state, bool* set);

#ifndef _WIN32
// The termios code of a line speed; false when termios has none for it.
bool lineSpeedCode(uint32_t baud, speed_t* code);
#endif

// The names of the serial ports found, separated by commas.
struct PortList {
    char text[1024];
    size_t used;
};
void portListAppend(PortList* list, const char* name);
// Prints one line naming the serial ports of this machine and how to choose
// one; the backends print it when their port cannot be used. Each backend
// has its own way to find them.
void portListPrint();
void portListShow(const PortList* list);
