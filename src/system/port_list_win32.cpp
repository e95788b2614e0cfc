#include "system/port_list.h"

// The port list on Windows: the COM names from HARDWARE\DEVICEMAP\SERIALCOMM, which holds
// every serial port the system runs, and for each what the device manager records (friendly
// name, hardware id, instance id). No port is opened.

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <initguid.h>

#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// "VID_0403&PID_6001" in a hardware id gives vendor 0403 and product 6001.
void usb_id_from(const char* hardware_id, PortInfo& port) {
    const char* vid = std::strstr(hardware_id, "VID_");
    const char* pid = std::strstr(hardware_id, "PID_");
    if (vid != nullptr && pid != nullptr) {
        std::snprintf(port.vid, sizeof port.vid, "%.4s", vid + 4);
        std::snprintf(port.pid, sizeof port.pid, "%.4s", pid + 4);
    }
}

// A USB instance id ends in the adapter's serial number, unless the system made one up (those
// hold '&').
void serial_from(const char* instance_id, PortInfo& port) {
    if (std::strncmp(instance_id, "USB\\", 4) != 0 && std::strncmp(instance_id, "FTDIBUS\\", 8))
        return;
    const char* last = std::strrchr(instance_id, '\\');
    if (last != nullptr && std::strchr(last, '&') == nullptr)
        std::snprintf(port.serial, sizeof port.serial, "%s", last + 1);
}

// True when the device manager's record `info` is the port named `com`.
bool is_port(HDEVINFO devices, SP_DEVINFO_DATA& info, const char* com) {
    const HKEY key = SetupDiOpenDevRegKey(devices, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE)
        return false;
    char name[64] = {};
    DWORD size = sizeof name - 1;
    DWORD type = 0;
    const bool found = RegQueryValueExA(key, "PortName", nullptr, &type,
                                        reinterpret_cast<BYTE*>(name), &size) == ERROR_SUCCESS &&
                       type == REG_SZ && _stricmp(name, com) == 0;
    RegCloseKey(key);
    return found;
}

// Adds what the device manager knows about the port (friendly name, driver, USB identity);
// false when it has no record of a present port of that name.
bool add_details(PortInfo& port) {
    const HDEVINFO devices =
        SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE)
        return false;
    bool found = false;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &info); ++i) {
        if (!is_port(devices, info, port.device))
            continue;
        char text[512] = {};
        if (SetupDiGetDeviceRegistryPropertyA(devices, &info, SPDRP_FRIENDLYNAME, nullptr,
                                              reinterpret_cast<BYTE*>(text), sizeof text - 1,
                                              nullptr))
            std::snprintf(port.product, sizeof port.product, "%s", text);
        if (SetupDiGetDeviceRegistryPropertyA(devices, &info, SPDRP_SERVICE, nullptr,
                                              reinterpret_cast<BYTE*>(text), sizeof text - 1,
                                              nullptr))
            std::snprintf(port.driver, sizeof port.driver, "%s", text);
        if (SetupDiGetDeviceRegistryPropertyA(devices, &info, SPDRP_HARDWAREID, nullptr,
                                              reinterpret_cast<BYTE*>(text), sizeof text - 1,
                                              nullptr))
            usb_id_from(text, port);
        if (SetupDiGetDeviceInstanceIdA(devices, &info, text, sizeof text, nullptr))
            serial_from(text, port);
        // The socket, as the device manager names it (Port_#0003.Hub_#0001). Windows has no
        // name of a port that follows the socket: a COM number stays with an adapter that has a
        // serial number, and is given per socket to one that has none.
        if (SetupDiGetDeviceRegistryPropertyA(devices, &info, SPDRP_LOCATION_INFORMATION, nullptr,
                                              reinterpret_cast<BYTE*>(text), sizeof text - 1,
                                              nullptr))
            std::snprintf(port.location, sizeof port.location, "%s", text);
        found = true;
        break;
    }
    SetupDiDestroyDeviceInfoList(devices);
    return found;
}

// COM2 before COM10.
bool comes_before(const PortInfo& a, const PortInfo& b) {
    const long m = std::strtol(a.device + 3, nullptr, 10);
    const long n = std::strtol(b.device + 3, nullptr, 10);
    return m != n ? m < n : std::strcmp(a.device, b.device) < 0;
}

} // namespace

bool describe_device(const char*, const char* device, PortInfo& port) {
    port = PortInfo{};
    // The port's own name, also when it was given as the device path \\.\COM10.
    const char* name = std::strncmp(device, "\\\\.\\", 4) == 0 ? device + 4 : device;
    std::snprintf(port.device, sizeof port.device, "%s", name);
    if (!add_details(port)) {
        port = PortInfo{};
        return false;
    }
    return true;
}

void list_ports(const char*, PortList& list) {
    list.count = 0;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return;
    for (DWORD i = 0; list.count < max_listed_ports; ++i) {
        char name[256];
        char com[64] = {};
        DWORD name_size = sizeof name;
        DWORD com_size = sizeof com - 1;
        DWORD type = 0;
        const LONG result = RegEnumValueA(key, i, name, &name_size, nullptr, &type,
                                          reinterpret_cast<BYTE*>(com), &com_size);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS || type != REG_SZ || com[0] == '\0')
            continue;
        PortInfo& port = list.ports[list.count++];
        port = PortInfo{};
        std::snprintf(port.device, sizeof port.device, "%s", com);
        add_details(port);
    }
    RegCloseKey(key);
    mark_ambiguous_names(list);
    std::sort(list.ports, list.ports + list.count, comes_before);
}
