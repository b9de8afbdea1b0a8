// What the virtual unit's parts share: the clock they run on and the side of
// the line they talk to (bytes out, event log, received image, hang-up).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Microseconds since the simulator started.
using Micros = int64_t;

constexpr Micros kMillisecond = 1000;
constexpr Micros kSecond = 1000 * kMillisecond;

class UnitIo {
public:
    virtual ~UnitIo() = default;

    // Queues bytes for the line; they go out at line rate, in order.
    virtual void send(const std::vector<uint8_t>& bytes) = 0;
    void sendText(std::string_view text) { send({text.begin(), text.end()}); }
    // One line of the event log: "<ms> <text>".
    virtual void event(Micros at, const std::string& text) = 0;
    // Stores a received image; false when it could not be written.
    virtual bool save(const std::vector<uint8_t>& image) = 0;
    // Closes the line so that the loader sees a hang-up.
    virtual void hangUp() = 0;
};

// Earliest of two optional deadlines (negative = none).
inline Micros earliest(Micros a, Micros b) {
    if (a < 0) {
        return b;
    }
    if (b < 0) {
        return a;
    }
    return a < b ? a : b;
}

} // namespace sim
