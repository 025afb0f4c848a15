// Every text the program prints or latches, in one place. They are macros so
// that printf-style format checking sees the literal at each use.
#pragma once

// Driver.
#define MSG_BANNER "\nZmodem program..."
#define MSG_USAGE "\nUsage: zmodem /r /s [filename]"
#define MSG_UNRECOGNIZED_ARGUMENT "\nUnrecognized argument"
#define MSG_SEND_NEEDS_FILENAME "\nError: send requires filename"
#define MSG_FILENAME_TOO_LONG "\nError: file name longer than 259 characters"
#define MSG_BAD_BAUD "\nError: ZMODEM_BAUD=%s is not a line speed this system offers (for example 9600, 57600, 115200)"
#define MSG_BAD_MODEM_LINE "\nError: %s=%s must be on or off"
#define MSG_BAD_PORT \
    "\nError: ZMODEM_PORT=%s is not a line this program opens: give a device (/dev/ttyUSB0, COM3), - for " \
    "standard input and output, tcp:HOST:PORT or telnet:HOST:PORT"
#define MSG_BAD_WINDOW "\nError: ZMODEM_WINDOW=%s must be 0 or a number of bytes from 1024 up"
#define MSG_TOO_MANY_FILES "\nError: more than 255 files to send"

// Engine errors, latched in the error slot.
#define ZMD001_ZRINIT_NOT_ACCEPTED "ZMD001 Remote didn't accept my ZRINIT\n"
#define ZMD002_ZRPOS_UNANSWERED "ZMD002 Remote failed to respond to my ZRPOS\n"
#define ZMD004_CRC16_ERROR "ZMD004 CRCXM error, ours = %x, theirs = %x\n"
#define ZMD005_SUBPACKET_TOO_LONG "ZMD005 Error - subpacket too long\n"
#define ZMD006_CRC32_ERROR "ZMD006 CRC32 error - ours = %lx, theirs = %lx\n"
#define ZMD007_FILE_INFO_OUT_OF_SPEC "ZMD007 File Data is out of spec\n"
#define ZMD008_BAD_HEX "ZMD008 Bad hex character %x received\n"
#define ZMD009_TIMEOUT "ZMD009 Timeout\n"
#define ZMD010_REMOTE_CANCEL "ZMD010 Received cancel signal from remote\n"
#define MEM001_NO_MEMORY "MEM001 Insufficient memory allocating %lu bytes\n"
#define FIL001_WRITE_FAILED "FIL001 Error writing file %s\n"
#define FIL002_CLOSE_FAILED "FIL002 Error closing file %s\n"
#define FIL003_FILE_TOO_LARGE "FIL003 File %s exceeds 2147483647 bytes\n"
#define FIL004_READ_FAILED "FIL004 Error reading file %s\n"
#define FIL005_SEEK_FAILED "FIL005 Cannot seek file %s to offset %lu\n"

// File progress lines.
#define MSG_OPENING_FILE "opening file %s\n"
#define MSG_OPEN_FAILED "failed to open file %s\n"
#define MSG_CLOSING_FILE "closing file\n"
#define MSG_SEEKING "seeking to offset %lu\n"
#define MSG_READ_BYTES "read %d bytes\n"
#define MSG_FILE_TOO_LARGE "file %s is 2 GiB or larger and cannot be sent\n"
#define MSG_FILE_SKIPPED "file %s was skipped by the receiver\n"
#define MSG_FILE_NOT_ACCEPTED "file %s was not accepted by the receiver\n"
#define MSG_FILE_SKIPPED_AS_ASKED "file %s was skipped as the sender asked\n"
#define MSG_FILE_NOT_SENT "file %s was not sent: no receiver answered\n"

