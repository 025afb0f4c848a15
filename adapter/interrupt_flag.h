// The one flag through which a request to stop reaches the transfer. The
// signal or console handler only sets it; the line's read and write paths
// look at it between bytes and blocks and latch ZMD011 while it is set.
#pragma once

#include <csignal>

inline volatile std::sig_atomic_t interruptRequested = 0;
