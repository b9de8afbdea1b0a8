// Loader processes of this program, one per unit, as a station's launcher:
// each runs one flash with --json, so that a fault, hang or crash in one unit
// never stops, slows or corrupts another.
#pragma once

#include "cli/cli.h"
#include "station/Launcher.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace cli {

class ChildLauncher : public station::Launcher {
public:
    // The loaders flash options.firmware, with the options' --yes and record
    // options. Writing to a loader that has gone no longer ends this process.
    explicit ChildLauncher(const Options& options);
    // Kills the loaders still running and waits for them.
    ~ChildLauncher() override;

    // A loader in a process group of its own (a terminal's Ctrl-C reaches
    // only this process, which passes it on), with the job's port, open retry
    // and record fields.
    void start(station::UnitId id, const FlashJob& job) override;
    // A line on its standard input.
    void answer(station::UnitId id) override;
    // SIGINT or SIGTERM, and its input closed.
    void cancel(station::UnitId id, station::Cancel how) override;
    // SIGTERM and its input closed; killed if it has not ended a few seconds later.
    void remove(station::UnitId id) override;
    void deliver(Listener& listener) override;

    // Waits up to `timeout` for what the loaders write and takes it in; with
    // `input`, for standard input too. True when standard input is ready to
    // be read. A signal cuts the wait short.
    bool wait(std::chrono::milliseconds timeout, bool input);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The arguments of a loader for `job`: --json, --port, --yes, the record
// options, the open retry and the job's record fields, then the firmware file.
std::vector<std::string> childArgs(const Options& options, const FlashJob& job);

// Writes `text` with every line behind "<prefix>: ".
void writePrefixed(std::FILE* to, const std::string& prefix, const std::string& text);

} // namespace cli
