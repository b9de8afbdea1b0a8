#include "setup/com_checks.h"

#include "serial/port_system.h"

#include <algorithm>
#include <cctype>

namespace {

// Windows' error numbers, as plain numbers so that these decisions build and
// are tested on any system.
constexpr int kFileNotFound = 2;
constexpr int kPathNotFound = 3;
constexpr int kAccessDenied = 5;
constexpr int kNotReady = 21;
constexpr int kBadCommand = 22;
constexpr int kGenFailure = 31;
constexpr int kSharingViolation = 32;
constexpr int kOperationAborted = 995;
constexpr int kDeviceNotConnected = 1167;
constexpr int kDeviceRemoved = 1617;

// The units' adapters are FTDI's: above this the latency timer holds every
// short answer back noticeably (the driver's default is 16 ms).
constexpr uint32_t kLatencyLimitMs = 2;

const char* const kLatencyWhere =
    "Device Manager > Ports (COM & LPT) > the port > Properties > Port Settings > Advanced > "
    "Latency Timer (msec)";

SetupCheck found(std::string id, CheckStatus status, std::string finding, std::string fix = {}) {
    return {std::move(id), status, std::move(finding), std::move(fix)};
}

std::string joined(const std::vector<std::string>& parts) {
    std::string text;
    for (const auto& part : parts) {
        text += (text.empty() ? "" : ", ") + part;
    }
    return text;
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

std::string errorWords(int number) {
    return portsys::errorText(number) + "(" + std::to_string(number) + ")";
}

// Why a device of the adapters' kind makes no port, from its problem code.
std::string problemText(uint32_t problem) {
    switch (problem) {
    case 1:
    case 18:
    case 28:
        return "its driver is not installed (problem code " + std::to_string(problem) + ")";
    case 22:
        return "it is disabled in Device Manager (problem code 22)";
    case 10:
    case 43:
        return "its driver could not start it (problem code " + std::to_string(problem) + ")";
    case 52:
        return "its driver is not signed (problem code 52)";
    default:
        return "Device Manager reports problem code " + std::to_string(problem);
    }
}

bool adapterKind(const ComDevice& device) {
    return comVendorId(device.instanceId) == "0403";
}

bool usbNode(const ComDevice& device) {
    return upper(device.instanceId).starts_with("USB\\");
}

// The FTDI adapter USB devices whose driver makes no working COM port.
std::vector<SetupCheck> driverChecks(const ComMachine& m) {
    std::vector<SetupCheck> checks;
    for (const ComDevice& device : m.devices) {
        if (!device.present || !adapterKind(device) || !usbNode(device)) {
            continue;
        }
        const std::string serial = comSerialNumber(device.instanceId);
        const bool hasPort = std::any_of(m.devices.begin(), m.devices.end(), [&](const auto& d) {
            return d.present && !d.portName.empty() && d.problem == 0 && adapterKind(d) &&
                   comSerialNumber(d.instanceId) == serial &&
                   comProductId(d.instanceId) == comProductId(device.instanceId);
        });
        if (hasPort && device.problem == 0) {
            continue;
        }
        std::string why;
        std::string fix;
        if (device.problem != 0 || device.service.empty()) {
            why = device.problem != 0 ? problemText(device.problem) : "it has no driver";
            fix = "install FTDI's VCP driver (Windows Update offers it when the adapter is "
                  "plugged in; or the setup program from ftdichip.com), then unplug the adapter "
                  "and plug it in again";
            if (device.problem == 22) {
                fix = "enable it: Device Manager > the device > Enable device";
            }
        } else {
            why = "its driver " + device.service + " makes no COM port";
            fix = "Device Manager > Universal Serial Bus controllers > the USB Serial Converter > "
                  "Properties > Advanced > tick Load VCP, then unplug the adapter and plug it in "
                  "again";
        }
        const SerialPortInfo info = comPortInfo(device);
        const std::string where = device.location.empty() ? device.instanceId : device.location;
        checks.push_back(found("driver:" + where, CheckStatus::Failure,
                               info.vendorId + ":" + info.productId +
                                   (device.description.empty() ? "" : " " + device.description) +
                                   " at " + where + " has no serial port: " + why,
                               fix));
    }
    return checks;
}

bool wasNamed(const ComMachine& m, const std::string& port) {
    return std::any_of(m.named.begin(), m.named.end(),
                       [&](const std::string& n) { return comPortName(n) == port; });
}

bool heldError(int error) {
    return error == kAccessDenied || error == kSharingViolation;
}

} // namespace

std::vector<SetupCheck> comChecks(const ComMachine& m) {
    std::vector<SetupCheck> checks;
    const std::vector<std::string> listed = comPortList(m.devices, m.serialComm);
    if (listed.empty()) {
        checks.push_back(found("adapters", CheckStatus::Warning, "no USB-serial port found",
                               "plug in the unit's cable; if it is plugged in, see whether Device "
                               "Manager shows the adapter, and the driver checks here"));
    } else {
        checks.push_back(found("adapters", CheckStatus::Ok,
                               std::to_string(listed.size()) + " port" +
                                   (listed.size() == 1 ? "" : "s") + ": " + joined(listed)));
    }

    std::vector<std::string> ports = listed;
    for (const std::string& name : m.named) {
        const std::string port = comPortName(name);
        if (std::find(ports.begin(), ports.end(), port) == ports.end()) {
            ports.push_back(port);
        }
    }
    const auto known = [&](const std::string& port) {
        return std::find(listed.begin(), listed.end(), port) != listed.end() ||
               std::any_of(m.serialComm.begin(), m.serialComm.end(),
                           [&](const std::string& s) { return upper(s) == port; }) ||
               comDeviceOf(m.devices, port) != nullptr;
    };
    for (const std::string& port : ports) {
        const ComDevice* device = comDeviceOf(m.devices, port);
        if (!known(port)) {
            checks.push_back(found("port:" + port, CheckStatus::Failure, port + " does not exist",
                                   "see the ports there are with zkflash-cli --list, and plug the "
                                   "adapter in"));
            continue;
        }
        std::vector<std::string> parts;
        const SerialPortInfo info = device != nullptr ? comPortInfo(*device) : SerialPortInfo{};
        parts.push_back(!info.description().empty() ? info.description()
                                                    : "a serial port without a USB device");
        if (!info.socket.empty()) {
            parts.push_back("socket " + info.socket);
        }
        if (device != nullptr && !device->service.empty()) {
            parts.push_back("driver " + device->service);
        }
        checks.push_back(found("port:" + port, CheckStatus::Ok, joined(parts)));
    }

    for (auto& c : driverChecks(m)) {
        checks.push_back(std::move(c));
    }

    // What opening the named ports found: another program holding one, and
    // whether the driver takes the units' speeds.
    for (const std::string& port : ports) {
        const auto opened = m.opened.find(port);
        if (opened == m.opened.end() || !known(port)) {
            continue;
        }
        const int error = opened->second.error;
        if (error == 0) {
            checks.push_back(
                found("holders:" + port, CheckStatus::Ok, "no other program has it open"));
        } else if (heldError(error)) {
            checks.push_back(found("holders:" + port, CheckStatus::Failure,
                                   "another program has it open: " + errorWords(error),
                                   "close the program that uses " + port +
                                       " (a terminal, a serial monitor, another loader) and try "
                                       "again"));
        } else {
            checks.push_back(found("holders:" + port, CheckStatus::Failure,
                                   "it cannot be opened: " + errorWords(error),
                                   "unplug the adapter and plug it in again; see the driver checks "
                                   "here"));
        }
    }

    for (const std::string& port : ports) {
        const ComDevice* device = comDeviceOf(m.devices, port);
        if (device == nullptr || !device->latencyMs) {
            continue;
        }
        const uint32_t ms = *device->latencyMs;
        if (ms > kLatencyLimitMs) {
            checks.push_back(
                found("latency:" + port, CheckStatus::Warning,
                      "the FTDI driver's latency timer is " + std::to_string(ms) +
                          " ms: every short answer of the unit (each block's) may wait "
                          "that long",
                      std::string("set it to 1 ms: ") + kLatencyWhere));
        } else {
            checks.push_back(
                found("latency:" + port, CheckStatus::Ok,
                      "the FTDI driver's latency timer is " + std::to_string(ms) + " ms"));
        }
    }

    for (const std::string& port : ports) {
        const auto opened = m.opened.find(port);
        if (opened == m.opened.end() || opened->second.error != 0 || !wasNamed(m, port)) {
            continue;
        }
        std::vector<std::string> refused;
        std::vector<std::string> taken;
        for (const auto& [speed, error] : opened->second.speeds) {
            (error == 0 ? taken : refused)
                .push_back(std::to_string(speed) +
                           (error == 0 ? "" : " (" + errorWords(error) + ")"));
        }
        if (refused.empty()) {
            checks.push_back(found("speeds:" + port, CheckStatus::Ok,
                                   "the driver takes " + joined(taken) + " bit/s"));
        } else {
            checks.push_back(found("speeds:" + port, CheckStatus::Failure,
                                   "the driver refuses " + joined(refused) + " bit/s",
                                   "use an adapter whose driver takes any speed (FTDI's)"));
        }
    }

    // COM names used twice: Windows then opens one of the devices, and which
    // is a matter of chance.
    std::map<std::string, std::vector<std::string>> owners;
    for (const ComDevice& device : m.devices) {
        if (!device.portName.empty()) {
            owners[upper(device.portName)].push_back(
                device.description.empty() ? device.instanceId : device.description);
        }
    }
    std::vector<std::string> twice;
    for (const auto& [name, devices] : owners) {
        if (devices.size() > 1) {
            twice.push_back(name + " (" + joined(devices) + ")");
        }
    }
    if (twice.empty()) {
        checks.push_back(found("com-names", CheckStatus::Ok, "no COM name is used twice"));
    } else {
        checks.push_back(found("com-names", CheckStatus::Failure,
                               "COM names used by more than one device: " + joined(twice),
                               "give each its own number: Device Manager > Ports (COM & LPT) > the "
                               "port > Properties > Port Settings > Advanced > COM Port Number"));
    }
    return checks;
}

std::string comFailureHint(const std::vector<ComDevice>& devices, const std::string& port,
                           const SerialFailure& failure) {
    const std::string name = comPortName(port);
    const bool opening =
        failure.what.starts_with("Error opening") || failure.what.starts_with("Error locking");
    const int error = failure.number;
    if (opening && heldError(error)) {
        return "Another program has " + name +
               " open: close it (a terminal, a serial monitor, another loader) and try again.";
    }
    if (opening && (error == kFileNotFound || error == kPathNotFound)) {
        const bool driverless = std::any_of(devices.begin(), devices.end(), [](const auto& d) {
            return d.present && adapterKind(d) && usbNode(d) &&
                   (d.problem != 0 || d.service.empty());
        });
        if (driverless) {
            return "An FTDI adapter is plugged in but its driver is missing or not working: "
                   "install FTDI's VCP driver, then plug the adapter in again "
                   "(zkflash-cli --doctor tells more).";
        }
        return name + " does not exist: see the ports there are with zkflash-cli --list.";
    }
    if (!opening && (error == kAccessDenied || error == kBadCommand || error == kGenFailure ||
                     error == kNotReady || error == kOperationAborted || error == kDeviceRemoved ||
                     error == kDeviceNotConnected)) {
        return "The adapter was unplugged or stopped answering: plug it in again and flash the "
               "unit again.";
    }
    return {};
}
