// Protocol characters, header types, sizes and limits shared by every layer.
#pragma once

#include <cstdint>

// Characters on the line.
constexpr int ZPAD = 0x2A;   // '*'
constexpr int ZDLE = 0x18;   // escape lead-in, same value as CAN
constexpr int XON = 0x11;
constexpr int XOFF = 0x13;
constexpr int DLE = 0x10;
constexpr int DEL = 0x7F;
constexpr int CR = 0x0D;
constexpr int LF = 0x0A;
constexpr int ZRUB0 = 'l';   // ZDLE l stands for 0x7F
constexpr int ZRUB1 = 'm';   // ZDLE m stands for 0xFF

// Frame-end codes of data subpackets.
constexpr int ZCRCE = 'h';
constexpr int ZCRCG = 'i';
constexpr int ZCRCQ = 'j';
constexpr int ZCRCW = 'k';

// Frame format letters of headers.
constexpr uint8_t FRAME_BIN16 = 'A';
constexpr uint8_t FRAME_HEX = 'B';
constexpr uint8_t FRAME_BIN32 = 'C';

// Header types.
constexpr uint8_t ZRQINIT = 0;
constexpr uint8_t ZRINIT = 1;
constexpr uint8_t ZSINIT = 2;
constexpr uint8_t ZACK = 3;
constexpr uint8_t ZFILE = 4;
constexpr uint8_t ZSKIP = 5;
constexpr uint8_t ZNAK = 6;
constexpr uint8_t ZFIN = 8;
constexpr uint8_t ZRPOS = 9;
constexpr uint8_t ZDATA = 10;
constexpr uint8_t ZEOF = 11;
constexpr uint8_t ZCANCEL = 254;  // the peer's cancel signal, as the sender sees it

// ZRINIT capabilities (ZF0): full duplex, overlapped I/O, 32-bit CRC.
constexpr uint8_t ZRINIT_FLAGS = 0x23;
constexpr uint8_t CANFDX = 0x01;
constexpr uint8_t CANOVIO = 0x02;
constexpr uint8_t CANFC32 = 0x20;
// ZRINIT capability (ZF0) of a receiver that wants every control character escaped.
constexpr uint8_t ESCCTL = 0x40;
// ZFILE conversion option (ZF0): binary.
constexpr uint8_t ZCBIN = 1;
// ZFILE conversion option (ZF0): continue an existing shorter file.
constexpr uint8_t ZCRESUM = 3;
// ZFILE management options (ZF1, low five bits), and the flag to skip a file
// that does not exist at the receiver.
constexpr uint8_t ZMMASK = 0x1F;
constexpr uint8_t ZMNEWL = 1;   // newer or of another length
constexpr uint8_t ZMAPND = 3;   // append
constexpr uint8_t ZMCLOB = 4;   // overwrite
constexpr uint8_t ZMNEW = 5;    // newer
constexpr uint8_t ZMPROT = 7;   // keep an existing file
constexpr uint8_t ZMSKNOLOC = 0x80;
// Mode offered for every file sent from Windows: a regular file, rw-r--r--.
constexpr uint32_t WINDOWS_FILE_MODE = 0100644;

// Sizes.
constexpr int32_t BUFFER_SIZE = 18000;
constexpr uint32_t BLOCK_SIZE = 1024;
// Subpackets shrink to this after rewinds close together, halving each time...
constexpr uint32_t MIN_BLOCK_SIZE = 128;
// ...and grow back, doubling after this many bytes gone through clean, up
// to BLOCK_SIZE.
constexpr uint32_t BLOCK_GROWTH_BYTES = 8192;
constexpr int FILE_NAME_SIZE = 260;            // 259 characters and the NUL
constexpr int BATCH_SIZE = 256;                // 255 names and the empty terminator
constexpr uint32_t FILE_INFO_LIMIT = 1024;     // the ZFILE information must end before this offset
constexpr uint32_t FILE_INFO_TEXT_SIZE = 96;   // room for the widest information text sent
constexpr uint32_t MAX_FILE_OFFSET = 0x7FFFFFFF;  // file positions pass through signed 32-bit offsets
constexpr int HEX_HEADER_LENGTH = 21;
// Ten CAN then ten backspaces: a peer stops its session on five CAN in a row;
// the backspaces rub the CANs out on a terminal.
constexpr int ABORT_LENGTH = 20;
constexpr int BS = 0x08;
// This many CAN (0x18) in a row from the peer cancel the transfer. No escape
// pair holds two of them, so such a run is never data.
constexpr uint32_t CANCEL_RUN = 5;

// Retries and time-outs.
constexpr int RETRY_LIMIT = 10;
constexpr int READ_WAIT_RETRIES = 200;
constexpr uint32_t READ_RETRY_PAUSE_MS = 10;
constexpr uint32_t READ_TIMEOUT_PER_BYTE_MS = 10;
constexpr uint32_t READ_TIMEOUT_CONSTANT_MS = 100;
constexpr uint32_t READ_INTERVAL_TIMEOUT_MS = 20;
// A single attempt to read one byte from a silent line takes this long.
constexpr uint32_t SINGLE_READ_MS = READ_TIMEOUT_PER_BYTE_MS + READ_TIMEOUT_CONSTANT_MS;
constexpr int PURGE_BUFFER_SIZE = 200;
// A purge gives up after this many bytes, so that a peer that keeps streaming
// (or a line full of noise) cannot hold off the request that follows it.
constexpr uint32_t PURGE_LIMIT = 2048;

