// Reads a terminal's input and output speeds as termios2 reports them.
#pragma once

#include <cstdint>

struct LineSpeeds {
    uint32_t input = 0;
    uint32_t output = 0;
};

// For a pseudo-terminal master this reads the slave's settings. Returns
// false when the request fails.
bool readLineSpeeds(int fd, LineSpeeds& speeds);
