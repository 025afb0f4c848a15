// The serial ports of a POSIX host: the stable names of USB adapters, the USB
// adapters and CDC devices themselves, and the ttyS devices that have a UART
// behind them (most ttyS are placeholders that cannot be used).
#include <glob.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "adapter/port_settings.h"

namespace {

// The serial core tells the UART type of each ttyS in sysfs; 0 is a
// placeholder with no UART. Reading it opens no device, so listing the ports
// never raises the modem lines of one.
bool hasUart(const char* path) {
    const char* base = strrchr(path, '/');
    char typePath[PATH_MAX];
    snprintf(typePath, sizeof typePath, "/sys/class/tty/%s/type", base != nullptr ? base + 1 : path);
    FILE* file = fopen(typePath, "r");
    if (file == nullptr) return false;
    int type = 0;
    bool known = fscanf(file, "%d", &type) == 1 && type != 0;
    fclose(file);
    return known;
}

void addMatches(PortList* list, const char* pattern, bool (*keep)(const char*)) {
    glob_t found{};
    if (glob(pattern, 0, nullptr, &found) == 0) {
        for (size_t i = 0; i < found.gl_pathc; i++)
            if (keep == nullptr || keep(found.gl_pathv[i])) portListAppend(list, found.gl_pathv[i]);
    }
    globfree(&found);
}

}  // namespace

void portListPrint() {
    PortList list{};
    addMatches(&list, "/dev/serial/by-id/*", nullptr);
    addMatches(&list, "/dev/ttyUSB*", nullptr);
    addMatches(&list, "/dev/ttyACM*", nullptr);
    addMatches(&list, "/dev/ttyS*", hasUart);
    portListShow(&list);
}
