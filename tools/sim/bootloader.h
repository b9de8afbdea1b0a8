// The unit's serial bootloader: woken by "BOOT", it shows its banner and
// menu; "1" receives an image over YMODEM, "2" starts the application.
#pragma once

#include <cstdint>
#include <string>

#include "options.h"
#include "unit_io.h"
#include "ymodem_rx.h"

namespace sim {

inline constexpr const char* kBanner =
    "\r\nVANTOLK bootloader 2.1\r\n1: receive firmware\r\n2: start application\r\n> ";

class Bootloader {
public:
    Bootloader(const Faults& faults, UnitIo& io);

    // The unit was reset: the bootloader runs and waits at its menu.
    void reset();
    void input(uint8_t byte, Micros now);
    void tick(Micros now);
    Micros deadline() const { return earliest(bannerTailAt_, receiver_.deadline()); }
    bool busy(Micros now) const { return receiver_.busy(now); }

    bool applicationStarted() const { return appStarted_; }
    bool hungUp() const { return hungUp_ || receiver_.hungUp(); }

private:
    void answerBoot(Micros now);

    const Faults& faults_;
    UnitIo& io_;
    YmodemReceiver receiver_; // at the menu while it is not active
    bool inApplication_ = true;
    std::string recent_; // the last bytes at the menu, to spot "BOOT"
    Micros bannerTailAt_ = -1;
    bool appStarted_ = false;
    bool hungUp_ = false;
};

} // namespace sim
