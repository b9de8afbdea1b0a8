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
    // The loader's name for its line: the pseudo-terminal, or under wine
    // (wineCli() set) the COM port mapped to it.
    const std::string& port() const { return port_; }
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
    std::string port_;
    int comLock_ = -1; // the COM port's lock file, held while the unit lives
    std::unique_ptr<Process> sim_;
};

// Under wine: the Windows loader that the end-to-end runs start instead of the
// Linux one (ZK_E2E_WINDOWS_CLI), else empty. The COM ports COM20..COM27 of
// the wine prefix lead to links in ZK_E2E_WINE_COM_DIR that each unit points
// at its pseudo-terminal.
const std::string& wineCli();
// A path as the Windows loader names it ("Z:\tmp\...").
std::string windowsPath(const std::filesystem::path& path);

std::vector<uint8_t> testImage(size_t size, uint32_t seed = 1);
std::vector<std::string> lines(const std::string& text);
