#include "Pty.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

Pty::Pty() {
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    path_ = name;
    termios t{};
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
}

Pty::~Pty() {
    if (master_ >= 0) {
        close(master_);
    }
    if (slave_ >= 0) {
        close(slave_);
    }
}

void Pty::write(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            throw std::runtime_error("pty write failed");
        }
        done += static_cast<size_t>(n);
    }
}

void Pty::write(const std::string& text) {
    write(std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> Pty::read(size_t count, std::chrono::milliseconds timeout) {
    std::vector<uint8_t> out;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        uint8_t buf[4096];
        ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
        if (n <= 0) {
            break;
        }
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

std::vector<uint8_t> Pty::readUntilQuiet(std::chrono::milliseconds quiet,
                                         std::chrono::milliseconds timeout) {
    std::vector<uint8_t> out;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(quiet.count())) <= 0) {
            if (!out.empty()) {
                break;
            }
            continue;
        }
        uint8_t buf[4096];
        ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

uint32_t Pty::slaveCflag() const {
    termios t{};
    tcgetattr(slave_, &t);
    return t.c_cflag;
}

void Pty::hangUp() {
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
}
