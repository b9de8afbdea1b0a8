// Windows: the line speed is the DCB's BaudRate. A driver that cannot run at
// a rate refuses it in SetCommState; one that takes it reports back the rate
// asked for whatever its divisor gives (and wine reports 38400 for any rate
// outside the standard list), so reading it back proves nothing here.
// Latency is the FTDI driver's setting in the registry (the setup check's
// latency finding), not a request on the open port.
#include "serial/line_speed.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace portsys {

HANDLE systemHandleOf(Handle port); // serial_port_win.cpp

namespace {

int lastError() {
    return static_cast<int>(GetLastError());
}

} // namespace

const char* const kExactSpeedRequest = "SetCommState";

int setExactSpeed(Handle port, uint32_t speed) {
    const HANDLE handle = systemHandleOf(port);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) {
        return lastError();
    }
    dcb.BaudRate = speed;
    return SetCommState(handle, &dcb) ? 0 : lastError();
}

void requestLowLatency(Handle) {}

std::vector<SpeedTry> trySpeeds(Handle port, const std::vector<uint32_t>& speeds,
                                int& restoreError) {
    const HANDLE handle = systemHandleOf(port);
    std::vector<SpeedTry> tries;
    DCB found{};
    found.DCBlength = sizeof found;
    if (!GetCommState(handle, &found)) {
        const int err = lastError();
        for (size_t i = 0; i < speeds.size(); ++i) {
            tries.push_back({err, 0, 0});
        }
        return tries;
    }
    for (const uint32_t speed : speeds) {
        DCB dcb = found;
        dcb.BaudRate = speed;
        if (SetCommState(handle, &dcb)) {
            tries.push_back({0, speed, speed}); // taken: the rate asked for
        } else {
            tries.push_back({lastError(), 0, 0});
        }
    }
    if (!SetCommState(handle, &found)) {
        restoreError = lastError();
    }
    return tries;
}

LowLatencyTry tryLowLatency(Handle, int&) {
    return {ERROR_NOT_SUPPORTED, false};
}

} // namespace portsys
