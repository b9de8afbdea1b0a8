#include "line.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

PtyLine::~PtyLine() {
    hangUp();
}

bool PtyLine::open(std::string& error) {
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        error = std::string("openpty failed: ") + std::strerror(errno);
        return false;
    }
    path_ = name;
    termios t{};
    if (tcgetattr(slave_, &t) != 0) {
        error = std::string("tcgetattr on the slave failed: ") + std::strerror(errno);
        return false;
    }
    cfmakeraw(&t);
    if (tcsetattr(slave_, TCSANOW, &t) != 0) {
        error = std::string("tcsetattr on the slave failed: ") + std::strerror(errno);
        return false;
    }
    const int flags = fcntl(master_, F_GETFL);
    if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0 ||
        fcntl(master_, F_SETFD, FD_CLOEXEC) != 0 || fcntl(slave_, F_SETFD, FD_CLOEXEC) != 0) {
        error = std::string("fcntl on the pseudo-terminal failed: ") + std::strerror(errno);
        return false;
    }
    return true;
}

void PtyLine::write(const std::vector<uint8_t>& bytes) {
    if (master_ >= 0) { // non-blocking, so never interrupted
        (void)!::write(master_, bytes.data(), bytes.size());
    }
}

void PtyLine::hangUp() {
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
    if (slave_ >= 0) {
        ::close(slave_);
        slave_ = -1;
    }
}

Micros byteTime(uint32_t speed) {
    constexpr uint32_t kBitsPerByte = 10;
    if (speed == 0) {
        speed = 9600;
    }
    // Rounded up: never faster than the line.
    return static_cast<Micros>((uint64_t{kBitsPerByte} * kSecond + speed - 1) / speed);
}

void PacedQueue::push(const uint8_t* bytes, size_t count, Micros now, Micros perByte) {
    for (size_t i = 0; i < count; ++i) {
        lineFree_ = (lineFree_ > now ? lineFree_ : now) + perByte;
        bytes_.push_back({lineFree_, bytes[i]});
    }
}

bool PacedQueue::pop(Micros now, uint8_t& byte) {
    if (bytes_.empty() || bytes_.front().at > now) {
        return false;
    }
    byte = bytes_.front().byte;
    bytes_.pop_front();
    return true;
}

} // namespace sim
