// Linux: the exact speeds and the low-latency request tried as the port sets
// them (line_speed.h), on a port opened for the setup check only.
#include "setup/setup_probe.h"

#include "serial/line_speed.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

PortProbe probePort(const std::string& path) {
    PortProbe probe;
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        probe.openError = errno;
        return probe;
    }
    const auto tries = portsys::trySpeeds(fd, {std::begin(kProbeSpeeds), std::end(kProbeSpeeds)},
                                          probe.restoreError);
    for (size_t i = 0; i < tries.size(); ++i) {
        probe.speeds[i] = {tries[i].error, tries[i].out, tries[i].in};
    }
    const portsys::LowLatencyTry lowLatency = portsys::tryLowLatency(fd, probe.restoreError);
    probe.lowLatencyError = lowLatency.error;
    probe.lowLatencyKept = lowLatency.kept;
    close(fd);
    return probe;
}
