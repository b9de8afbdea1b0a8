// Windows: the setup check's facts from SetupAPI and the registry, and from
// opening the ports the operator named (which moves DTR, as on Linux); the
// decisions are com_checks.cpp's.
#include "setup/SetupCheck.h"
#include "setup/com_checks.h"

#include "serial/line_speed.h"
#include "serial/ports_win.h"
#include "setup/setup_probe.h"

#include <iterator>

namespace {

ComMachine thisMachine(const std::vector<std::string>& named) {
    ComMachine machine;
    machine.devices = Serial_ComDevices();
    machine.serialComm = Serial_SerialCommPorts();
    machine.named = named;
    for (const std::string& name : named) {
        const PortProbe probe = probePort(name);
        ComMachine::Opened opened;
        opened.error = probe.openError;
        if (probe.openError == 0) {
            for (size_t i = 0; i < std::size(kProbeSpeeds); ++i) {
                opened.speeds.emplace_back(kProbeSpeeds[i], probe.speeds[i].error);
            }
        }
        machine.opened[comPortName(name)] = opened;
    }
    return machine;
}

} // namespace

PortProbe probePort(const std::string& path) {
    PortProbe probe;
    int error = 0;
    const portsys::Handle port = portsys::openDevice(path, error);
    if (port == portsys::kClosed) {
        probe.openError = error;
        return probe;
    }
    const auto tries = portsys::trySpeeds(port, {std::begin(kProbeSpeeds), std::end(kProbeSpeeds)},
                                          probe.restoreError);
    for (size_t i = 0; i < tries.size() && i < std::size(probe.speeds); ++i) {
        probe.speeds[i] = {tries[i].error, tries[i].out, tries[i].in};
    }
    const portsys::LowLatencyTry lowLatency = portsys::tryLowLatency(port, probe.restoreError);
    probe.lowLatencyError = lowLatency.error;
    probe.lowLatencyKept = lowLatency.kept;
    portsys::release(port);
    return probe;
}

std::vector<SetupCheck> SetupCheck_Run(const std::vector<std::string>& named) {
    return comChecks(thisMachine(named));
}

std::vector<SetupCheck> SetupCheck_Port(const std::string& path) {
    const std::string suffix = ":" + comPortName(path);
    std::vector<SetupCheck> checks;
    for (SetupCheck& c : comChecks(thisMachine({}))) {
        if (c.id.ends_with(suffix)) {
            checks.push_back(std::move(c));
        }
    }
    return checks;
}

std::string SetupCheck_FailureHint(const std::string& path, const SerialFailure& failure) {
    return comFailureHint(Serial_ComDevices(), path, failure);
}