// The line, chosen through the environment; unset or empty means the default.
constexpr char PORT_VARIABLE[] = "ZMODEM_PORT";
constexpr char BAUD_VARIABLE[] = "ZMODEM_BAUD";
constexpr char DTR_VARIABLE[] = "ZMODEM_DTR";
constexpr char RTS_VARIABLE[] = "ZMODEM_RTS";
constexpr char AUTOSTART_VARIABLE[] = "ZMODEM_AUTOSTART";  // the terminal's auto-start: on or off
// The sender's window: unacknowledged bytes at most while streaming; 0 streams without one.
constexpr char WINDOW_VARIABLE[] = "ZMODEM_WINDOW";
constexpr uint32_t DEFAULT_WINDOW = 16384;
// The default on a TCP or telnet line: a serial server's round trip holds
// more in flight, and 16 kB there halves the speed of an unthrottled port.
constexpr uint32_t NETWORK_WINDOW = 131072;
constexpr uint32_t MAX_WINDOW = 0x7FFFFFFF;
// After a rewind the window is what the line carries in two round trips, for
// the rest of the file; until the round trip and the line's speed are known,
// at most this.
constexpr uint32_t MIN_WINDOW = 4096;
// The line's speed is taken from the ZACKs, over spans of at least this many
// bytes and this long.
constexpr uint32_t RATE_SPAN_BYTES = 1024;
constexpr uint64_t RATE_SPAN_US = 2000;
// An answer to an offer slower than this says nothing of the line's round trip.
constexpr uint64_t ROUND_TRIP_LIMIT_US = 1000000;
// What the receiver's own pace may add to the line's time for a stretch of data.
constexpr uint64_t LINE_TIME_MARGIN_US = 100000;
// A ZRPOS taken for a repeat of the rewind just made is honoured after all
// once this many single reads in a row, the window full, bring nothing (about 2 s).
constexpr int REPEAT_WAIT_READS = 18;
// The sender asks for an acknowledgement (ZCRCQ) this often within a window: every quarter.
constexpr uint32_t WINDOW_QUERIES = 4;
constexpr uint32_t DEFAULT_BAUD = 115200;
// A write may take this long beyond the time its bytes need on the line.
constexpr uint32_t WRITE_TIMEOUT_CONSTANT_MS = 5000;
// A line on which nothing moves for this long while there is more to write
// (no byte taken, its queue no emptier), longer than any wait for a reply,
// has an other end that no longer reads: it counts as gone. A device gets
// the time its driver's buffer needs at its speed on top.
constexpr uint32_t WRITE_STALL_MS = 30000;
constexpr uint32_t DEVICE_QUEUE_BYTES = 4096;
// How often a write that waits for room looks whether the line still drains.
constexpr int WRITE_ROOM_POLL_MS = 500;

// Telnet (RFC 854) commands and the options this program negotiates.
constexpr uint8_t TELNET_IAC = 255;
constexpr uint8_t TELNET_DONT = 254;
constexpr uint8_t TELNET_DO = 253;
constexpr uint8_t TELNET_WONT = 252;
constexpr uint8_t TELNET_WILL = 251;
constexpr uint8_t TELNET_SB = 250;
constexpr uint8_t TELNET_BRK = 243;
constexpr uint8_t TELNET_SE = 240;
constexpr uint8_t TELNET_OPT_BINARY = 0;     // RFC 856
constexpr uint8_t TELNET_OPT_SGA = 3;        // suppress go-ahead
constexpr uint8_t TELNET_OPT_COM_PORT = 44;  // RFC 2217
// COM-PORT-OPTION commands from the client; the server answers each with the
// same command plus 100.
constexpr uint8_t COM_PORT_SET_BAUDRATE = 1;
constexpr uint8_t COM_PORT_SET_DATASIZE = 2;
constexpr uint8_t COM_PORT_SET_PARITY = 3;
constexpr uint8_t COM_PORT_SET_STOPSIZE = 4;
constexpr uint8_t COM_PORT_SET_CONTROL = 5;
constexpr uint8_t COM_PORT_SERVER_OFFSET = 100;
constexpr uint8_t COM_PORT_PARITY_NONE = 1;
constexpr uint8_t COM_PORT_STOP_ONE = 1;
constexpr uint8_t COM_PORT_NO_FLOW_CONTROL = 1;
constexpr uint8_t COM_PORT_BREAK_ON = 5;
constexpr uint8_t COM_PORT_BREAK_OFF = 6;
constexpr uint8_t COM_PORT_DTR_ON = 8;
constexpr uint8_t COM_PORT_DTR_OFF = 9;
constexpr uint8_t COM_PORT_RTS_ON = 11;
constexpr uint8_t COM_PORT_RTS_OFF = 12;
// How long opening a telnet line waits for the server's answers to the
// options; a silent server is used as it is once this has passed.
constexpr uint32_t TELNET_NEGOTIATION_MS = 2000;
