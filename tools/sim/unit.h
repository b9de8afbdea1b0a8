// One radio unit as the loader sees it on the line. The transmitter's
// bootloader is reached by a DTR reset pulse; the receiver's through its radio
// module, once that has been pointed at it with AT commands.
#pragma once

#include <cstdint>

#include "bootloader.h"
#include "options.h"
#include "radio.h"
#include "unit_io.h"

namespace sim {

class Unit {
public:
    Unit(Target target, const Faults& faults, UnitIo& io);

    void input(uint8_t byte, Micros now);
    // A DTR change at `at`. Asserted DTR holds the unit in reset; clearing it
    // lets the unit start again, in its bootloader.
    void dtr(bool asserted, Micros at);
    void tick(Micros now);
    Micros deadline() const;
    // True while the unit takes no input (writing flash).
    bool busy(Micros now) const { return bootloader_.busy(now); }

    bool applicationStarted() const { return bootloader_.applicationStarted(); }
    bool hungUp() const { return bootloader_.hungUp(); }

private:
    const Target target_;
    UnitIo& io_;
    RadioModule radio_;
    Bootloader bootloader_;
    bool inReset_ = false;
};

} // namespace sim
