// termios2 cannot share a file with <termios.h>.
#include "line_speed_probe.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

bool readLineSpeeds(int fd, LineSpeeds& speeds) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) {
        return false;
    }
    speeds.input = t.c_ispeed;
    speeds.output = t.c_ospeed;
    return true;
}
