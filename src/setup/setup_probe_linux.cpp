// Linux: the exact speeds through termios2 (BOTHER) and the low-latency flag
// through TIOCSSERIAL, on a port opened for the setup check only.
#include "setup/setup_probe.h"

#include <asm/termbits.h>
#include <cerrno>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

PortProbe probePort(const std::string& path) {
    PortProbe probe;
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        probe.openError = errno;
        return probe;
    }
    struct termios2 found {};
    if (ioctl(fd, TCGETS2, &found) != 0) {
        probe.speeds[0].error = probe.speeds[1].error = errno;
    } else {
        for (size_t i = 0; i < 2; ++i) {
            struct termios2 tio = found;
            tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
            tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
            tio.c_ispeed = tio.c_ospeed = kProbeSpeeds[i];
            struct termios2 back {};
            // TCSETS2, not TCSETSW2: nothing waits for output to drain.
            if (ioctl(fd, TCSETS2, &tio) != 0 || ioctl(fd, TCGETS2, &back) != 0) {
                probe.speeds[i].error = errno;
            } else {
                probe.speeds[i].out = back.c_ospeed;
                probe.speeds[i].in = back.c_ispeed;
            }
        }
        if (ioctl(fd, TCSETS2, &found) != 0) {
            probe.restoreError = errno;
        }
    }
    struct serial_struct serial {};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        probe.lowLatencyError = errno;
    } else {
        const int flags = serial.flags;
        serial.flags |= static_cast<int>(ASYNC_LOW_LATENCY);
        struct serial_struct back {};
        if (ioctl(fd, TIOCSSERIAL, &serial) != 0 || ioctl(fd, TIOCGSERIAL, &back) != 0) {
            probe.lowLatencyError = errno;
        } else {
            probe.lowLatencyKept = (back.flags & static_cast<int>(ASYNC_LOW_LATENCY)) != 0;
        }
        if (serial.flags != flags) {
            serial.flags = flags;
            if (ioctl(fd, TIOCSSERIAL, &serial) != 0 && probe.restoreError == 0) {
                probe.restoreError = errno;
            }
        }
    }
    close(fd);
    return probe;
}
