// What the telnet layer of a line keeps between reads: where the decoder
// stands in a command or a subnegotiation, which options each side has
// agreed to, and the replies not yet sent.
#pragma once

#include <cstdint>

constexpr uint32_t TELNET_SUBNEGOTIATION_SIZE = 64;
constexpr uint32_t TELNET_REPLY_SIZE = 256;

// The options this program takes part in; every other one is refused.
enum TelnetOption { TELNET_BINARY, TELNET_SGA, TELNET_COM_PORT, TELNET_OPTIONS };

struct TelnetState {
    uint8_t state;        // the decoder's place: data, after IAC, after WILL/WONT/DO/DONT, in SB
    uint8_t verb;         // the WILL, WONT, DO or DONT being read
    bool subIac;          // an IAC inside a subnegotiation
    uint8_t sub[TELNET_SUBNEGOTIATION_SIZE];
    uint32_t subLength;
    // Per option: this side / the server does it; this side asked and has no answer yet.
    bool us[TELNET_OPTIONS];
    bool him[TELNET_OPTIONS];
    bool usAsked[TELNET_OPTIONS];
    bool himAsked[TELNET_OPTIONS];
    bool usAnswered[TELNET_OPTIONS];   // the server said DO or DONT
    bool himAnswered[TELNET_OPTIONS];  // the server said WILL or WONT
    bool comPortSent;         // the serial settings have gone out
    bool comPortSettled;      // the server has answered the last of them
    uint32_t baudAnswered;    // the speed the server reported; 0: none yet
    uint8_t reply[TELNET_REPLY_SIZE];  // answers gathered by the decoder
    uint32_t replyLength;
};
