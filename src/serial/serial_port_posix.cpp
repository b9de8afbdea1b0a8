// POSIX: the port is a terminal device node, driven through termios; the
// exact speed and low latency come from line_speed.h.
#include "serial/line_speed.h"
#include "serial/port_system.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace portsys {

namespace {

int fdOf(Handle port) {
    return static_cast<int>(port);
}

} // namespace

std::string errorText(int number) {
    return std::strerror(number);
}

bool lineGone(int number) {
    return number == EIO || number == ENXIO || number == ENODEV || number == EBADF;
}

bool openMayPass(int number) {
    return number == EACCES || number == EBUSY || number == EWOULDBLOCK;
}

Handle openDevice(const std::string& path, int& error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    error = fd < 0 ? errno : 0;
    return fd < 0 ? kClosed : fd;
}

std::string configure(Handle port, uint32_t speed, int& error) {
    const int fd = fdOf(port);
    const auto failed = [&error](const char* step) {
        error = errno;
        return std::string(step);
    };
    if (ioctl(fd, TIOCEXCL) == -1) {
        return failed("Error setting TIOCEXCL on ");
    }
    // TIOCEXCL does not stop root; the lock stops every loader, root included.
    if (flock(fd, LOCK_EX | LOCK_NB) == -1) {
        return failed("Error locking serial port ");
    }
    if (fcntl(fd, F_SETFL, 0) == -1) {
        return failed("Error clearing O_NONBLOCK ");
    }
    termios settings{};
    if (tcgetattr(fd, &settings) == -1) {
        return failed("Error getting tty attributes ");
    }
    cfmakeraw(&settings);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    cfsetspeed(&settings, B115200);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | CREAD | CLOCAL);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    // The units use no flow control; a setting left behind by another program
    // would stall every drain for ever.
    settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    if (tcsetattr(fd, TCSANOW, &settings) == -1) {
        return failed("Error setting tty attributes ");
    }
    if (const int err = setExactSpeed(port, speed); err != 0) {
        error = err;
        return std::string("Error calling ioctl(..., ") + kExactSpeedRequest + ", ...) ";
    }
    requestLowLatency(port);
    return {};
}

void release(Handle port) {
    ::close(fdOf(port));
}

int close(Handle port) {
    const int fd = fdOf(port);
    const int drained = tcdrain(fd) == -1 ? errno : 0;
    // Exclusive mode outlives this descriptor while anything else holds the
    // device open (a pseudo-terminal's other users); hand the port back whole.
    (void)ioctl(fd, TIOCNXCL);
    ::close(fd);
    return drained;
}

int64_t readNow(Handle port, char* buffer, size_t length, int& error) {
    const ssize_t n = ::read(fdOf(port), buffer, length);
    error = n < 0 ? errno : 0;
    return n;
}

Ready waitForInput(Handle port, std::chrono::nanoseconds timeout) {
    const auto ns = std::max<int64_t>(timeout.count(), 0);
    const timespec wait{static_cast<time_t>(ns / 1'000'000'000),
                        static_cast<long>(ns % 1'000'000'000)};
    pollfd p{fdOf(port), POLLIN, 0};
    const int ready = ppoll(&p, 1, &wait, nullptr);
    Ready found;
    if (ready < 0) {
        (errno == EINTR ? found.interrupted : found.failed) = true;
    } else if (ready > 0) {
        found.input = (p.revents & POLLIN) != 0;
        found.gone = (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }
    return found;
}

int64_t writeSome(Handle port, const uint8_t* bytes, size_t length, int& error) {
    for (;;) {
        const ssize_t n = ::write(fdOf(port), bytes, length);
        if (n >= 0 || errno != EINTR) {
            error = n < 0 ? errno : 0;
            return n;
        }
    }
}

int drain(Handle port) {
    return tcdrain(fdOf(port)) == -1 ? errno : 0;
}

void discardInput(Handle port) {
    (void)tcflush(fdOf(port), TCIFLUSH);
}

int setDtr(Handle port, bool on) {
    int bits = TIOCM_DTR;
    return ioctl(fdOf(port), on ? TIOCMBIS : TIOCMBIC, &bits) == -1 ? errno : 0;
}

} // namespace portsys
