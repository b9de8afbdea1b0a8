#include "cli/multi_port.h"

#include "cli/children.h"
#include "cli/console.h"

#include "flash/FirmwareFile.h"
#include "flash/FlashRecord.h"
#include "flash/printable.h"
#include "station/Runner.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <map>

namespace cli {

namespace {

std::atomic<int> signals{0};
std::atomic<int> lastSignal{0};

void onSignal(int sig) {
    lastSignal = sig;
    ++signals;
}

// Each port a socket of a runner that flashes it once; its loader's log lines
// behind the port, a terminal's progress line per port, the prompt asked once
// for all, and a table at the end.
class Several : public station::RunnerView {
public:
    Several(const Options& options, station::RunnerSettings settings,
            const std::vector<std::string>& ports)
        : options_(options), board_(!options.quiet && !options.json && console::errorIsTerminal()),
          watch_(ports), launcher_(options),
          runner_(std::move(settings), watch_, launcher_, *this) {}

    int run() {
        onCancelSignals(onSignal);
        int seenSignals = 0;
        while (runner_.poll(), !runner_.done()) {
            if (seenSignals != signals) {
                seenSignals = signals; // passed on once, however many came meanwhile
                runner_.stop(lastSignal == SIGTERM ? station::Cancel::Terminate
                                                   : station::Cancel::Interrupt);
            }
            if (launcher_.wait(std::chrono::milliseconds(100), prompting_)) {
                readAnswer();
            }
        }
        clearBoard();
        if (!options_.json) {
            printTable();
        }
        std::vector<int> statuses;
        for (const auto& [row, end] : ends_) {
            statuses.push_back(end.status);
        }
        return combinedExitStatus(statuses);
    }

private:
    struct Progress {
        int32_t value = 0;
        int32_t max = 100;
    };

    const std::string& port(size_t row) const { return runner_.rows()[row].socket; }

    void unitEvent(size_t row, const RunEvent& event) override {
        if (event.kind == RunEvent::Kind::Progress) {
            progress_[row] = {event.progress.value, event.progress.max};
            drawBoard();
        } else if (event.kind == RunEvent::Kind::Prompt && !asked_) {
            // Asked once for every receiver; the answer releases them all.
            asked_ = true;
            prompting_ = !options_.yes;
            show(stderr, "", event.title.value_or(kApplicationName) + ": " + event.text);
        }
        if (options_.json) {
            Json json = eventJson(event);
            json["port"] = port(row);
            std::fputs(jsonLine(json).c_str(), stdout);
            std::fflush(stdout);
            return;
        }
        switch (event.kind) {
        case RunEvent::Kind::Log:
            show(stdout, port(row), event.text);
            break;
        case RunEvent::Kind::Alert:
            show(stderr, port(row), event.title.value_or(kApplicationName) + ": " + event.text);
            break;
        case RunEvent::Kind::Diagnostic:
            if (options_.verbose) {
                show(stderr, port(row), event.text);
            }
            break;
        case RunEvent::Kind::Warning:
            show(stderr, port(row), std::string(kProgram) + ": warning: " + event.text);
            break;
        default:
            break;
        }
    }

    void unitText(size_t row, const std::string& text) override { show(stderr, port(row), text); }

    void unitEnded(size_t row, const station::RunEnd& end) override { ends_[row] = end; }

    // Enter answers the prompt for every unit; the end of the input cancels
    // the units waiting for it.
    void readAnswer() {
        const console::Input input = console::readInput();
        if (input == console::Input::Line) {
            runner_.answer(true);
        } else if (input == console::Input::Ended) {
            runner_.inputEnded();
        }
        prompting_ = input == console::Input::Nothing;
    }

    // Writes the text, each line behind "<port>: " when a port is given;
    // what a device or a file carries is escaped.
    void show(std::FILE* to, const std::string& prefix, std::string text) {
        clearBoard();
        while (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        if (prefix.empty()) {
            std::fprintf(to, "%s\n", printable(text, true).c_str());
            std::fflush(to);
        } else {
            writePrefixed(to, printable(prefix), printable(text, true));
        }
        drawBoard();
    }

    // One progress line per port on the terminal, redrawn in place.
    void drawBoard() {
        const bool any = std::any_of(progress_.begin(), progress_.end(),
                                     [](const auto& entry) { return entry.second.value > 0; });
        if (!board_ || !any) {
            return;
        }
        clearBoard();
        const auto& rows = runner_.rows();
        size_t width = 0;
        for (const auto& row : rows) {
            width = std::max(width, printable(row.socket).size());
        }
        for (size_t i = 0; i < rows.size(); ++i) {
            const Progress p = progress_.count(i) > 0 ? progress_[i] : Progress{};
            std::fprintf(stderr, "%-*s %s\n", static_cast<int>(width),
                         printable(rows[i].socket).c_str(),
                         progressBarText(p.value, p.max, 30).c_str());
        }
        std::fflush(stderr);
        boardLines_ = rows.size();
    }

    void clearBoard() {
        if (boardLines_ > 0) {
            std::fprintf(stderr, "\033[%zuF\033[J", boardLines_);
            std::fflush(stderr);
            boardLines_ = 0;
        }
    }

    void printTable() {
        std::vector<std::vector<std::string>> rows{
            {"Port", "Adapter serial", "Outcome", "Seconds"}};
        for (size_t i = 0; i < runner_.rows().size(); ++i) {
            const station::RunEnd& end = ends_[i];
            const bool recorded = end.record.is_object();
            const std::string serial = recorded ? station::recordText(end.record, "adapter_serial")
                                                : runner_.rows()[i].serial;
            const std::string outcome = recorded ? station::recordText(end.record, "outcome")
                                                 : "exit status " + std::to_string(end.status);
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.1f", end.seconds);
            rows.push_back(
                {printable(port(i)), serial.empty() ? "-" : printable(serial), outcome, seconds});
        }
        std::vector<size_t> widths(rows.front().size(), 0);
        for (const auto& row : rows) {
            for (size_t i = 0; i < row.size(); ++i) {
                widths[i] = std::max(widths[i], row[i].size());
            }
        }
        for (const auto& row : rows) {
            std::string line;
            for (size_t i = 0; i < row.size(); ++i) {
                line += i + 1 < row.size()
                            ? row[i] + std::string(widths[i] - row[i].size() + 2, ' ')
                            : std::string(widths[i] - row[i].size(), ' ') + row[i];
            }
            std::puts(line.c_str());
        }
        std::fflush(stdout);
    }

    const Options& options_;
    const bool board_;
    station::FixedPorts watch_;
    ChildLauncher launcher_;
    station::Runner runner_;
    std::map<size_t, Progress> progress_;
    std::map<size_t, station::RunEnd> ends_;
    size_t boardLines_ = 0;
    bool asked_ = false;
    bool prompting_ = false;
};

} // namespace

int combinedExitStatus(const std::vector<int>& statuses) {
    return statuses.empty() ? kExitOk : *std::max_element(statuses.begin(), statuses.end());
}

int flashSeveral(const Options& options, const std::vector<std::string>& ports) {
    std::string error;
    const auto fields = recordFields(options, error);
    if (!fields) {
        std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return kExitUsage;
    }
    station::RunnerSettings settings;
    for (const std::string& port : ports) {
        settings.sockets.push_back({port, ""});
    }
    settings.once = true;
    const std::string name = firmwareFileName(options.firmware);
    settings.job = FlashJob{{}, nullptr, name, selectsTransmitter(name), *fields, 0};
    settings.yes = options.yes;
    return Several(options, std::move(settings), ports).run();
}

} // namespace cli
