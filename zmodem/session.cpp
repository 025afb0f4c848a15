#include "zmodem/session.h"

uint32_t headerOffset(const ZmodemSession* session) {
    const uint8_t* d = session->headerData;
    return static_cast<uint32_t>(d[0]) | static_cast<uint32_t>(d[1]) << 8 |
           static_cast<uint32_t>(d[2]) << 16 | static_cast<uint32_t>(d[3]) << 24;
}

void setHeaderOffset(ZmodemSession* session, uint32_t offset) {
    for (int i = 0; i < 4; i++) session->headerData[i] = static_cast<uint8_t>(offset >> (8 * i));
}
