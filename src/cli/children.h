// Loader processes of this program, one per unit, as a station's launcher:
// each runs one flash with --json, so that a fault, hang or crash in one unit
// never stops, slows or corrupts another.
#pragma once

#include "cli/cli.h"
#include "station/Launcher.h"

#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
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

// What the loaders sent, read alike on every system: their streams split into
// lines, the event stream's lines read as events, and each loader's end told
// from the last record it sent. Handed to the runner in the order it came.
class LoaderOutputs {
public:
    // What one loader has sent so far.
    struct Streams {
        std::string outLine; // the unfinished lines of its event stream
        std::string errLine; // and of its standard error
        Json record;         // the last one it sent
    };

    // Bytes from a loader's event stream (`events`) or standard error; with
    // `ended` the stream is over and a last line without its line feed counts.
    void take(station::UnitId id, Streams& streams, bool events, std::string_view bytes,
              bool ended);
    // The loader ended with `status` after `seconds`.
    void ended(station::UnitId id, Streams& streams, int status, double seconds);
    // The loader could not be started.
    void notStarted(station::UnitId id, const std::string& why);
    void deliver(station::Launcher::Listener& listener);

private:
    struct Output {
        station::UnitId id;
        std::optional<RunEvent> event;
        std::optional<std::string> text;
        station::RunEnd end; // when neither
    };
    void line(station::UnitId id, Streams& streams, bool events, std::string text);

    std::deque<Output> outputs_;
};

// The arguments of a loader for `job`: --json, --port, --yes, the record
// options, the open retry and the job's record fields, then the firmware file.
std::vector<std::string> childArgs(const Options& options, const FlashJob& job);

// Writes `text` with every line behind "<prefix>: ".
void writePrefixed(std::FILE* to, const std::string& prefix, const std::string& text);

} // namespace cli
