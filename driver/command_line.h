// Command-line handling: `zmodem /r` receives a batch, `zmodem /s FILE` sends
// one file. Returns the process exit status.
#pragma once

// Exit statuses.
constexpr int EXIT_TRANSFER_OK = 0;
constexpr int EXIT_USAGE = 1;
constexpr int EXIT_TRANSFER_FAILED = 2;

int runCommandLine(int argc, char** argv);
