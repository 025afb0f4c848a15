// Stopping a transfer from the keyboard or the system: SIGINT, SIGTERM and
// SIGHUP on POSIX hosts; Ctrl-C, Ctrl-Break and the console closing on
// Windows. The first request sets interruptRequested (adapter/interrupt_flag.h)
// and the transfer winds down: abort sequence to the peer, partial file kept,
// status 2. A second request ends the process at once with status 2.
#pragma once

void interruptInstall();

#include <csignal>

// Set with interruptRequested by a request that ends the program, not only
// the transfer: SIGTERM, SIGHUP; on Windows the console closing, a logoff or
// a shutdown.
extern volatile std::sig_atomic_t terminateRequested;
// What a request that ends the program at once does first (the terminal
// gives the console back). It must be safe in a signal handler.
void interruptBeforeExit(void (*restore)());
#ifdef _WIN32
// An event set by every request, for a wait that must end on one.
void* interruptEvent();
#endif
