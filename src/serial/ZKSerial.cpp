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
constexpr size_t kBufferSize = 1024;
constexpr int64_t kBitsPerByte = 10; // start, 8 data, stop
// An adapter's divisor may run the line up to 1 % fast (see the speed check),
// a UART takes a byte at the middle of its stop bit: the earliest a byte can
// arrive is reckoned 2 % early.
constexpr int64_t kLineTolerancePercent = 2;

// Process-wide channel state. The descriptor is atomic because the shell may
// close the port at termination while a worker is still inside a call.
std::atomic<int> portFd{-1};
termios savedSettings{};
int64_t lastReadCount = 0;
char errorText[kBufferSize] = {};
int errorNumber = 0; // errno of the failure in errorText; 0 when none
char receiveBuffer[kBufferSize] = {};
uint64_t bytesWritten = 0;
uint32_t lineSpeed = 0;         // bit/s of the open port
Clock::time_point lineFreeAt{}; // when the last byte written can have arrived, at the earliest

// The one place where errno becomes text: "<what> - <strerror>(<errno>).\n".
void formatErrno(char* out, size_t size, const char* what, int err) {
    std::snprintf(out, size, "%s - %s(%d).\n", what, std::strerror(err), err);
}

void recordError(const char* what, int err) {
    formatErrno(errorText, sizeof errorText, what, err);
    errorNumber = err;
}

// Records a failing open step for `path`, closes what was opened and leaves
// the channel closed.
int32_t failOpen(const char* step, const char* path, int err) {
    std::string what = std::string(step) + path;
    recordError(what.c_str(), err);
    std::printf("ZKSerial error [%s]", errorText);
    std::fflush(stdout);
    int fd = portFd.exchange(-1);
    if (fd >= 0) {
        close(fd);
    }
    return -1;
}

// Waits for the first byte for up to kReadTries slots of kReadSlot. A failing
// read or a hung-up line counts as empty; the slot is still waited out, so a
// silent line always costs the whole budget.
int64_t readRetry(int fd, char* buffer, size_t length) {
    ssize_t n = read(fd, buffer, length);
    if (n > 0) {
        return n;
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
            if (ready != 0) {
                // Readable but empty, hung up or failed: nothing to wait on
                // here, so sleep out the slot.
                std::this_thread::sleep_until(slotEnd);
                break;
            }
        }
    }
    return 0;
}

} // namespace

int32_t Serial_Open(const char* path, uint32_t speed) {
    Serial_Close();
    Serial_ClearError();
    portFd.store(-1);

    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return failOpen("Error opening serial port ", path, errno);
    }
    portFd.store(fd);
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
    if (tcgetattr(fd, &savedSettings) == -1) {
        return failOpen("Error getting tty attributes ", path, errno);
    }
    termios settings = savedSettings;
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
    lineSpeed = speed;
    lineFreeAt = Clock::now();
    return fd;
}

void Serial_Close() {
    int fd = portFd.exchange(-1);
    if (fd == -1) {
        return;
    }
    if (tcdrain(fd) == -1) {
        char line[kBufferSize];
        formatErrno(line, sizeof line, "tcdrain error on close", errno);
        std::fputs(line, stdout);
        std::fflush(stdout);
    }
    // Exclusive mode outlives this descriptor while anything else holds the
    // device open (a pseudo-terminal's other users); hand the port back whole.
    (void)ioctl(fd, TIOCNXCL);
    close(fd);
}

std::string_view Serial_ReadText() {
    const int fd = portFd.load();
    const size_t capacity = kBufferSize - 1;
    int64_t count = readRetry(fd, receiveBuffer, capacity);
    // A message seldom arrives in one read: keep reading while bytes keep
    // coming, so a bootloader's banner is handed over in one piece.
    while (count > 0 && static_cast<size_t>(count) < capacity) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(kTextQuiet.count())) <= 0 || !(p.revents & POLLIN)) {
            break;
        }
        ssize_t n = read(fd, receiveBuffer + count, capacity - static_cast<size_t>(count));
        if (n <= 0) {
            break;
        }
        count += n;
    }
    lastReadCount = count;
    return {receiveBuffer, static_cast<size_t>(count)};
}

uint8_t Serial_ReadByte() {
    receiveBuffer[0] = 0;
    lastReadCount = readRetry(portFd.load(), receiveBuffer, 1);
    return static_cast<uint8_t>(receiveBuffer[0]);
}

bool Serial_LastReadEmpty() {
    return lastReadCount == 0;
}

void Serial_Send(const uint8_t* bytes, int32_t length) {
    const int fd = portFd.load();
    const auto handedOver = Clock::now();
    size_t left = length > 0 ? static_cast<size_t>(length) : 0;
    // A tty may take less than asked (a signal, a full queue): send the rest
    // rather than lose part of a block.
    do {
        ssize_t n = write(fd, bytes, left);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            recordError("Write Error", errno);
            break;
        }
        if (n == 0) {
            break; // the driver takes nothing more; do not spin
        }
        bytes += n;
        left -= static_cast<size_t>(n);
        bytesWritten += static_cast<uint64_t>(n);
    } while (left > 0);
    const size_t sent = static_cast<size_t>(std::max(length, 0)) - left;
    if (lineSpeed > 0 && sent > 0) {
        const int64_t byteNs =
            kBitsPerByte * 1'000'000'000 * (100 - kLineTolerancePercent) / 100 / lineSpeed;
        lineFreeAt = std::max(lineFreeAt, handedOver) +
                     std::chrono::nanoseconds(static_cast<int64_t>(sent) * byteNs);
    }
}

void Serial_Write(const uint8_t* bytes, int32_t length) {
    Serial_Send(bytes, length);
    (void)tcdrain(portFd.load());
}

void Serial_DiscardUntilSent() {
    const int fd = portFd.load();
    char scratch[kBufferSize];
    for (;;) {
        const auto left = lineFreeAt - Clock::now();
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
        if (ready < 0 || !(p.revents & POLLIN) || Clock::now() >= lineFreeAt ||
            read(fd, scratch, sizeof scratch) <= 0) {
            return;
        }
    }
}

uint64_t Serial_BytesWritten() {
    return bytesWritten;
}

void Serial_WriteString(const char* text) {
    Serial_Write(reinterpret_cast<const uint8_t*>(text), static_cast<int32_t>(std::strlen(text)));
}

void Serial_FlushInput() {
    (void)tcflush(portFd.load(), TCIFLUSH);
}

void Serial_SetDTR(bool on) {
    int bits = TIOCM_DTR;
    if (ioctl(portFd.load(), on ? TIOCMBIS : TIOCMBIC, &bits) == -1) {
        recordError("Fail on set DTR", errno);
    }
}

bool Serial_HasError() {
    return errorText[0] != '\0';
}

const char* Serial_ErrorText() {
    return errorText;
}

void Serial_DelayMs(uint32_t ms) {
    std::this_thread::sleep_for(milliseconds(ms));
}

int Serial_ErrorNumber() {
    return errorNumber;
}

void Serial_ClearError() {
    errorText[0] = '\0';
    errorNumber = 0;
}
