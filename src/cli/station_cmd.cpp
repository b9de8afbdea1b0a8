// zkflash-cli --station: the station runner with a loader process for each
// unit, shown as a live table of the sockets on standard error (a line per
// change where that is no terminal, the runs' events with --json).
#include "cli/children.h"
#include "cli/cli.h"
#include "cli/console.h"
#include "flash/FirmwareFile.h"
#include "flash/FlashRecord.h"
#include "flash/printable.h"
#include "station/Runner.h"
#include "ymodem/Ymodem.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <set>

namespace cli {

namespace {

using station::Clock;

std::atomic<int> signals{0};
std::atomic<int> firstSignal{0};

// First Ctrl-C (or SIGTERM): no new units; second: the running ones are
// cancelled; third: leave at once.
void onSignal(int sig) {
    int none = 0;
    firstSignal.compare_exchange_strong(none, sig);
    if (signals.fetch_add(1) + 1 >= 3) {
        std::_Exit(128 + firstSignal.load());
    }
}

class StationShell : public station::RunnerView {
public:
    StationShell(const Options& options, station::RunnerSettings settings)
        : options_(options), live_(!options.json && console::errorIsTerminal()),
          watch_(station::systemPortWatch()), launcher_(options),
          runner_(std::move(settings), *watch_, launcher_, *this) {}

    int run() {
        onCancelSignals(onSignal);
        runner_.poll();
        say("Station: waiting for units; Ctrl-C stops taking new ones.");
        // Signals are taken in between the runner's steps; the wait for the
        // loaders' output and the operator's input ends early on a signal.
        int seenSignals = 0;
        for (;;) {
            for (; seenSignals < signals; ++seenSignals) {
                if (runner_.taking()) {
                    say("Stopping: no new units; the units being flashed finish (Ctrl-C again "
                        "cancels them, leaving them without an application).");
                }
                runner_.stop();
            }
            const auto next = runner_.poll();
            if (runner_.done()) {
                break;
            }
            const bool asking = !inputEnded_ && runner_.asking();
            const auto wait =
                std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now());
            if (launcher_.wait(wait, asking)) {
                answer();
            }
        }
        clearTable();
        if (!options_.json) {
            for (const std::string& line : station::tableLines(runner_.rows(), runner_.totals())) {
                std::puts(line.c_str());
            }
            std::fflush(stdout);
        }
        if (runner_.cancelled()) {
            return firstSignal == SIGTERM ? kExitTerminated : kExitCancelled;
        }
        return runner_.totals().failed > 0 ? kExitFlashFailed : kExitOk;
    }

private:
    // Enter answers every unit waiting for the operator.
    void answer() {
        switch (console::readInput()) {
        case console::Input::Line:
            runner_.answer();
            prompted_ = false;
            break;
        case console::Input::Ended:
            inputEnded_ = true;
            say("Standard input ended: the units waiting for the operator are cancelled "
                "(answer with Enter, or pass --yes).");
            runner_.inputEnded();
            break;
        case console::Input::Nothing:
            break;
        }
    }

    void unitEvent(size_t at, const RunEvent& event) override {
        const station::SlotRow& row = runner_.rows()[at];
        if (options_.json) {
            Json json = eventJson(event);
            json["socket"] = row.socket;
            if (!row.label.empty()) {
                json["label"] = row.label;
            }
            std::fputs(jsonLine(json).c_str(), stdout);
            std::fflush(stdout);
        } else if (event.kind == RunEvent::Kind::Prompt && !prompted_) {
            prompted_ = true;
            say(printable(event.title.value_or(kApplicationName)) + ": " + printable(event.text) +
                " (Enter answers every unit waiting)");
        }
    }

    void unitText(size_t at, const std::string& text) override {
        say(station::shownName(runner_.rows()[at]) + ": " + printable(text));
    }

    void warning(const std::string& text) override { say(text); }

    void unitEnded(size_t at, const station::RunEnd& end) override {
        if (options_.json && !end.outcome) {
            say(station::shownName(runner_.rows()[at]) + ": " + end.why); // no record tells it
        }
    }

