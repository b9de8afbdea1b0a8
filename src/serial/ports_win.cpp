// Windows: ports from SetupAPI (the device, its driver, its USB location) and
// from the registry's SERIALCOMM map, which also holds ports SetupAPI does
// not show (wine's, some drivers'). The records are judged in com_devices.cpp.
#include "serial/ports_win.h"
#include "serial/text_win.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cfgmgr32.h>
#include <initguid.h>

#include <devguid.h>
#include <setupapi.h>

namespace {

// A text property of a device; for a list (REG_MULTI_SZ), its first entry.
std::string deviceProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
    wchar_t buffer[1024] = {};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type,
                                           reinterpret_cast<BYTE*>(buffer), sizeof buffer - 4,
                                           nullptr)) {
        return {};
    }
    return wintext::narrow(std::wstring(buffer));
}

// The first location path of a device node, or of the nearest parent that
// has one: a port made by a bus driver (FTDIBUS) sits below its USB device.
std::string locationOf(DEVINST node) {
    for (int depth = 0; depth < 3; ++depth) {
        wchar_t buffer[1024] = {};
        ULONG size = sizeof buffer - 4;
        ULONG type = 0;
        if (CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_LOCATION_PATHS, &type, buffer, &size,
                                              0) == CR_SUCCESS &&
            buffer[0] != L'\0') {
            return wintext::narrow(std::wstring(buffer));
        }
        DEVINST parent = 0;
        if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) {
            break;
        }
        node = parent;
    }
    return {};
}

// Reads the port's name and FTDI's latency timer from its device key.
void readDeviceKey(HDEVINFO set, SP_DEVINFO_DATA& device, ComDevice& record) {
    const HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        return;
    }
    wchar_t name[64] = {};
    DWORD size = sizeof name - 2;
    DWORD type = 0;
    if (RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) ==
            ERROR_SUCCESS &&
        type == REG_SZ) {
        record.portName = wintext::narrow(std::wstring(name));
    }
    DWORD latency = 0;
    size = sizeof latency;
    if (RegQueryValueExW(key, L"LatencyTimer", nullptr, &type, reinterpret_cast<BYTE*>(&latency),
                         &size) == ERROR_SUCCESS &&
        type == REG_DWORD) {
        record.latencyMs = latency;
    }
    RegCloseKey(key);
}

bool ofInterest(const std::string& instanceId, const GUID& klass) {
    if (IsEqualGUID(klass, GUID_DEVCLASS_PORTS)) {
        return true;
    }
    // The units' adapters are FTDI's: their USB devices count with or
    // without a driver, so that a missing one can be named.
    return comVendorId(instanceId) == "0403";
}

} // namespace

std::vector<ComDevice> Serial_ComDevices() {
    std::vector<ComDevice> devices;
    const HDEVINFO set =
        SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        return devices;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        wchar_t id[512] = {};
        if (!SetupDiGetDeviceInstanceIdW(set, &device, id, 511, nullptr)) {
            continue;
        }
        ComDevice record;
        record.instanceId = wintext::narrow(std::wstring(id));
        if (!ofInterest(record.instanceId, device.ClassGuid)) {
            continue;
        }
        record.description = deviceProperty(set, device, SPDRP_FRIENDLYNAME);
        if (record.description.empty()) {
            record.description = deviceProperty(set, device, SPDRP_DEVICEDESC);
        }
        record.manufacturer = deviceProperty(set, device, SPDRP_MFG);
        record.service = deviceProperty(set, device, SPDRP_SERVICE);
        record.location = locationOf(device.DevInst);
        ULONG status = 0;
        ULONG problem = 0;
        if (CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0) == CR_SUCCESS &&
            (status & DN_HAS_PROBLEM)) {
            record.problem = problem;
        }
        readDeviceKey(set, device, record);
        devices.push_back(std::move(record));
    }
    SetupDiDestroyDeviceInfoList(set);
    return devices;
}

std::vector<std::string> Serial_SerialCommPorts() {
    std::vector<std::string> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return names;
    }
    for (DWORD i = 0;; ++i) {
        wchar_t value[256] = {};
        DWORD valueSize = 255;
        wchar_t data[64] = {};
        DWORD dataSize = sizeof data - 2;
        DWORD type = 0;
        const LONG result = RegEnumValueW(key, i, value, &valueSize, nullptr, &type,
                                          reinterpret_cast<BYTE*>(data), &dataSize);
        if (result == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (result == ERROR_SUCCESS && type == REG_SZ && data[0] != L'\0') {
            names.push_back(wintext::narrow(std::wstring(data)));
        }
    }
    RegCloseKey(key);
    return names;
}

void Serial_ListPorts(std::vector<std::string>& list) {
    for (std::string& port : comPortList(Serial_ComDevices(), Serial_SerialCommPorts())) {
        list.push_back(std::move(port));
    }
}

SerialPortInfo Serial_PortInfo(const std::string& path) {
    const std::vector<ComDevice> devices = Serial_ComDevices();
    const ComDevice* device = comDeviceOf(devices, path);
    return device != nullptr ? comPortInfo(*device) : SerialPortInfo{};
}
