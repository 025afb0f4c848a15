#include "tests/support/wire.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>

namespace {

const uint8_t PAD = 0x2A;
const uint8_t DLE_ESCAPE = 0x18;

bool mustEscape(uint8_t b) {
    switch (b & 0x7F) {
        case 0x10: case 0x11: case 0x13: case 0x18: case 0x7F: return true;
        default: return false;
    }
}

void putEscaped(Bytes& out, uint8_t b) {
    if (!mustEscape(b)) {
        out.push_back(b);
        return;
    }
    out.push_back(DLE_ESCAPE);
    out.push_back(b == 0x7F ? 'l' : b == 0xFF ? 'm' : static_cast<uint8_t>(b | 0x40));
}

Bytes headerBytes(uint8_t type, uint32_t data) {
    return {type, static_cast<uint8_t>(data), static_cast<uint8_t>(data >> 8), static_cast<uint8_t>(data >> 16),
            static_cast<uint8_t>(data >> 24)};
}

int hexDigit(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Decodes one escaped byte at output[pos]; advances pos. False at the end.
bool unescape(const Bytes& out, size_t& pos, uint8_t& value) {
    if (pos >= out.size()) return false;
    uint8_t b = out[pos++];
    if (b != DLE_ESCAPE) {
        value = b;
        return true;
    }
    if (pos >= out.size()) return false;
    uint8_t c = out[pos++];
    value = c == 'l' ? 0x7F : c == 'm' ? 0xFF : static_cast<uint8_t>(c & 0xBF);
    return true;
}

}  // namespace

uint32_t referenceCrc16(const Bytes& bytes) {
    uint32_t crc = 0;
    for (uint8_t b : bytes) {
        crc ^= static_cast<uint32_t>(b) << 8;
        for (int i = 0; i < 8; i++) crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) : (crc << 1);
        crc &= 0xFFFF;
    }
    return crc;
}

uint32_t referenceCrc32(const Bytes& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; i++) crc = (crc & 1) ? ((crc >> 1) ^ 0xEDB88320u) : (crc >> 1);
    }
    return ~crc;
}

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes pattern(size_t n, uint32_t seed) {
    Bytes out(n);
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        out[i] = static_cast<uint8_t>(seed >> 16);
    }
    return out;
}

Bytes slice(const Bytes& bytes, size_t from, size_t to) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes escaped(const Bytes& bytes) {
    Bytes out;
    for (uint8_t b : bytes) putEscaped(out, b);
    return out;
}

Bytes hexHeader(uint8_t type, uint32_t data) {
    Bytes covered = headerBytes(type, data);
    uint32_t crc = referenceCrc16(covered);
    covered.push_back(static_cast<uint8_t>(crc >> 8));
    covered.push_back(static_cast<uint8_t>(crc));
    Bytes out = {PAD, PAD, DLE_ESCAPE, 'B'};
    char hex[3];
    for (uint8_t b : covered) {
        snprintf(hex, sizeof hex, "%02x", b);
        out.push_back(static_cast<uint8_t>(hex[0]));
        out.push_back(static_cast<uint8_t>(hex[1]));
    }
    out.push_back(0x0D);
    out.push_back(0x0A);
    if (type != 8 && type != 3) out.push_back(0x11);
    return out;
}

Bytes bin16Header(uint8_t type, uint32_t data) {
    Bytes covered = headerBytes(type, data);
    uint32_t crc = referenceCrc16(covered);
    covered.push_back(static_cast<uint8_t>(crc >> 8));
    covered.push_back(static_cast<uint8_t>(crc));
    Bytes out = {PAD, DLE_ESCAPE, 'A'};
    for (uint8_t b : covered) putEscaped(out, b);
    return out;
}

Bytes bin32Header(uint8_t type, uint32_t data) {
    Bytes covered = headerBytes(type, data);
    uint32_t crc = referenceCrc32(covered);
    for (int i = 0; i < 4; i++) covered.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    Bytes out = {PAD, DLE_ESCAPE, 'C'};
    for (uint8_t b : covered) putEscaped(out, b);
    return out;
}