    // The table: redrawn in place on a terminal; elsewhere one line for each
    // socket whose state changed.
    void changed() override {
        if (options_.json) {
            return;
        }
        if (live_) {
            clearTable();
            const auto lines = station::tableLines(runner_.rows(), runner_.totals());
            for (const std::string& line : lines) {
                std::fprintf(stderr, "%s\n", line.c_str());
            }
            std::fflush(stderr);
            tableLines_ = lines.size();
            return;
        }
        const auto& rows = runner_.rows();
        shown_.resize(rows.size());
        for (size_t i = 0; i < rows.size(); ++i) {
            std::string state = station::stateText(rows[i]);
            if (rows[i].state == station::SlotState::Flashing) {
                // Progress in quarters, not every block.
                const auto& p = rows[i].progress;
                state =
                    "flashing " + std::to_string(p.max > 0 ? p.value * 4 / p.max * 25 : 0) + " %";
            }
            if (state != shown_[i]) {
                shown_[i] = state;
                std::fprintf(stderr, "%s  %s  %s\n", station::shownName(rows[i]).c_str(),
                             station::shownSerial(rows[i]).c_str(), state.c_str());
            }
        }
        std::fflush(stderr);
    }

    void clearTable() {
        if (tableLines_ > 0) {
            std::fprintf(stderr, "\033[%zuF\033[J", tableLines_);
            tableLines_ = 0;
        }
    }

    void say(const std::string& text) {
        if (options_.json) {
            std::fprintf(stderr, "%s\n", text.c_str());
            return;
        }
        clearTable();
        std::fprintf(stderr, "%s\n", text.c_str());
        std::fflush(stderr);
        changed();
    }

    const Options& options_;
    const bool live_;
    std::unique_ptr<station::PortWatch> watch_;
    ChildLauncher launcher_;
    station::Runner runner_;
    std::vector<std::string> shown_;
    size_t tableLines_ = 0;
    bool prompted_ = false;
    bool inputEnded_ = false;
};

} // namespace

int runStation(const Options& options) {
    const auto refuse = [](const std::string& why) {
        std::fprintf(stderr, "%s: %s\n", kProgram, why.c_str());
        return kExitUsage;
    };
    // A station knows its image up front: what it cannot flash is refused now.
    const FirmwareFile file = readFirmwareFile(options.firmware);
    if (!file.image) {
        return refuse("cannot read '" + options.firmware + "': " + file.reason);
    }
    if (ymodem::blockCount(file.size) > kMaxBlocks) {
        return refuse("'" + options.firmware + "' is too large to flash (" +
                      std::to_string(file.size) + " bytes, at most " +
                      std::to_string(kMaxImageSize) + ")");
    }
    std::string error;
    const auto fields = recordFields(options, error);
    if (!fields) {
        return refuse(error);
    }
    station::RunnerSettings settings;
    std::set<std::string> sockets;
    for (const std::string& text : options.slots) {
        auto slot = station::parseSlot(text, error);
        if (!slot) {
            return refuse(error);
        }
        if (!sockets.insert(slot->socket).second) {
            return refuse("--slot " + text + ": socket " + slot->socket + " given twice");
        }
        settings.sockets.push_back(std::move(*slot));
    }
    const std::string name = firmwareFileName(options.firmware);
    settings.job = FlashJob{{}, file.image, name, selectsTransmitter(name), *fields, 0};
    settings.attemptsFrom = options.noRecord         ? std::string()
                            : options.record.empty() ? defaultRecordPath()
                                                     : options.record;
    settings.yes = options.yes;
    if (!options.metrics.empty()) {
        if (const auto refused = station::metricsFileRefused(options.metrics)) {
            return refuse("--metrics " + options.metrics + ": " + *refused);
        }
        settings.metricsFile = options.metrics;
        settings.version = ZK_VERSION;
    }
    return StationShell(options, std::move(settings)).run();
}

} // namespace cli
