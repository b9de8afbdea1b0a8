// What serial ports are present now, for the station: the system's own (on
// Linux read from sysfs, current with or without a udev daemon), a fixed list
// of device paths, or a test's script.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "serial/ZKSerial.h"

namespace station {

// A serial port present now, with what the system says of it.
struct PresentPort {
    std::string path;
    SerialPortInfo info;
};

class PortWatch {
public:
    virtual ~PortWatch() = default;
    virtual std::vector<PresentPort> present() = 0;
};

// The USB-serial and CDC-ACM ports of this machine, each with its socket.
std::unique_ptr<PortWatch> systemPortWatch();

// The socket that a --slot names, as --list shows it ("1-1.3", "1-1.3:1") or
// as a name of the system's for the place (a /dev/serial/by-path link).
// Nothing, with the reason in `error`, for a socket whose hub this machine
// does not have.
std::optional<std::string> systemSocket(const std::string& name, std::string& error);

// The device paths given, always present, each its own socket; their adapter
// is looked up once.
class FixedPorts : public PortWatch {
public:
    explicit FixedPorts(const std::vector<std::string>& paths);
    std::vector<PresentPort> present() override { return ports_; }

private:
    std::vector<PresentPort> ports_;
};

} // namespace station
