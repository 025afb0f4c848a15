// The serial ports of a Windows machine: the registry's map of the serial
// devices (every driver that makes a COM port enters it there), or, where
// that map is missing, the COM names among the DOS device names.
#include <cctype>
#include <cstring>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "adapter/port_settings.h"

namespace {

const char SERIAL_MAP_KEY[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr DWORD DOS_NAMES_SIZE = 65536;

void addFromRegistry(PortList* list) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SERIAL_MAP_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    for (DWORD i = 0;; i++) {
        char name[256];
        char port[256];
        DWORD nameLength = sizeof name;
        DWORD portLength = sizeof port - 1;
        DWORD type = 0;
        LONG status = RegEnumValueA(key, i, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(port),
                                    &portLength);
        if (status == ERROR_MORE_DATA) continue;  // no port name is that long: passed over
        if (status != ERROR_SUCCESS) break;
        if (type != REG_SZ) continue;
        port[portLength] = '\0';
        portListAppend(list, port);
    }
    RegCloseKey(key);
}

void addFromDosDevices(PortList* list) {
    static char names[DOS_NAMES_SIZE];
    if (QueryDosDeviceA(nullptr, names, DOS_NAMES_SIZE) == 0) return;
    for (const char* name = names; *name != '\0'; name += strlen(name) + 1) {
        if (_strnicmp(name, "COM", 3) == 0 && isdigit(static_cast<unsigned char>(name[3])))
            portListAppend(list, name);
    }
}

}  // namespace

void portListPrint() {
    PortList list{};
    addFromRegistry(&list);
    if (list.used == 0) addFromDosDevices(&list);
    portListShow(&list);
}
