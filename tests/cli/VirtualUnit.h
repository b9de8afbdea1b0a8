// End-to-end harness: a virtual unit on a pseudo-terminal and the loader CLI
// run against it, with the modem-line library preloaded so DTR reaches it.
#pragma once

#include "Process.h"

#include <cstdint>
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
    const std::filesystem::path& dir() const { return dir_; }

    std::vector<UnitEvent> events() const;
    std::vector<UnitEvent> events(const std::string& name) const;
    std::vector<uint8_t> received() const;
    // The unit takes in what the loader wrote at line rate, after the loader
    // may have ended: waits until the event is logged.
    bool waitForEvent(const std::string& name, std::chrono::milliseconds timeout) const;

    // The flash records of the loaders started here, one JSON value a line
    // (discarded when a line is not JSON).
    std::vector<nlohmann::json> records() const;

    // Starts the loader CLI with `args`.
    std::unique_ptr<Process> startLoader(const std::vector<std::string>& args) const;
    // The same for several units: DTR reaches each on its own line, the
    // records go to the first unit's.
    static std::unique_ptr<Process> startLoader(const std::vector<const VirtualUnit*>& units,
                                                const std::vector<std::string>& args);

private:
    std::filesystem::path dir_;
    std::string path_;
    std::unique_ptr<Process> sim_;
};

// A temporary directory removed with its contents at the end of the scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path write(const std::string& name, const std::vector<uint8_t>& bytes) const;

private:
    std::filesystem::path path_;
};

std::vector<uint8_t> testImage(size_t size, uint32_t seed = 1);
std::vector<std::string> lines(const std::string& text);
