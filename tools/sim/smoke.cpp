// zkunit-smoke: a quick manual check of a virtual unit (or a real one).
// Opens the line, resets the transmitter with a DTR pulse (or, with --rx,
// points the receiver's radio module at its bootloader), sends "BOOT" and
// prints what came back. Run it with the modem-line library preloaded when
// the line is a pseudo-terminal. Exit status: 0 when the banner came, 1 when
// it did not, 2 when the line could not be driven.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

bool setLineSpeed(int fd, unsigned speed); // smoke_speed.cpp

namespace {

using namespace std::chrono_literals;

bool writeText(int fd, const std::string& text) {
    return ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

std::string readFor(int fd, std::chrono::milliseconds total, std::chrono::milliseconds quiet) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + total;
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(quiet.count())) <= 0) {
            if (!got.empty()) {
                break;
            }
            continue;
        }
        char buf[512];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

std::string printable(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n\n";
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int fail(const char* what) {
    std::fprintf(stderr, "zkunit-smoke: %s: %s (%d)\n", what, std::strerror(errno), errno);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    const bool rx = argc == 3 && std::strcmp(argv[2], "--rx") == 0;
    if (argc < 2 || (argc == 3 && !rx) || argc > 3) {
        std::fprintf(stderr, "usage: zkunit-smoke DEVICE [--rx]\n");
        return 2;
    }
    const int fd = ::open(argv[1], O_RDWR | O_NOCTTY);
    if (fd < 0) {
        return fail(argv[1]);
    }
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        return fail("tcgetattr");
    }
    cfmakeraw(&t);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        return fail("tcsetattr");
    }
    if (!setLineSpeed(fd, rx ? 109000 : 115200)) {
        return fail("line speed");
    }
    tcflush(fd, TCIFLUSH);

    const int dtr = TIOCM_DTR;
    int lines = 0;
    if (ioctl(fd, TIOCMBIS, &dtr) != 0) {
        return fail("assert DTR");
    }
    if (ioctl(fd, TIOCMGET, &lines) != 0) {
        return fail("read modem lines");
    }
    std::printf("DTR %s\n", (lines & TIOCM_DTR) ? "asserted" : "NOT asserted");
    std::this_thread::sleep_for(100ms);
    if (ioctl(fd, TIOCMBIC, &dtr) != 0) {
        return fail("clear DTR");
    }
    std::this_thread::sleep_for(100ms);

    if (rx) {
        writeText(fd, "+++");
        std::this_thread::sleep_for(1250ms);
        writeText(fd, "ATDLFFFE\r\n");
        writeText(fd, "ATCN\r\n");
        std::printf("radio module: %s\n", printable(readFor(fd, 1000ms, 200ms)).c_str());
    }
    if (!writeText(fd, "BOOT")) {
        return fail("write");
    }
    const std::string reply = readFor(fd, 2000ms, 200ms);
    std::printf("reply to BOOT (%zu bytes):\n%s\n", reply.size(), printable(reply).c_str());
    ::close(fd);
    return reply.find("VANTOLK") != std::string::npos ? 0 : 1;
}