Bytes subpacket16(const Bytes& data, uint8_t frameEnd) {
    Bytes covered = data;
    covered.push_back(frameEnd);
    uint32_t crc = referenceCrc16(covered);
    Bytes out = escaped(data);
    out.push_back(DLE_ESCAPE);
    out.push_back(frameEnd);
    putEscaped(out, static_cast<uint8_t>(crc >> 8));
    putEscaped(out, static_cast<uint8_t>(crc));
    return out;
}

Bytes subpacket32(const Bytes& data, uint8_t frameEnd) {
    Bytes covered = data;
    covered.push_back(frameEnd);
    uint32_t crc = referenceCrc32(covered);
    Bytes out = escaped(data);
    out.push_back(DLE_ESCAPE);
    out.push_back(frameEnd);
    for (int i = 0; i < 4; i++) putEscaped(out, static_cast<uint8_t>(crc >> (8 * i)));
    return out;
}

Bytes fileInfo(const std::string& name, const std::string& information) {
    Bytes out = bytesOf(name);
    out.push_back(0);
    Bytes info = bytesOf(information);
    out.insert(out.end(), info.begin(), info.end());
    out.push_back(0);
    return out;
}

std::string offeredInfo(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return "";
    char text[64];
    snprintf(text, sizeof text, "%lld %llo %llo 0", static_cast<long long>(info.st_size),
             static_cast<unsigned long long>(info.st_mtime), static_cast<unsigned long long>(info.st_mode));
    return text;
}

bool endsWithAbort(const Bytes& output) {
    Bytes abort(10, 0x18);
    abort.insert(abort.end(), 10, 0x08);
    return output.size() >= abort.size() && std::equal(abort.begin(), abort.end(), output.end() - 20);
}

std::vector<SeenHeader> headersIn(const Bytes& output, size_t from) {
    std::vector<SeenHeader> seen;
    for (size_t i = from; i + 2 < output.size(); i++) {
        if (output[i] != PAD || output[i + 1] != DLE_ESCAPE) continue;
        uint8_t letter = output[i + 2];
        Bytes fields;
        size_t pos = i + 3;
        if (letter == 'B' && i > 0 && output[i - 1] == PAD) {
            for (int k = 0; k < 7 && pos + 1 < output.size(); k++, pos += 2) {
                int hi = hexDigit(output[pos]);
                int lo = hexDigit(output[pos + 1]);
                if (hi < 0 || lo < 0) break;
                fields.push_back(static_cast<uint8_t>(hi << 4 | lo));
            }
            if (fields.size() != 7) continue;
        } else if (letter == 'A' || letter == 'C') {
            size_t want = letter == 'A' ? 7 : 9;
            uint8_t v = 0;
            while (fields.size() < want && unescape(output, pos, v)) fields.push_back(v);
            if (fields.size() != want) continue;
        } else {
            continue;
        }
        Bytes covered(fields.begin(), fields.begin() + 5);
        if (letter == 'C') {
            uint32_t crc = fields[5] | fields[6] << 8 | fields[7] << 16 | static_cast<uint32_t>(fields[8]) << 24;
            if (referenceCrc32(covered) != crc) continue;
        } else {
            uint32_t crc = static_cast<uint32_t>(fields[5]) << 8 | fields[6];
            if (referenceCrc16(covered) != crc) continue;
        }
        uint32_t data = fields[1] | fields[2] << 8 | fields[3] << 16 | static_cast<uint32_t>(fields[4]) << 24;
        seen.push_back({static_cast<char>(letter), fields[0], data, pos, i});
        i = pos - 1;
    }
    return seen;
}

std::vector<uint8_t> typesIn(const Bytes& output, size_t from) {
    std::vector<uint8_t> types;
    for (const SeenHeader& h : headersIn(output, from)) types.push_back(h.type);
    return types;
}
