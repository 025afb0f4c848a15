// Frames as a Zmodem peer puts them on the line, built independently of the
// engine's own encoders, and a reader for the frames the engine writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

uint32_t referenceCrc16(const Bytes& bytes);   // CRC-16/XMODEM, bit by bit
uint32_t referenceCrc32(const Bytes& bytes);   // complemented reflected CRC-32, bit by bit

Bytes bytesOf(const std::string& text);
// n bytes from a small linear congruential generator: the same for the same seed.
Bytes pattern(size_t n, uint32_t seed);
Bytes slice(const Bytes& bytes, size_t from, size_t to);
Bytes concat(std::initializer_list<Bytes> parts);
// The bytes with the ten escaped values as ZDLE pairs.
Bytes escaped(const Bytes& bytes);

Bytes hexHeader(uint8_t type, uint32_t data);
Bytes bin16Header(uint8_t type, uint32_t data);
Bytes bin32Header(uint8_t type, uint32_t data);
// ZF0 is the fourth data byte: flags(zf0) puts it there.
inline uint32_t flags(uint8_t zf0) { return static_cast<uint32_t>(zf0) << 24; }

// A data subpacket with CRC-16 or CRC-32, ended by the given frame-end code.
Bytes subpacket16(const Bytes& data, uint8_t frameEnd);
Bytes subpacket32(const Bytes& data, uint8_t frameEnd);
// The ZFILE subpacket content: name, NUL, information, NUL.
Bytes fileInfo(const std::string& name, const std::string& information);
// The information a POSIX sender offers for a local file: its length, then
// its modification time and mode in octal, then 0.
std::string offeredInfo(const std::string& path);

// True when the output ends with the abort sequence: ten CAN, ten backspaces.
bool endsWithAbort(const Bytes& output);

// A header the engine wrote, as a peer decodes it.
struct SeenHeader {
    char format;      // 'A', 'B' or 'C'
    uint8_t type;
    uint32_t data;    // ZP0 least significant
    size_t end;       // offset just past the header in the output
    size_t start;     // offset of the ZPAD before its ZDLE
};

// Every well-formed header in the engine's output, from the given offset on.
std::vector<SeenHeader> headersIn(const Bytes& output, size_t from = 0);
std::vector<uint8_t> typesIn(const Bytes& output, size_t from = 0);
