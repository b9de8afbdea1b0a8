// The command-line loader: argument parsing, the console that renders a run's
// events on standard output and error, and the mapping of a run's ending to
// an exit status.
#pragma once

#include "cli/console.h"
#include "flash/FlashRun.h"

struct SerialPortInfo;

#include <atomic>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace cli {

constexpr int kExitOk = 0;
constexpr int kExitFlashFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitCancelled = 130;  // 128 + SIGINT
constexpr int kExitTerminated = 143; // 128 + SIGTERM

struct Options {
    enum class Mode { Flash, List, Help, Version, Doctor, Report, Station } mode = Mode::Flash;
    std::vector<std::string> ports; // none: the first port that discovery lists
    bool all = false;               // every port that discovery lists
    std::string firmware;           // the image's path
    bool yes = false;               // answer operator prompts at once
    bool quiet = false;             // no progress bar
    bool verbose = false;           // the serial link's diagnostics too
    bool json = false;              // events as JSON lines on standard output
    std::string record;             // record file; empty: the default one
    bool noRecord = false;          // write no record

    // The record's own fields: who flashed, for which work order (with
    // --report: only this work order's records).
    std::string operatorName;
    std::string workOrder;
    // Set by a station for its loaders: more record fields ("KEY=JSON"), and
    // how long an open refused for access or a busy port is tried again.
    std::vector<std::string> recordFields;
    uint32_t openRetryMs = 0;

    // --report
    std::vector<std::string> records; // record files to read; none: the default one
    std::string since;                // an ISO 8601 date or time
    bool csv = false;                 // one CSV row per record
    std::string unit;                 // only this adapter serial's runs, one by one

    // --station: the sockets it takes ("SOCKET[=LABEL]"); none: every unit's adapter
    std::vector<std::string> slots;
    std::string metrics; // the file of the station's figures for Prometheus; empty: none
};

// Parses the arguments (without the program name). On a usage error returns
// nothing and puts the reason in `error`.
std::optional<Options> parseArgs(const std::vector<std::string>& args, std::string& error);

const char* usage();

// --report: prints the report over the record files (report_cmd.cpp).
int runReport(const Options& options);

// --station: flashes every unit as it is plugged in (station_cmd.cpp).
int runStation(const Options& options);

// The job's own record fields from the options (operator, work order and a
// station's fields); nothing, with the reason in `error`, for a field that is
// not KEY=JSON.
std::optional<Json> recordFields(const Options& options, std::string& error);

// The exit status for a run's ending; a run cancelled by SIGTERM ends as the
// signal would have ended it.
int exitStatusFor(FlashOutcome outcome, int cancelSignal = SIGINT);

// "Sent 120000 bytes in 10.9 s, 11.0 kB/s"; without the rate when the time is
// too short to measure.
std::string transferSummary(uint64_t bytes, double seconds);

// The program's name in its warnings.
inline constexpr const char* kProgram = "zkflash-cli";

// A line of --list: the path, what is known of the adapter and its socket,
// each after a tab (empty when unknown), so that scripts can cut the
// columns; what a device says of itself is shown escaped.
std::string listLine(const std::string& path, const SerialPortInfo& info);

// "[#####     ] 50 %": a bar of `width` cells and the window's percentage.
std::string progressBarText(int32_t value, int32_t max, int width);

// Log lines on standard output; alerts as "<title>: <message>", warnings,
// the closing summary and, on a terminal, a progress bar on standard error;
// the serial link's diagnostics there too with --verbose. A prompt raises
// busy() until a line arrives on standard input, or at once with --yes; the
// end of the input cancels the run instead. The run is cancelled once `cancelSignal` is set (by a
// signal handler: it outlives every view).
class ConsoleView : public RunEvents {
public:
    ConsoleView(const Options& options, bool progressBar, int inputFd, std::FILE* out,
                std::FILE* err, const std::atomic<int>& cancelSignal);

    void event(const RunEvent& event) override;
    bool cancelRequested() override { return cancel_.load() != 0 || unanswered_.load(); }
    // The input ended while a prompt waited: the run was cancelled for it.
    bool unanswered() const { return unanswered_.load(); }
    bool busy() override;

protected:
    // Raises busy() for a prompt just shown: answered at once with --yes,
    // else by a line on the input; input that ends first cancels the run.
    void awaitAnswer();

private:
    void drawBar();
    // Output after the bar appeared ends it: it is cleared and not drawn again.
    void retireBar();
    // Ends a progress bar line so later output starts on a line of its own.
    void finish();

    const bool yes_;
    const bool verbose_;
    const bool progressBar_;
    const int inputFd_;
    std::FILE* out_;
    std::FILE* err_;
    const std::atomic<int>& cancel_;
    std::atomic<bool> busy_{false};
    std::atomic<bool> unanswered_{false};
    bool barShown_ = false;
    bool barRetired_ = false;
    int32_t value_ = 0;
    int32_t max_ = 100;
};

} // namespace cli
