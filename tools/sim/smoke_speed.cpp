// termios2 cannot share a file with <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

// Sets an exact line speed (any rate, 109000 included).
bool setLineSpeed(int fd, unsigned speed) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) {
        return false;
    }
    t.c_cflag &= ~CBAUD;
    t.c_cflag |= BOTHER;
    t.c_ispeed = speed;
    t.c_ospeed = speed;
    return ioctl(fd, TCSETS2, &t) == 0;
}
