// Modem lines for pseudo-terminals, loaded with LD_PRELOAD into the loader
// (or into wine, whose serial port calls ioctl in the program's process).
//
// A pseudo-terminal has no modem lines: TIOCMBIS, TIOCMBIC, TIOCMGET and
// TIOCMSET fail on it. This library answers those requests itself for
// pseudo-terminal slaves, keeps the line state per device, and tells the
// virtual unit about every DTR change with a datagram "dtr <0|1> <ns>" (ns on
// CLOCK_MONOTONIC) to the unix socket named by ZK_MODEMLINE_SOCKET: one socket
// for every line, or one per line as "/dev/pts/3=SOCKET:/dev/pts/5=SOCKET".
// Every other request, and every other descriptor, goes to the real ioctl.
//
// TIOCGSERIAL and TIOCSSERIAL are answered as an FTDI adapter's driver does
// (base 24 MHz, the low-latency flag kept, a custom divisor taken): wine sets
// a speed outside the standard list as 38400 with a custom divisor, which
// the line then runs at. The unit hears of it as "custom-speed <bit/s> <ns>"
// (0: none), and reckons with it whenever the line is set to 38400, as the
// kernel does.
//
// A pseudo-terminal's drain returns at once; a USB-serial adapter's only once
// the bytes have left, and late. So tcdrain on a pseudo-terminal slave also
// asks the unit ("drain <ns>") and returns when it answers "drained", which
// the unit does as its adapter model says. glibc's tcdrain does not go
// through ioctl(), so it is wrapped itself.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <linux/serial.h>
#include <mutex>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The ioctl this library stands in front of.
int realIoctl(int fd, unsigned long request, void* arg) {
    using IoctlFn = int (*)(int, unsigned long, ...);
    static const auto fn = reinterpret_cast<IoctlFn>(dlsym(RTLD_NEXT, "ioctl"));
    if (fn == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    return fn(fd, request, arg);
}

constexpr size_t kPathSize = 64;
constexpr size_t kMaxLines = 32;
constexpr const char* kPtsPrefix = "/dev/pts/";

// An FT232R's divisors count from 48 MHz / 2.
constexpr int kFtdiBaudBase = 24000000;

struct LineState {
    char path[kPathSize];
    int bits;
    serial_struct serial;
};

// Plain arrays and a mutex: usable before any constructor has run.
std::mutex linesMutex;
LineState lines[kMaxLines];
size_t linesUsed = 0;
size_t nextEvicted = 0;

// True when `fd` is a pseudo-terminal slave; its path goes to `path`.
bool ptySlave(int fd, char (&path)[kPathSize]) {
    char link[40];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, kPathSize - 1);
    if (n <= 0) {
        return false;
    }
    path[n] = '\0';
    return std::strncmp(path, kPtsPrefix, std::strlen(kPtsPrefix)) == 0;
}

// The state of a line, created with every line clear.
LineState& lineFor(const char* path) {
    for (size_t i = 0; i < linesUsed; ++i) {
        if (std::strcmp(lines[i].path, path) == 0) {
            return lines[i];
        }
    }
    LineState* slot;
    if (linesUsed < kMaxLines) {
        slot = &lines[linesUsed++];
    } else {
        slot = &lines[nextEvicted];
        nextEvicted = (nextEvicted + 1) % kMaxLines;
    }
    std::snprintf(slot->path, kPathSize, "%s", path);
    slot->bits = 0;
    slot->serial = serial_struct{};
    slot->serial.type = PORT_16550A;
    slot->serial.baud_base = kFtdiBaudBase;
    slot->serial.xmit_fifo_size = 256;
    return *slot;
}

// How long a drain waits for the unit's answer before it gives up on it.
constexpr int kDrainWaitMs = 10000;

long long monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// The socket of the unit on `path`, from ZK_MODEMLINE_SOCKET; false when none.
bool unitAddress(const char* path, sockaddr_un& addr) {
    addr = sockaddr_un{};
    addr.sun_family = AF_UNIX;
    const char* list = std::getenv("ZK_MODEMLINE_SOCKET");
    if (list == nullptr) {
        return false;
    }
    const size_t pathLength = std::strlen(path);
    for (const char* entry = list; *entry != '\0';) {
        const char* end = std::strchr(entry, ':');
        const size_t length =
            end != nullptr ? static_cast<size_t>(end - entry) : std::strlen(entry);
        const char* equals = static_cast<const char*>(std::memchr(entry, '=', length));
        const char* target = entry;
        size_t targetLength = length;
        if (equals != nullptr) {
            if (static_cast<size_t>(equals - entry) != pathLength ||
                std::strncmp(entry, path, pathLength) != 0) {
                entry = end != nullptr ? end + 1 : entry + length;
                continue;
            }
            target = equals + 1;
            targetLength = length - pathLength - 1;
        }
        if (targetLength == 0 || targetLength >= sizeof addr.sun_path) {
            return false;
        }
        std::memcpy(addr.sun_path, target, targetLength);
        addr.sun_path[targetLength] = '\0';
        return true;
    }
    return false;
}

