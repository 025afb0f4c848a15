// Stopping a transfer from the keyboard or the system: SIGINT, SIGTERM and
// SIGHUP on POSIX hosts; Ctrl-C, Ctrl-Break and the console closing on
// Windows. The first request sets interruptRequested (adapter/interrupt_flag.h)
// and the transfer winds down: abort sequence to the peer, partial file kept,
// status 2. A second request ends the process at once with status 2.
#pragma once

void interruptInstall();
