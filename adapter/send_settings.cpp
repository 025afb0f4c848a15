#include "adapter/send_settings.h"

#include <cstdio>
#include <cstdlib>

#include "adapter/constants.h"
#include "adapter/messages.h"

bool windowSettingRead(uint32_t* window, uint32_t byDefault) {
    *window = byDefault;
    const char* text = getenv(WINDOW_VARIABLE);
    if (text == nullptr || text[0] == '\0') return true;
    uint64_t value = 0;
    bool valid = true;
    for (const char* p = text; *p != '\0' && valid; p++) {
        valid = *p >= '0' && *p <= '9';
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > MAX_WINDOW) valid = false;
    }
    // Below one block a window would stop the sender after every subpacket
    // for nothing: refused like any other value that makes no sense.
    if (valid && value != 0 && value < BLOCK_SIZE) valid = false;
    if (!valid) {
        printf(MSG_BAD_WINDOW, text);
        return false;
    }
    *window = static_cast<uint32_t>(value);
    return true;
}
