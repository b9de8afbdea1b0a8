// End-to-end harness: a virtual unit on a pseudo-terminal and the loader CLI
// run against it, with the modem-line library preloaded so DTR reaches it.
#pragma once

#include "Process.h"

#include <cstdint>
#include <filesystem>
#include <memory>
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

    // Environment that lets a loader toggle DTR on the pseudo-terminal.
    std::map<std::string, std::string> loaderEnv() const;

    // Starts the loader CLI with `args`.
    std::unique_ptr<Process> startLoader(const std::vector<std::string>& args) const;

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
