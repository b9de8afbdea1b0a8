// The line's pacing, on any system; the pseudo-terminal is in pty_line.cpp.
#include "line.h"

namespace sim {

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