// Sends `message` to the unit from socket `s`; false when no unit took it.
bool tellUnit(int s, const sockaddr_un& addr, const char* message, int length) {
    return sendto(s, message, static_cast<size_t>(length), MSG_NOSIGNAL,
                  reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == length;
}

// Tells the unit on `path` of a change on its line, "<what> <value> <ns>".
void notifyUnit(const char* path, const char* what, long long value) {
    sockaddr_un addr;
    if (!unitAddress(path, addr)) {
        return;
    }
    char message[64];
    const int length =
        std::snprintf(message, sizeof message, "%s %lld %lld", what, value, monotonicNs());
    const int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return;
    }
    // No unit listening is not the loader's failure: the line still changed.
    (void)tellUnit(s, addr, message, length);
    close(s);
}

// Waits until the unit says the written bytes have left its adapter. Without
// a unit, or when it does not answer, the drain is the pseudo-terminal's own.
void waitForUnitDrain(const char* path) {
    sockaddr_un addr;
    if (!unitAddress(path, addr)) {
        return;
    }
    const int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return;
    }
    // An address of our own (autobound) for the answer to come back to.
    sockaddr_un self{};
    self.sun_family = AF_UNIX;
    char message[64];
    const int length = std::snprintf(message, sizeof message, "drain %lld", monotonicNs());
    if (bind(s, reinterpret_cast<const sockaddr*>(&self), sizeof(sa_family_t)) == 0 &&
        tellUnit(s, addr, message, length)) {
        pollfd p{s, POLLIN, 0};
        char answer[16];
        if (poll(&p, 1, kDrainWaitMs) > 0) {
            (void)recv(s, answer, sizeof answer, 0);
        }
    }
    close(s);
}

int modemRequest(const char* path, unsigned long request, int* arg) {
    if (arg == nullptr) {
        errno = EFAULT;
        return -1;
    }
    const int saved = errno;
    std::lock_guard lock(linesMutex);
    LineState& line = lineFor(path);
    const int before = line.bits;
    switch (request) {
    case TIOCMGET:
        *arg = line.bits;
        return 0;
    case TIOCMBIS:
        line.bits |= *arg;
        break;
    case TIOCMBIC:
        line.bits &= ~*arg;
        break;
    default: // TIOCMSET
        line.bits = *arg;
        break;
    }
    if ((before ^ line.bits) & TIOCM_DTR) {
        notifyUnit(path, "dtr", (line.bits & TIOCM_DTR) != 0 ? 1 : 0);
    }
    errno = saved;
    return 0;
}

// The speed a custom divisor gives; 0 when the line has none.
long long customSpeed(const serial_struct& s) {
    if ((s.flags & static_cast<int>(ASYNC_SPD_MASK)) != static_cast<int>(ASYNC_SPD_CUST) ||
        s.custom_divisor <= 0) {
        return 0;
    }
    return s.baud_base / s.custom_divisor;
}

int serialRequest(const char* path, unsigned long request, serial_struct* arg) {
    if (arg == nullptr) {
        errno = EFAULT;
        return -1;
    }
    const int saved = errno;
    std::lock_guard lock(linesMutex);
    LineState& line = lineFor(path);
    if (request == TIOCGSERIAL) {
        *arg = line.serial;
        return 0;
    }
    // What a user may change on an FTDI port: the flags it honours and the
    // divisor; the base and the rest are the adapter's.
    const long long before = customSpeed(line.serial);
    constexpr int kSettable = static_cast<int>(ASYNC_SPD_MASK | ASYNC_LOW_LATENCY);
    line.serial.flags = (line.serial.flags & ~kSettable) | (arg->flags & kSettable);
    line.serial.custom_divisor = arg->custom_divisor;
    const long long after = customSpeed(line.serial);
    if (after != before) {
        notifyUnit(path, "custom-speed", after);
    }
    errno = saved;
    return 0;
}

} // namespace

extern "C" __attribute__((visibility("default"))) int ioctl(int fd, unsigned long request,
                                                            ...) noexcept {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);

    if (request == TIOCMBIS || request == TIOCMBIC || request == TIOCMGET || request == TIOCMSET) {
        char path[kPathSize];
        if (ptySlave(fd, path)) {
            return modemRequest(path, request, static_cast<int*>(arg));
        }
    }
    if (request == TIOCGSERIAL || request == TIOCSSERIAL) {
        char path[kPathSize];
        if (ptySlave(fd, path)) {
            return serialRequest(path, request, static_cast<serial_struct*>(arg));
        }
    }
    return realIoctl(fd, request, arg);
}

extern "C" __attribute__((visibility("default"))) int tcdrain(int fd) {
    using DrainFn = int (*)(int);
    static const auto real = reinterpret_cast<DrainFn>(dlsym(RTLD_NEXT, "tcdrain"));
    if (real == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    const int result = real(fd);
    char path[kPathSize];
    if (result == 0 && ptySlave(fd, path)) {
        const int saved = errno;
        waitForUnitDrain(path);
        errno = saved;
    }
    return result;
}
