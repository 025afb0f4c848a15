// What the telnet layer of a line keeps between reads: where the decoder
// stands in a command or a subnegotiation, and what the server has agreed to.
#pragma once

#include <cstdint>

constexpr uint32_t TELNET_SUBNEGOTIATION_SIZE = 64;

struct TelnetState {
    uint8_t state;        // the decoder's place: data, after IAC, after WILL/WONT/DO/DONT, in SB
    uint8_t verb;         // the WILL, WONT, DO or DONT being read
    bool subIac;          // an IAC inside a subnegotiation
    uint8_t sub[TELNET_SUBNEGOTIATION_SIZE];
    uint32_t subLength;
    bool comPortAnswered; // the server said WILL or WONT to COM-PORT-OPTION
    bool comPortAgreed;
    uint32_t baudAnswered;    // the speed the server reported; 0: none yet
};
