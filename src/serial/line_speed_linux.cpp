// Linux: any line speed through termios2 (BOTHER), and the low-latency flag
// through TIOCSSERIAL. <asm/termbits.h> clashes with <termios.h>, so this file
// stays apart from the rest of the port.
#include "serial/line_speed.h"

#include <asm/termbits.h>
#include <cerrno>
#include <cstdlib>
#include <linux/serial.h>
#include <sys/ioctl.h>

namespace portsys {

namespace {

int fdOf(Handle port) {
    return static_cast<int>(port);
}

// Sets `tio` to `speed` both ways (TCSETS2, not TCSETSW2: nothing waits for
// output to drain) and reads back what the driver took into `back`.
int setSpeed(int fd, termios2 tio, uint32_t speed, termios2& back) {
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = speed;
    tio.c_ospeed = speed;
    if (ioctl(fd, TCSETS2, &tio) != 0 || ioctl(fd, TCGETS2, &back) != 0) {
        return errno;
    }
    return 0;
}

// Sets the low-latency flag on the driver's `flags` as found in `found`.
int setLowLatency(int fd, serial_struct found) {
    found.flags |= static_cast<int>(ASYNC_LOW_LATENCY);
    return ioctl(fd, TIOCSSERIAL, &found) != 0 ? errno : 0;
}

} // namespace

const char* const kExactSpeedRequest = "TCSETS2";

int setExactSpeed(Handle port, uint32_t speed) {
    termios2 tio{};
    termios2 back{};
    if (ioctl(fdOf(port), TCGETS2, &tio) != 0) {
        return errno;
    }
    if (const int err = setSpeed(fdOf(port), tio, speed, back); err != 0) {
        return err;
    }
    // An adapter's divisor may round a little; more would garble the line.
    const auto off = [speed](uint32_t got) {
        return std::llabs(static_cast<long long>(got) - static_cast<long long>(speed)) * 100 >
               static_cast<long long>(speed);
    };
    return off(back.c_ospeed) || off(back.c_ispeed) ? EINVAL : 0;
}

void requestLowLatency(Handle port) {
    serial_struct found{};
    if (ioctl(fdOf(port), TIOCGSERIAL, &found) == 0) { // else not a UART-like driver (a pty)
        (void)setLowLatency(fdOf(port), found);
    }
}

std::vector<SpeedTry> trySpeeds(Handle port, const std::vector<uint32_t>& speeds,
                                int& restoreError) {
    std::vector<SpeedTry> tries(speeds.size());
    termios2 found{};
    if (ioctl(fdOf(port), TCGETS2, &found) != 0) {
        for (SpeedTry& t : tries) {
            t.error = errno;
        }
        return tries;
    }
    for (size_t i = 0; i < speeds.size(); ++i) {
        termios2 back{};
        tries[i].error = setSpeed(fdOf(port), found, speeds[i], back);
        if (tries[i].error == 0) {
            tries[i].out = back.c_ospeed;
            tries[i].in = back.c_ispeed;
        }
    }
    if (ioctl(fdOf(port), TCSETS2, &found) != 0) {
        restoreError = errno;
    }
    return tries;
}

LowLatencyTry tryLowLatency(Handle port, int& restoreError) {
    LowLatencyTry result;
    serial_struct found{};
    if (ioctl(fdOf(port), TIOCGSERIAL, &found) != 0) {
        result.error = errno;
        return result;
    }
    serial_struct back{};
    result.error = setLowLatency(fdOf(port), found);
    if (result.error == 0 && ioctl(fdOf(port), TIOCGSERIAL, &back) != 0) {
        result.error = errno;
    }
    result.kept = result.error == 0 && (back.flags & static_cast<int>(ASYNC_LOW_LATENCY)) != 0;
    // Put back only what was changed.
    if ((found.flags & static_cast<int>(ASYNC_LOW_LATENCY)) == 0 &&
        ioctl(fdOf(port), TIOCSSERIAL, &found) != 0 && restoreError == 0) {
        restoreError = errno;
    }
    return result;
}

} // namespace portsys
