#include "serial/com_devices.h"

#include <algorithm>
#include <cctype>

namespace {

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// The four hex digits after `key` ("VID_") in an id; empty when absent.
std::string idField(const std::string& instanceId, const char* key) {
    const std::string id = upper(instanceId);
    const size_t at = id.find(key);
    if (at == std::string::npos || at + 8 > id.size()) {
        return {};
    }
    return upper(id.substr(at + 4, 4));
}

// The COM port's number; 0 when the name is no COM port's.
unsigned comNumber(const std::string& name) {
    if (!isComPortName(name)) {
        return 0;
    }
    return static_cast<unsigned>(std::stoul(name.substr(3)));
}

bool naturalLess(const std::string& a, const std::string& b) {
    const unsigned na = comNumber(a);
    const unsigned nb = comNumber(b);
    if (na != nb && na != 0 && nb != 0) {
        return na < nb;
    }
    return a < b;
}

bool usbDevice(const ComDevice& device) {
    const std::string id = upper(device.instanceId);
    return id.starts_with("USB\\") || id.starts_with("FTDIBUS\\") ||
           device.location.find("USB(") != std::string::npos;
}

// FTDI's channel letter on a serial number in its instance id ("A50285BIA").
bool ftdiBus(const std::string& instanceId) {
    return upper(instanceId).starts_with("FTDIBUS\\");
}

} // namespace

std::string comVendorId(const std::string& instanceId) {
    return idField(instanceId, "VID_");
}

std::string comProductId(const std::string& instanceId) {
    return idField(instanceId, "PID_");
}

std::string comSerialNumber(const std::string& instanceId) {
    if (ftdiBus(instanceId)) {
        // FTDIBUS\VID_0403+PID_6001+A50285BIA\0000
        const size_t slash = instanceId.find('\\');
        const size_t end = instanceId.find('\\', slash + 1);
        const std::string middle = instanceId.substr(slash + 1, end - slash - 1);
        const size_t plus = middle.rfind('+');
        if (plus == std::string::npos || middle.size() - plus < 3) {
            return {};
        }
        return middle.substr(plus + 1, middle.size() - plus - 2);
    }
    // USB\VID_2341&PID_0043\85735313233351B0D1B1
    const size_t last = instanceId.rfind('\\');
    if (!upper(instanceId).starts_with("USB\\") || last == std::string::npos ||
        instanceId.find('\\') == last) {
        return {};
    }
    const std::string tail = instanceId.substr(last + 1);
    return tail.find('&') == std::string::npos ? tail : std::string();
}

SerialPortInfo comPortInfo(const ComDevice& device) {
    SerialPortInfo info;
    info.manufacturer = device.manufacturer;
    info.product = device.description;
    // "USB Serial Port (COM5)": the port's name is shown beside it already.
    if (const size_t open = info.product.rfind(" (");
        open != std::string::npos &&
        isComPortName(info.product.substr(open + 2, info.product.size() - open - 3))) {
        info.product.erase(open);
    }
    info.serial = comSerialNumber(device.instanceId);
    info.vendorId = comVendorId(device.instanceId);
    info.productId = comProductId(device.instanceId);
    info.socket = device.location;
    if (!info.socket.empty() && ftdiBus(device.instanceId)) {
        const size_t slash = device.instanceId.find('\\', 8);
        const char channel = slash != std::string::npos && slash > 0
                                 ? static_cast<char>(std::toupper(
                                       static_cast<unsigned char>(device.instanceId[slash - 1])))
                                 : 'A';
        if (channel > 'A' && channel <= 'H') {
            info.socket += ":" + std::to_string(channel - 'A');
        }
    }
    return info;
}

std::vector<std::string> comPortList(const std::vector<ComDevice>& devices,
                                     const std::vector<std::string>& serialComm) {
    std::vector<std::string> usb;
    std::vector<std::string> known;
    for (const ComDevice& device : devices) {
        if (device.portName.empty()) {
            continue;
        }
        known.push_back(upper(device.portName));
        if (device.present && usbDevice(device) &&
            std::find(usb.begin(), usb.end(), device.portName) == usb.end()) {
            usb.push_back(device.portName);
        }
    }
    std::vector<std::string> others;
    for (const std::string& name : serialComm) {
        if (std::find(known.begin(), known.end(), upper(name)) == known.end() &&
            std::find(others.begin(), others.end(), name) == others.end()) {
            others.push_back(name);
        }
    }
    std::sort(usb.begin(), usb.end(), naturalLess);
    std::sort(others.begin(), others.end(), naturalLess);
    usb.insert(usb.end(), others.begin(), others.end());
    return usb;
}

std::string comPortName(const std::string& port) {
    const std::string name = port.starts_with("\\\\.\\") ? port.substr(4) : port;
    return isComPortName(name) ? upper(name) : name;
}

bool isComPortName(const std::string& name) {
    return name.size() > 3 && upper(name.substr(0, 3)) == "COM" && name.size() <= 6 &&
           std::all_of(name.begin() + 3, name.end(),
                       [](unsigned char c) { return std::isdigit(c) != 0; });
}

const ComDevice* comDeviceOf(const std::vector<ComDevice>& devices, const std::string& port) {
    const std::string name = comPortName(port);
    for (const ComDevice& device : devices) {
        if (!device.portName.empty() && upper(device.portName) == name) {
            return &device;
        }
    }
    return nullptr;
}
