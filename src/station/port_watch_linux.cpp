// Linux: the ports and their sockets from sysfs, read afresh at each look, so
// that the station needs no udev daemon (in a container: the host's /dev and
// /sys).
#include "station/PortWatch.h"

#include "serial/ports_linux.h"

#include <filesystem>

namespace station {

namespace {

namespace fs = std::filesystem;

// "1-1.3" is port 3 of the hub "1-1"; "1-1" port 1 of bus 1's root hub "usb1".
std::string hubOf(const std::string& socket) {
    const std::string device = socket.substr(0, socket.find(':'));
    const size_t dot = device.rfind('.');
    if (dot != std::string::npos) {
        return device.substr(0, dot);
    }
    const size_t dash = device.find('-');
    return dash == std::string::npos ? std::string() : "usb" + device.substr(0, dash);
}

class SysfsPorts : public PortWatch {
public:
    std::vector<PresentPort> present() override {
        std::vector<std::string> paths;
        Serial_ListPortsIn(Serial_SysRoot(), Serial_DevRoot(), paths);
        std::vector<PresentPort> ports;
        std::error_code ec;
        for (const std::string& path : paths) {
            // sysfs may show a port a moment before its node exists.
            if (fs::exists(path, ec)) {
                ports.push_back({path, Serial_PortInfoIn(Serial_SysRoot(), path)});
            }
        }
        return ports;
    }
};

} // namespace

std::unique_ptr<PortWatch> systemPortWatch() {
    return std::make_unique<SysfsPorts>();
}

std::optional<std::string> systemSocket(const std::string& name, std::string& error) {
    std::string socket = name;
    if (socket.find('/') != std::string::npos) {
        // A /dev/serial/by-path name: the socket of the port it names now.
        socket = Serial_PortInfoIn(Serial_SysRoot(), socket).socket;
        if (socket.empty()) {
            error = "no USB port there";
            return std::nullopt;
        }
    }
    std::error_code ec;
    const std::string hub = hubOf(socket);
    if (hub.empty() || !fs::exists(fs::path(Serial_SysRoot()) / "bus/usb/devices" / hub, ec)) {
        error = "no hub for socket " + socket + " in sysfs";
        return std::nullopt;
    }
    return socket;
}

} // namespace station
