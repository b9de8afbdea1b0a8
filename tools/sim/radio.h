// The receiver unit's radio module: transparent until "+++" and a guard time
// of silence put it in AT command mode. Its destination address (ATDL) must
// name the receiver's bootloader (FFFE) before anything reaches it.
#pragma once

#include <cstdint>
#include <string>

#include "options.h"
#include "unit_io.h"

namespace sim {

class RadioModule {
public:
    RadioModule(const Faults& faults, UnitIo& io);

    // Power-up state: transparent, destination not set.
    void reset();
    // Returns true when the byte passes through to the bootloader.
    bool input(uint8_t byte, Micros now);
    void tick(Micros now);
    Micros deadline() const;

    bool commandMode() const { return commandMode_; }
    // True when bytes in transparent mode reach the bootloader.
    bool linked() const { return destination_ == kBootloaderAddress; }

    static constexpr Micros kGuardTime = kSecond;
    static constexpr Micros kCommandTimeout = 10 * kSecond;
    static constexpr uint32_t kBootloaderAddress = 0xFFFE;

private:
    void command(const std::string& line, Micros now);
    void answer(const char* text);

    const Faults& faults_;
    UnitIo& io_;
    bool commandMode_ = false;
    int pluses_ = 0;       // '+' in a row in transparent mode
    Micros escapeAt_ = -1; // when "+++" counts, if the line stays quiet
    Micros lastCommand_ = 0;
    std::string line_;
    uint32_t destination_ = 0;
};

} // namespace sim
