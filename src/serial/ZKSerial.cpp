#include "serial/ZKSerial.h"

#include "serial/serial_platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Reads wait up to kReadTries slots of kReadSlot for the first byte (~550 ms);
// a text read then goes on while bytes keep coming, up to kTextQuiet apart.
constexpr int kReadTries = 11;
constexpr milliseconds kReadSlot{50};
constexpr milliseconds kTextQuiet{20};
constexpr int64_t kBitsPerByte = 10; // start, 8 data, stop
// An adapter's divisor may run the line up to 1 % fast (see the speed check),
// a UART takes a byte at the middle of its stop bit: the earliest a byte can
// arrive is reckoned 2 % early.
constexpr int64_t kLineTolerancePercent = 2;

// True for a read error that no wait can mend: the line has gone.
bool lineGone(int err) {
    return err == EIO || err == ENXIO || err == ENODEV || err == EBADF;
}

// Waits for the first byte for up to kReadTries slots of kReadSlot. A silent
// line costs the whole budget, and so does a read that fails for a while; a
// line that has gone (hung up, its adapter unplugged) returns at once and
// says so in `lost`.
int64_t readRetry(int fd, char* buffer, size_t length, bool& lost) {
    ssize_t n = read(fd, buffer, length);
    if (n > 0) {
        return n;
    }
    if (fd >= 0 && n < 0 && lineGone(errno)) {
        lost = true;
        return 0;
    }
    for (int attempt = 0; attempt < kReadTries; ++attempt) {
        const auto slotEnd = Clock::now() + kReadSlot;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<milliseconds>(slotEnd - Clock::now()).count();
            if (left <= 0) {
                break;
            }
            pollfd p{fd, POLLIN, 0};
            int ready = poll(&p, 1, static_cast<int>(left));
            if (ready > 0 && (p.revents & POLLIN)) {
                n = read(fd, buffer, length);
                if (n > 0) {
                    return n;
                }
            }
            if (ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
                lost = true;
                return 0;
            }
            if (ready != 0) {
                // Readable but empty, or failed: nothing to wait on here, so
                // sleep out the slot.
                std::this_thread::sleep_until(slotEnd);
                break;
            }
        }
    }
    return 0;
}

} // namespace

int32_t ZKSerial::failOpen(const char* step, const std::string& path, int err) {
    fail(step + path, err);
    diagnose("ZKSerial error [" + failureText(*failure()) + "]");
    int fd = fd_.exchange(-1);
    if (fd >= 0) {
        ::close(fd);
    }
    return -1;
}

int32_t ZKSerial::open(const std::string& path, uint32_t speed) {
    close();
    clearError();
    setLineLost(false);

    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return failOpen("Error opening serial port ", path, errno);
    }
    fd_.store(fd);
    if (ioctl(fd, TIOCEXCL) == -1) {
        return failOpen("Error setting TIOCEXCL on ", path, errno);
    }
    // TIOCEXCL does not stop root; the lock stops every loader, root included.
    if (flock(fd, LOCK_EX | LOCK_NB) == -1) {
        return failOpen("Error locking serial port ", path, errno);
    }
    if (fcntl(fd, F_SETFL, 0) == -1) {
        return failOpen("Error clearing O_NONBLOCK ", path, errno);
    }
    termios settings{};
    if (tcgetattr(fd, &settings) == -1) {
        return failOpen("Error getting tty attributes ", path, errno);
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
        return failOpen("Error setting tty attributes ", path, errno);
    }
    if (int err = serialSetExactSpeed(fd, speed); err != 0) {
        const std::string step =
            std::string("Error calling ioctl(..., ") + kSerialSpeedRequest + ", ...) ";
        return failOpen(step.c_str(), path, err);
    }
    serialRequestLowLatency(fd);
    lineSpeed_ = speed;
    lineFreeAt_ = Clock::now();
    return fd;
}

void ZKSerial::close() {
    int fd = fd_.exchange(-1);
    if (fd == -1) {
        return;
    }
    if (tcdrain(fd) == -1) {
        diagnose(failureText(failureOf("tcdrain error on close", errno)));
    }
    // Exclusive mode outlives this descriptor while anything else holds the
    // device open (a pseudo-terminal's other users); hand the port back whole.
    (void)ioctl(fd, TIOCNXCL);
    ::close(fd);
}

std::string_view ZKSerial::readText() {
    const int fd = fd_.load();
    const size_t capacity = sizeof receiveBuffer_ - 1;
    bool lost = false;
    int64_t count = readRetry(fd, receiveBuffer_, capacity, lost);
    setLineLost(lineLost() || lost);
    // A message seldom arrives in one read: keep reading while bytes keep
    // coming, so a bootloader's banner is handed over in one piece.
    while (count > 0 && static_cast<size_t>(count) < capacity) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(kTextQuiet.count())) <= 0 || !(p.revents & POLLIN)) {
            break;
        }
        ssize_t n = read(fd, receiveBuffer_ + count, capacity - static_cast<size_t>(count));
        if (n <= 0) {
            break;
        }
        count += n;
    }
    lastReadCount_ = count;
    return {receiveBuffer_, static_cast<size_t>(count)};
}

