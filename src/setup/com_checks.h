// The setup check's decisions on Windows, from what the system told
// (setup_check_win.cpp gathers it): the adapters and their drivers, the ports
// the operator named and what opening them found, the FTDI latency timer and
// COM names used twice. Plain records in, checks out, so the decisions are
// tested on any system.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "serial/com_devices.h"
#include "setup/SetupCheck.h"

struct ComMachine {
    std::vector<ComDevice> devices;
    std::vector<std::string> serialComm; // the registry's SERIALCOMM names
    std::vector<std::string> named;      // --port, as given

    // What opening a named port found: the open's (or the loaders' lock's)
    // error number, 0 when it opened; then the speeds tried, each with the
    // error of setting it (0: taken). Ports not opened have no entry.
    struct Opened {
        int error = 0;
        std::vector<std::pair<uint32_t, int>> speeds;
    };
    std::map<std::string, Opened> opened;
};

// Every check, in the order shown: adapters, port:, driver:, holders:,
// latency:, speeds:, com-names.
std::vector<SetupCheck> comChecks(const ComMachine& machine);

// What the operator can do about `failure` on `port`: another program holds
// it, its adapter has no working driver, the adapter was unplugged. Empty
// when there is nothing to say.
std::string comFailureHint(const std::vector<ComDevice>& devices, const std::string& port,
                           const SerialFailure& failure);
