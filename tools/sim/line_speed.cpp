// termios2 cannot share a file with <termios.h>.
#include "line.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace sim {

// Termios requests on the master act on the slave: this reads the speed the
// loader gave its end of the line.
uint32_t PtyLine::speed() const {
    struct termios2 t {};
    if (master_ < 0 || ioctl(master_, TCGETS2, &t) != 0) {
        return 0;
    }
    return t.c_ospeed;
}

} // namespace sim
