// termios2 cannot share a file with <termios.h>.
#include "Pty.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

uint32_t Pty::slaveSpeed(bool input) const {
    struct termios2 t {};
    if (ioctl(slave_, TCGETS2, &t) != 0) {
        return 0;
    }
    return input ? t.c_ispeed : t.c_ospeed;
}