// Serial port.
#define MSG_PORT_OPEN_FAILED "CreateFile failed with error %d.\n"
#define MSG_PORT_GET_FAILED "GetCommState failed with error %d.\n"
#define MSG_PORT_SET_FAILED "SetCommState failed with error %d.\n"
#define MSG_PORT_TIMEOUTS_FAILED "SetCommTimeouts failed with error %d.\n"
#define MSG_PORT_LIST "Serial ports on this machine: %s. Choose one with the environment variable ZMODEM_PORT.\n"
#define MSG_PORT_LIST_EMPTY "none found"
#define MSG_PORT_RECONFIGURED "Serial port %s successfully reconfigured.\n"
#define MSG_LINE_OPENED "Line %s successfully opened.\n"
#define MSG_STDIO_LINE_NAME "- (standard input and output)"
#define MSG_TCP_RESOLVE_FAILED "Cannot find host %s: %s.\n"
#define MSG_TCP_CONNECT_FAILED "Cannot connect to %s: %s.\n"
#define MSG_TELNET_NO_COM_PORT \
    "Line %s: the server does not set its serial port (RFC 2217 refused); its own speed and settings are used.\n"
#define MSG_TELNET_CLOSED "Cannot open %s: the server closed the connection during the telnet negotiation.\n"
#define MSG_STDIO_NOT_PIPES "Line - cannot be opened: on Windows, standard input and output must both be pipes, not a console or a file.\n"
// A line that is gone: the device removed or hung up, the other end closed.
#define LIN001_LINE_GONE "LIN001 Line %s is gone\n"
#define MSG_READ_EVENT_FAILED "\nError Create Reader Event"
#define MSG_READ_FAILED "\nError in GetLastError."
#define MSG_READ_WAIT_FAILED "\nError in WaitForSingleObject."
#define MSG_READ_RESULT_FAILED "\nError in GetOverlappedResult"

// The user stopped the transfer (Ctrl-C, a termination signal, the console
// closing); latched on the next read or write of the line.
#define ZMD011_INTERRUPTED "ZMD011 Transfer interrupted\n"

// The progress line on a terminal's standard error: the name, then one of
// these. A rate and a time fill the %s fields.
#define MSG_PROGRESS_RUNNING "  %lu/%lu bytes  %3u%%  %s  %s left"
#define MSG_PROGRESS_RUNNING_NO_TOTAL "  %lu bytes  %s"
#define MSG_PROGRESS_ENDED "  %lu/%lu bytes  %3u%%  in %s  %s  %s"
#define MSG_PROGRESS_ENDED_NO_TOTAL "  %lu bytes  in %s  %s  %s"
#define MSG_PROGRESS_DONE "done"
#define MSG_PROGRESS_FAILED "failed"
#define MSG_PROGRESS_SKIPPED "skipped"
#define MSG_PROGRESS_SUMMARY "%d %s, %lu bytes in %s  %s\n"
#define MSG_PROGRESS_WHY "%s: %s"
#define MSG_PROGRESS_FILE "file"
#define MSG_PROGRESS_FILES "files"
#define MSG_RATE_BYTES "%lu B/s"
#define MSG_RATE_KIB "%.1f KiB/s"
#define MSG_RATE_MIB "%.1f MiB/s"
#define MSG_DURATION "%lu:%02lu"
#define MSG_DURATION_HOURS "%lu:%02lu:%02lu"
#define MSG_DURATION_UNKNOWN "--:--"

// The terminal mode (/t).
#define MSG_TERMINAL_NEEDS_TTY "\nError: /t needs a terminal"
#define MSG_TERMINAL_NEEDS_LINE "\nError: /t needs a line other than standard input and output"
#define MSG_TERMINAL_HINT "Terminal: Ctrl-T ? lists the commands, Ctrl-T q quits.\n"
#define MSG_TERMINAL_HELP                                                       \
    "\nCtrl-T q       quit\n"                                                   \
    "Ctrl-T s       send files (asks for their names)\n"                         \
    "Ctrl-T r       receive files now (the remote's sz has started already)\n"  \
    "Ctrl-T b       send a break\n"                                             \
    "Ctrl-T ? or h  this list\n"                                                \
    "Ctrl-T Ctrl-T  send Ctrl-T\n"
#define MSG_FILES_PROMPT "\nFiles to send: "
