// A virtual unit (zkunit-sim) on a pseudo-terminal for end-to-end runs: what
// it saw, what it received, and the flash records of loaders run against it.
#pragma once

#include "Process.h"

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

struct UnitEvent {
    long ms = 0;
    std::string name;
    std::string args;
};

class VirtualUnit {
public:
    explicit VirtualUnit(const std::vector<std::string>& options);
    ~VirtualUnit();

    const std::string& path() const { return path_; }
    // Its folder: events, the image received, the socket for DTR, and the
    // flash records under state/ when loaders are given XDG_STATE_HOME=dir/state.
    const std::filesystem::path& dir() const { return dir_; }
    // Writes a file into its folder; returns its path.
    std::filesystem::path write(const std::string& name, const std::vector<uint8_t>& bytes) const;

    // Every event, or those of one name.
    std::vector<UnitEvent> events(const std::string& name = "") const;
    std::vector<uint8_t> received() const;
    // The unit takes in what the loader wrote at line rate, after the loader
    // may have ended: waits until the event is logged.
    bool waitForEvent(const std::string& name, std::chrono::milliseconds timeout) const;
    // One JSON value a line (discarded when a line is not JSON).
    std::vector<nlohmann::json> records() const;

private:
    std::filesystem::path dir_;
    std::string path_;
    std::unique_ptr<Process> sim_;
};

std::vector<uint8_t> testImage(size_t size, uint32_t seed = 1);
std::vector<std::string> lines(const std::string& text);
