// Windows: the ports and their sockets from SetupAPI and the registry, read
// afresh at each look. A port whose device tells no location (wine's, one
// that SetupAPI does not show) is its own socket, named by its COM name, so
// that --slot COM5 takes it.
#include "station/PortWatch.h"

#include "serial/ports_win.h"

namespace station {

namespace {

std::vector<PresentPort> presentPorts() {
    const std::vector<ComDevice> devices = Serial_ComDevices();
    std::vector<PresentPort> ports;
    for (const std::string& name : comPortList(devices, Serial_SerialCommPorts())) {
        const ComDevice* device = comDeviceOf(devices, name);
        SerialPortInfo info = device != nullptr ? comPortInfo(*device) : SerialPortInfo{};
        if (info.socket.empty()) {
            info.socket = name;
        }
        ports.push_back({name, info});
    }
    return ports;
}

class ComPorts : public PortWatch {
public:
    std::vector<PresentPort> present() override { return presentPorts(); }
};

} // namespace

std::unique_ptr<PortWatch> systemPortWatch() {
    return std::make_unique<ComPorts>();
}

std::optional<std::string> systemSocket(const std::string& name, std::string& error) {
    if (isComPortName(comPortName(name))) {
        // A COM name: the socket of that port now, or the port itself.
        const std::string port = comPortName(name);
        for (const PresentPort& present : presentPorts()) {
            if (present.path == port) {
                return present.info.socket;
            }
        }
        return port;
    }
    // A location path as --list shows it ("PCIROOT(0)#...#USB(3)", ":N" for a
    // channel). A socket with no adapter in it shows nothing in SetupAPI, so
    // it is taken as named once it has the shape of one.
    if (name.find("#USB(") == std::string::npos) {
        error = "not a COM port or a USB location path";
        return std::nullopt;
    }
    return name;
}

} // namespace station
