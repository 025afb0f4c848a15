// What the user chooses for sending through the environment: ZMODEM_WINDOW,
// the bytes the sender may have on the line unacknowledged (0: none, plain
// streaming). Checked by the driver before the port is opened.
#pragma once

#include <cstdint>

// Reads the variable into *window (byDefault when unset or empty). A bad
// value prints its message and gives false.
bool windowSettingRead(uint32_t* window, uint32_t byDefault);
