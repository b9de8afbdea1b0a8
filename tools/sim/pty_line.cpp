// The virtual unit's pseudo-terminal (POSIX); its speed is read in
// line_speed.cpp, since termios2 cannot share a file with <termios.h>.
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

} // namespace sim