uint8_t ZKSerial::readByte() {
    receiveBuffer_[0] = 0;
    bool lost = false;
    lastReadCount_ = readRetry(fd_.load(), receiveBuffer_, 1, lost);
    setLineLost(lineLost() || lost);
    return static_cast<uint8_t>(receiveBuffer_[0]);
}

void ZKSerial::send(const uint8_t* bytes, int32_t length) {
    const int fd = fd_.load();
    const auto handedOver = Clock::now();
    size_t left = length > 0 ? static_cast<size_t>(length) : 0;
    // A tty may take less than asked (a signal, a full queue): send the rest
    // rather than lose part of a block.
    do {
        ssize_t n = ::write(fd, bytes, left);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail("Write Error", errno);
            break;
        }
        if (n == 0) {
            break; // the driver takes nothing more; do not spin
        }
        bytes += n;
        left -= static_cast<size_t>(n);
        bytesWritten_ += static_cast<uint64_t>(n);
    } while (left > 0);
    const size_t sent = static_cast<size_t>(std::max(length, 0)) - left;
    if (lineSpeed_ > 0 && sent > 0) {
        const int64_t byteNs =
            kBitsPerByte * 1'000'000'000 * (100 - kLineTolerancePercent) / 100 / lineSpeed_;
        lineFreeAt_ = std::max(lineFreeAt_, handedOver) +
                      std::chrono::nanoseconds(static_cast<int64_t>(sent) * byteNs);
    }
}

void ZKSerial::write(const uint8_t* bytes, int32_t length) {
    send(bytes, length);
    (void)tcdrain(fd_.load());
}

void ZKSerial::discardUntilSent() {
    const int fd = fd_.load();
    char scratch[1024];
    for (;;) {
        const auto left = lineFreeAt_ - Clock::now();
        if (left <= Clock::duration::zero()) {
            return; // whatever is there now may be an answer
        }
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec wait{static_cast<time_t>(ns / 1'000'000'000),
                            static_cast<long>(ns % 1'000'000'000)};
        pollfd p{fd, POLLIN, 0};
        const int ready = ppoll(&p, 1, &wait, nullptr);
        if (ready == 0 || (ready < 0 && errno == EINTR)) {
            continue;
        }
        // Read only while the time has not come: a byte read later may be the
        // answer. A hung-up or failing line is left to the read that follows.
        if (ready < 0 || !(p.revents & POLLIN) || Clock::now() >= lineFreeAt_ ||
            read(fd, scratch, sizeof scratch) <= 0) {
            return;
        }
    }
}

void ZKSerial::flushInput() {
    (void)tcflush(fd_.load(), TCIFLUSH);
}

void ZKSerial::setDTR(bool on) {
    int bits = TIOCM_DTR;
    if (ioctl(fd_.load(), on ? TIOCMBIS : TIOCMBIC, &bits) == -1) {
        fail("Fail on set DTR", errno);
    }
}

void ZKSerial::delayMs(uint32_t ms) {
    std::this_thread::sleep_for(milliseconds(ms));
}

std::chrono::steady_clock::duration ZKSerial::now() const {
    return Clock::now().time_since_epoch();
}

ZKSerial& Serial_DefaultPort() {
    static ZKSerial port;
    return port;
}

int32_t Serial_Open(const char* path, uint32_t speed) {
    return Serial_DefaultPort().open(path, speed);
}
void Serial_Close() {
    Serial_DefaultPort().close();
}
std::string_view Serial_ReadText() {
    return Serial_DefaultPort().readText();
}
uint8_t Serial_ReadByte() {
    return Serial_DefaultPort().readByte();
}
bool Serial_LastReadEmpty() {
    return Serial_DefaultPort().lastReadEmpty();
}
void Serial_Send(const uint8_t* bytes, int32_t length) {
    Serial_DefaultPort().send(bytes, length);
}
void Serial_Write(const uint8_t* bytes, int32_t length) {
    Serial_DefaultPort().write(bytes, length);
}
void Serial_WriteString(const char* text) {
    Serial_DefaultPort().writeString(text);
}
void Serial_DiscardUntilSent() {
    Serial_DefaultPort().discardUntilSent();
}
uint64_t Serial_BytesWritten() {
    return Serial_DefaultPort().bytesWritten();
}
void Serial_FlushInput() {
    Serial_DefaultPort().flushInput();
}
void Serial_SetDTR(bool on) {
    Serial_DefaultPort().setDTR(on);
}
bool Serial_HasError() {
    return Serial_DefaultPort().hasError();
}
const char* Serial_ErrorText() {
    // Rendered for each caller thread; valid until that thread asks again.
    thread_local std::string text;
    const auto& failure = Serial_DefaultPort().failure();
    text = failure ? failureText(*failure) : std::string();
    return text.c_str();
}
int Serial_ErrorNumber() {
    const auto& failure = Serial_DefaultPort().failure();
    return failure ? failure->number : 0;
}
void Serial_DelayMs(uint32_t ms) {
    Serial_DefaultPort().delayMs(ms);
}
