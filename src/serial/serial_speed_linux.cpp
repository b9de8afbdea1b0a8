// Linux: any line speed through termios2 (BOTHER). <asm/termbits.h> clashes
// with <termios.h>, so this file stays apart from the rest of the channel.
#include "serial/serial_platform.h"

#include <asm/termbits.h>
#include <cerrno>
#include <cstdlib>
#include <linux/serial.h>
#include <sys/ioctl.h>

const char* const kSerialSpeedRequest = "TCSETS2";

int serialSetExactSpeed(int fd, uint32_t speed) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return errno;
    }
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = speed;
    tio.c_ospeed = speed;
    if (ioctl(fd, TCSETS2, &tio) != 0) {
        return errno;
    }
    struct termios2 back {};
    if (ioctl(fd, TCGETS2, &back) != 0) {
        return errno;
    }
    // An adapter's divisor may round a little; more would garble the line.
    const auto off = [speed](uint32_t got) {
        return std::llabs(static_cast<long long>(got) - static_cast<long long>(speed)) * 100 >
               static_cast<long long>(speed);
    };
    if (off(back.c_ospeed) || off(back.c_ispeed)) {
        return EINVAL;
    }
    return 0;
}

void serialRequestLowLatency(int fd) {
    struct serial_struct ss {};
    if (ioctl(fd, TIOCGSERIAL, &ss) != 0) {
        return; // not a UART-like driver (a pseudo-terminal, say)
    }
    ss.flags |= static_cast<int>(ASYNC_LOW_LATENCY);
    (void)ioctl(fd, TIOCSSERIAL, &ss);
}
