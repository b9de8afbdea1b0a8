// A line's exact speed and the driver's low-latency request: the port sets
// them on every open, and the setup check tries them on the ports the
// operator names. One file per system implements it (line_speed_linux.cpp:
// termios2 and TIOCSSERIAL).
#pragma once

#include <cstdint>
#include <vector>

#include "serial/port_system.h"

namespace portsys {

// Name of the request that sets an exact speed, for the open's failure text.
extern const char* const kExactSpeedRequest;

// Sets input and output speed to exactly `speed` bit/s and reads it back.
// Returns 0, or the error number (that of an invalid argument when the driver
// settled more than 1 % away from the rate asked for).
int setExactSpeed(Handle port, uint32_t speed);

// Asks the driver to hand over received bytes at once instead of batching
// them (a USB adapter otherwise holds a short reply up to 16 ms). Best effort.
void requestLowLatency(Handle port);

// A speed tried: the error number of setting or reading it back, else the
// output and input speeds the driver settled on.
struct SpeedTry {
    int error = 0;
    uint32_t out = 0, in = 0;
};

// Tries each speed in turn, then puts the line's settings back as it found
// them (`restoreError`: the error number of that, else left alone). Nothing
// waits for output to drain.
std::vector<SpeedTry> trySpeeds(Handle port, const std::vector<uint32_t>& speeds,
                                int& restoreError);

// Asks for low latency and reads back whether the driver kept it, then puts
// the driver's flags back as it found them (`restoreError`: the error number
// of that, unless one is set already).
struct LowLatencyTry {
    int error = 0; // of asking or reading back
    bool kept = false;
};
LowLatencyTry tryLowLatency(Handle port, int& restoreError);

} // namespace portsys
