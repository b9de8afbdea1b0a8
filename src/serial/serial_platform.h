// What the serial channel needs from the operating system beyond POSIX
// termios. One source file per system implements it.
#pragma once

#include <cstdint>

// Sets input and output speed to exactly `speed` bit/s and reads it back.
// Returns 0, or the errno of the failure (EINVAL when the driver settled more
// than 1% away from the rate asked for).
int serialSetExactSpeed(int fd, uint32_t speed);

// Name of the request serialSetExactSpeed makes, for its failure text.
extern const char* const kSerialSpeedRequest;

// Asks the driver to hand over received bytes at once instead of batching
// them (a USB adapter otherwise holds a short reply up to 16 ms). Best effort.
void serialRequestLowLatency(int fd);
