// The line between the loader and the virtual unit: a pseudo-terminal whose
// master the unit holds, and the pacing that makes bytes take as long as they
// would on a serial line at the speed the loader set.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "unit_io.h"

namespace sim {

class PtyLine {
public:
    PtyLine() = default;
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    // Opens the pseudo-terminal (raw, no echo). A slave descriptor stays open
    // in the unit so that the loader closing and reopening the slave never
    // leaves the master hung up. False with `error` set on failure.
    bool open(std::string& error);
    const std::string& path() const { return path_; }
    int master() const { return master_; }
    bool isOpen() const { return master_ >= 0; }

    // The slave's line speed (bit/s) as the loader set it; 0 when unknown.
    uint32_t speed() const;
    // Writes what the master takes now; the rest is lost, as on a line
    // nobody reads.
    void write(const std::vector<uint8_t>& bytes);
    // Closes both ends: the loader sees a hang-up.
    void hangUp();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// Time one byte takes at `speed` bit/s with 10 bits per byte (start, 8 data,
// stop). An unknown speed (0) counts as 9600.
Micros byteTime(uint32_t speed);

// Bytes on their way over the line, each with the time it has fully arrived
// at the far end. A byte cannot start before the previous one has finished.
class PacedQueue {
public:
    // Puts bytes on the line at `now`; each takes `perByte`.
    void push(const uint8_t* bytes, size_t count, Micros now, Micros perByte);
    bool empty() const { return bytes_.empty(); }
    // Arrival time of the first byte waiting (negative when none is).
    Micros nextArrival() const { return bytes_.empty() ? -1 : bytes_.front().at; }
    // When the last byte put on the line has fully arrived.
    Micros freeAt() const { return lineFree_; }
    // Takes the first byte if it has arrived by `now`.
    bool pop(Micros now, uint8_t& byte);
    void clear() { bytes_.clear(); }

private:
    struct Timed {
        Micros at;
        uint8_t byte;
    };
    std::deque<Timed> bytes_;
    Micros lineFree_ = 0; // when the last byte put on the line has arrived
};

} // namespace sim
