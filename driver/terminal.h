// The terminal mode, `zmodem /t`: the console on the line, with the Ctrl-T
// commands and transfers that start from either end. Runs on a session whose
// line is open; returns the exit status.
#pragma once

#include "zmodem/session.h"

int runTerminal(ZmodemSession* session, bool autostart);
