// termios2 (for the exact speed) cannot share a file with <termios.h>.
#include "Pty.h"

#include <asm/termbits.h>
#include <cerrno>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <unistd.h>

using Clock = std::chrono::steady_clock;

Pty::Pty() {
    std::string error;
    if (!line_.open(error)) {
        throw std::runtime_error(error);
    }
}

void Pty::write(const std::vector<uint8_t>& bytes) {
    // The master does not block: wait for room rather than lose bytes.
    for (size_t done = 0; done < bytes.size();) {
        pollfd p{master(), POLLOUT, 0};
        poll(&p, 1, 1000);
        const ssize_t n = ::write(master(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            throw std::runtime_error("pty write failed");
        }
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
}

namespace {

// One read of what is there within `wait`; false when nothing came.
bool readSome(int fd, std::chrono::milliseconds wait, size_t most, std::vector<uint8_t>& out) {
    pollfd p{fd, POLLIN, 0};
    uint8_t buf[4096];
    const ssize_t n = poll(&p, 1, static_cast<int>(wait.count())) > 0
                          ? ::read(fd, buf, std::min(sizeof buf, most))
                          : 0;
    out.insert(out.end(), buf, buf + std::max<ssize_t>(n, 0));
    return n > 0;
}

} // namespace

std::vector<uint8_t> Pty::read(size_t count, std::chrono::milliseconds timeout) {
    std::vector<uint8_t> out;
    for (const auto deadline = Clock::now() + timeout;
         out.size() < count && Clock::now() < deadline;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        readSome(master(), left, count - out.size(), out);
    }
    return out;
}

// Termios requests on the master act on the slave.
uint32_t Pty::slaveSpeed(bool input) const {
    struct termios2 t {};
    return ioctl(master(), TCGETS2, &t) == 0 ? (input ? t.c_ispeed : t.c_ospeed) : 0;
}

uint32_t Pty::slaveCflag() const {
    struct termios2 t {};
    return ioctl(master(), TCGETS2, &t) == 0 ? t.c_cflag : 0;
}
