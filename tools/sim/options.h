// Command line of the virtual unit: which unit it plays, where it writes, and
// the faults it injects.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sim {

enum class Target { Transmitter, Receiver };

struct Faults {
    bool silent = false;                    // never answer anything
    bool wrongMode = false;                 // answer "BOOT" with 0xFF 0xFF 0xFF
    bool splitBanner = false;               // banner in two writes, split inside the banner word
    std::map<uint32_t, uint32_t> nakBlocks; // data block -> copies to NAK
    std::map<uint32_t, uint32_t> dropAcks;  // data block -> copies to stay silent on
    std::set<uint32_t> doubleAcks;          // ACK these data blocks twice, 5 ms apart
    std::optional<uint32_t> canAt;          // answer this data block with CAN CAN
    uint32_t slowFlashMs = 0;               // extra time per written data block
    std::optional<uint32_t> hangupAt;       // close the line on this data block
    bool hangupAtEnd = false;               // close the line when the batch's last EOT arrives
};

// How the loader's drain (tcdrain, through the modem-line library) returns:
// at once, as on a pseudo-terminal, or like a USB-serial adapter's, this many
// milliseconds after the unit has taken the last written byte off the line.
struct Adapter {
    std::optional<uint32_t> drainLagMs;
};

struct Options {
    Target target = Target::Transmitter;
    std::string outDir; // empty: a new temporary directory
    bool once = false;
    bool help = false;
    Faults faults;
    Adapter adapter;
};

// The line speed the unit's serial port runs at.
uint32_t expectedSpeed(Target target);

// Parses the arguments (without the program name). On a usage error returns
// nothing and puts the reason in `error`.
std::optional<Options> parseOptions(const std::vector<std::string>& args, std::string& error);

const char* usageText();

} // namespace sim
