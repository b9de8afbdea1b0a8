// What only an open port tells: whether the driver takes the loader's exact
// line speeds and its low-latency request.
#pragma once

#include <cstdint>
#include <string>

// The transmitter's and the receiver's bootloader speeds, in bit/s.
inline constexpr uint32_t kProbeSpeeds[2] = {115200, 109000};

struct PortProbe {
    int openError = 0; // error number of the open; the rest is unset when not 0
    struct Speed {
        int error = 0; // error number of setting or reading it back
        uint32_t out = 0, in = 0;
    } speeds[2];
    int lowLatencyError = 0;     // error number of asking for it or reading it back
    bool lowLatencyKept = false; // the flag read back set
    int restoreError = 0;        // error number of putting the settings back
};

// Opens `path` without waiting for carrier and without becoming its
// controlling terminal, sets and reads back each of kProbeSpeeds, asks for
// low latency, then puts back the settings and flags it found. Writes nothing
// to the line and never drains it.
PortProbe probePort(const std::string& path);
