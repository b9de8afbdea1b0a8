// Linux: advice for a port that cannot be opened, from the setup check's
// findings for that port (its rights, its holders, its locks) on this machine.
#include "serial/SetupCheck.h"
#include "serial/ZKSerial.h"

std::string Serial_FailureHint(int err, const std::string& path) {
    return SetupCheck_OpenHint(SetupCheck_MachineRoots(), SetupCheck_ThisProcess(), err, path);
}
