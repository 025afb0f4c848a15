// The serial ports of a POSIX host: the stable names of USB adapters, the USB
// adapters and CDC devices themselves, and the ttyS devices that have a UART
// behind them (most ttyS are placeholders that cannot be used).
#include <fcntl.h>
#include <glob.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#ifdef __linux__
#include <linux/serial.h>
#endif

#include "adapter/port_settings.h"

namespace {

bool hasUart(const char* path) {
#ifdef __linux__
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        serial_struct info{};
        int got = ioctl(fd, TIOCGSERIAL, &info);
        close(fd);
        if (got == 0) return info.type != PORT_UNKNOWN;
    }
    // Not ours to open: the kernel still shows whether a device backs it.
    const char* base = strrchr(path, '/');
    char device[PATH_MAX];
    snprintf(device, sizeof device, "/sys/class/tty/%s/device", base != nullptr ? base + 1 : path);
    struct stat info;
    return stat(device, &info) == 0;
#else
    (void)path;
    return true;
#endif
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
