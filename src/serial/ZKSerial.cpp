#include "serial/ZKSerial.h"

#include "serial/port_system.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using portsys::Handle;
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

// Waits for the first byte for up to kReadTries slots of kReadSlot. A silent
// line costs the whole budget, and so does a read that fails for a while; a
// line that has gone (hung up, its adapter unplugged) returns at once and
// says so in `lost`.
int64_t readRetry(Handle port, char* buffer, size_t length, bool& lost) {
    int err = 0;
    int64_t n = portsys::readNow(port, buffer, length, err);
    if (n > 0) {
        return n;
    }
    if (port != portsys::kClosed && n < 0 && portsys::lineGone(err)) {
        lost = true;
        return 0;
    }
    for (int attempt = 0; attempt < kReadTries; ++attempt) {
        const auto slotEnd = Clock::now() + kReadSlot;
        for (;;) {
            const auto left = std::chrono::duration_cast<milliseconds>(slotEnd - Clock::now());
            if (left.count() <= 0) {
                break;
            }
            const portsys::Ready ready = portsys::waitForInput(port, left);
            if (ready.input) {
                n = portsys::readNow(port, buffer, length, err);
                if (n > 0) {
                    return n;
                }
            }
            if (ready.gone) {
                lost = true;
                return 0;
            }
            if (ready.input || ready.interrupted || ready.failed) {
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

int32_t ZKSerial::failOpen(const std::string& step, const std::string& path, int err) {
    fail(step + path, err);
    diagnose("ZKSerial error [" + failureText(*failure()) + "]");
    const Handle port = port_.exchange(portsys::kClosed);
    if (port != portsys::kClosed) {
        portsys::release(port);
    }
    return -1;
}

int32_t ZKSerial::open(const std::string& path, uint32_t speed) {
    close();
    clearError();
    setLineLost(false);

    int err = 0;
    const Handle port = portsys::openDevice(path, err);
    if (port == portsys::kClosed) {
        return failOpen("Error opening serial port ", path, err);
    }
    port_.store(port);
    if (const std::string step = portsys::configure(port, speed, err); !step.empty()) {
        return failOpen(step, path, err);
    }
    lineSpeed_ = speed;
    lineFreeAt_ = Clock::now();
    return static_cast<int32_t>(port);
}

void ZKSerial::close() {
    const Handle port = port_.exchange(portsys::kClosed);
    if (port == portsys::kClosed) {
        return;
    }
    if (const int err = portsys::close(port); err != 0) {
        diagnose(failureText(failureOf("tcdrain error on close", err)));
    }
}

std::string_view ZKSerial::readText() {
    const Handle port = port_.load();
    const size_t capacity = sizeof receiveBuffer_ - 1;
    bool lost = false;
    int64_t count = readRetry(port, receiveBuffer_, capacity, lost);
    setLineLost(lineLost() || lost);
    // A message seldom arrives in one read: keep reading while bytes keep
    // coming, so a bootloader's banner is handed over in one piece.
    while (count > 0 && static_cast<size_t>(count) < capacity) {
        if (!portsys::waitForInput(port, kTextQuiet).input) {
            break;
        }
        int err = 0;
        const int64_t n = portsys::readNow(port, receiveBuffer_ + count,
                                           capacity - static_cast<size_t>(count), err);
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
    lastReadCount_ = readRetry(port_.load(), receiveBuffer_, 1, lost);
    setLineLost(lineLost() || lost);
    return static_cast<uint8_t>(receiveBuffer_[0]);
}

void ZKSerial::send(const uint8_t* bytes, int32_t length) {
    const Handle port = port_.load();
    const auto handedOver = Clock::now();
    size_t left = length > 0 ? static_cast<size_t>(length) : 0;
    // A tty may take less than asked (a signal, a full queue): send the rest
    // rather than lose part of a block.
    do {
        int err = 0;
        const int64_t n = portsys::writeSome(port, bytes, left, err);
        if (n < 0) {
            fail("Write Error", err);
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
    (void)portsys::drain(port_.load());
}

void ZKSerial::discardUntilSent() {
    const Handle port = port_.load();
    char scratch[1024];
    for (;;) {
        const auto left = lineFreeAt_ - Clock::now();
        if (left <= Clock::duration::zero()) {
            return; // whatever is there now may be an answer
        }
        const portsys::Ready ready = portsys::waitForInput(port, left);
        if (ready.interrupted || (!ready.input && !ready.gone && !ready.failed)) {
            continue; // a signal, or the time has come: looked at again above
        }
        // Read only while the time has not come: a byte read later may be the
        // answer. A hung-up or failing line is left to the read that follows.
        int err = 0;
        if (!ready.input || Clock::now() >= lineFreeAt_ ||
            portsys::readNow(port, scratch, sizeof scratch, err) <= 0) {
            return;
        }
    }
}

void ZKSerial::flushInput() {
    portsys::discardInput(port_.load());
}

void ZKSerial::setDTR(bool on) {
    if (const int err = portsys::setDtr(port_.load(), on); err != 0) {
        fail("Fail on set DTR", err);
    }
}

// The real port's clock is the wall clock: every wait of a run on it is a
// Serial_DelayMs.
void ZKSerial::delayMs(uint32_t ms) {
    Serial_DelayMs(ms);
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
void Serial_Write(const uint8_t* bytes, int32_t length) {
    Serial_DefaultPort().write(bytes, length);
}
void Serial_WriteString(const char* text) {
    Serial_DefaultPort().writeString(text);
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
    std::this_thread::sleep_for(milliseconds(ms));
}

std::string SerialPortInfo::description() const {
    std::string text = manufacturer;
    const auto add = [&text](const std::string& part) {
        if (!part.empty()) {
            text += (text.empty() ? "" : " ") + part;
        }
    };
    add(product);
    add(serial.empty() ? "" : "(" + serial + ")");
    add(vendorId.empty() ? "" : vendorId + ":" + productId);
    return text;
}
