// zkflash-cli --station: watches the sockets and flashes each unit plugged
// into one, each in a loader process of its own, with a live table of the
// sockets on standard error.
#include "cli/children.h"
#include "cli/cli.h"
#include "flash/FirmwareFile.h"
#include "flash/FlashRecord.h"
#include "serial/ports_linux.h"
#include "station/Station.h"
#include "ymodem/Ymodem.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>
#include <poll.h>
#include <set>
#include <unistd.h>

namespace cli {

namespace {

using station::Clock;

// How often the sockets are looked at: sysfs is read, since it is current
// with or without a udev daemon, and reading two folders is cheap.
constexpr auto kScanInterval = std::chrono::milliseconds(200);
// How long a loader tries an open again while udev or another program is
// still busy with a port just plugged in.
constexpr uint32_t kOpenRetryMs = 2000;

std::atomic<int> signals{0};
std::atomic<int> firstSignal{0};

// First Ctrl-C (or SIGTERM): no new units; second: the running ones are
// cancelled; third: leave at once.
void onSignal(int sig) {
    int none = 0;
    firstSignal.compare_exchange_strong(none, sig);
    if (signals.fetch_add(1) + 1 >= 3) {
        _exit(128 + firstSignal.load());
    }
}

class StationRun {
public:
    StationRun(const Options& options, std::vector<station::SlotSpec> slots)
        : options_(options), live_(!options.json && isatty(STDERR_FILENO) == 1),
          station_(std::move(slots), Clock::now()),
          attempts_(options.noRecord         ? std::string()
                    : options.record.empty() ? defaultRecordPath()
                                             : options.record) {}

    int run() {
        onCancelSignals(onSignal);
        signal(SIGPIPE, SIG_IGN); // a loader gone early must not take the station along
        scan(Clock::now());
        say("Station: waiting for units; Ctrl-C stops taking new ones.");
        int seenSignals = 0;
        auto nextScan = Clock::now() + kScanInterval;
        for (;;) {
            if (signals != seenSignals) {
                seenSignals = signals;
                stopping(seenSignals);
            }
            const auto now = Clock::now();
            if (now >= nextScan) {
                scan(now);
                nextScan = now + kScanInterval;
            }
            if (!station_.taking() && running() == 0) {
                break;
            }
            poll(std::chrono::duration_cast<std::chrono::milliseconds>(nextScan - Clock::now()));
        }
        clearTable();
        if (!options_.json) {
            for (const std::string& line : station::tableLines(station_, Clock::now())) {
                std::puts(line.c_str());
            }
            std::fflush(stdout);
        }
        if (cancelled_) {
            return firstSignal == SIGTERM ? kExitTerminated : kExitCancelled;
        }
        return station_.totals(Clock::now()).failed > 0 ? kExitFlashFailed : kExitOk;
    }

private:
    struct Unit {
        size_t row;
        ChildLoader loader;
        Json record;
        int attempt = 1;
        bool reported = false; // its end is in the table
    };

    size_t running() const {
        return static_cast<size_t>(std::count_if(units_.begin(), units_.end(),
                                                 [](const Unit& u) { return u.loader.running(); }));
    }

    void stopping(int count) {
        if (count == 1) {
            station_.stopTaking();
            say("Stopping: no new units; the units being flashed finish (Ctrl-C again cancels "
                "them, leaving them without an application).");
        } else {
            cancelled_ = cancelled_ || running() > 0;
            for (const Unit& unit : units_) {
                unit.loader.signal(SIGINT);
            }
        }
    }

    void scan(Clock::time_point now) {
        std::erase_if(units_, [](const Unit& unit) { return unit.reported; });
        const auto changes =
            station_.see(station::presentPorts(Serial_SysRoot(), Serial_DevRoot()), now);
        for (const size_t row : changes.start) {
            start(row);
        }
        for (const size_t row : changes.gone) {
            // The loader finds its line gone at its next read or write; one
            // waiting for the operator is answered so that it gets there.
            for (Unit& unit : units_) {
                if (unit.row == row && unit.loader.running()) {
                    unit.loader.answer();
                }
            }
        }
        show();
    }

    void start(size_t row) {
        const station::SlotRow& slot = station_.rows()[row];
        Unit& unit = units_.emplace_back();
        unit.row = row;
        const Json fields = attempts_.fieldsForNextRun(slot);
        unit.attempt = fields["attempt"];
        std::vector<std::string> extra{"--open-retry", std::to_string(kOpenRetryMs)};
        for (const auto& [key, value] : fields.items()) {
            extra.push_back("--record-field");
            extra.push_back(key + "=" + value.dump(-1, ' ', false, Json::error_handler_t::replace));
        }
        if (!options_.operatorName.empty()) {
            extra.insert(extra.end(), {"--operator", options_.operatorName});
        }
        if (!options_.workOrder.empty()) {
            extra.insert(extra.end(), {"--work-order", options_.workOrder});
        }
        if (!unit.loader.start(childArgs(options_, slot.port, extra))) {
            unit.reported = true;
            station_.finished(row, FlashOutcome::SerialFailure,
                              std::string("cannot start a loader: ") + std::strerror(errno), false,
                              Clock::now());
        }
    }

    void poll(std::chrono::milliseconds timeout) {
        std::vector<pollfd> fds;
        std::vector<int*> owners;
        std::vector<Unit*> units;
        for (Unit& unit : units_) {
            unit.loader.pollable(fds, owners);
            units.resize(owners.size(), &unit);
        }
        const bool asking = std::any_of(units_.begin(), units_.end(), [this](const Unit& u) {
            return u.loader.in >= 0 && station_.rows()[u.row].state == station::SlotState::Operator;
        });
        if (asking) {
            fds.push_back({STDIN_FILENO, POLLIN, 0});
        }
        const int wait = static_cast<int>(std::max<int64_t>(timeout.count(), 0));
        if (::poll(fds.data(), fds.size(), wait) <= 0) {
            return; // a signal, or time to look at the sockets
        }
        for (size_t i = 0; i < owners.size(); ++i) {
            if (fds[i].revents != 0) {
                Unit& unit = *units[i];
                unit.loader.read(*owners[i], [&](bool events, const std::string& line) {
                    handleLine(unit, events, line);
                });
            }
        }
        for (Unit& unit : units_) {
            if (!unit.loader.running() && !unit.reported) {
                unit.reported = true;
                ended(unit);
            }
        }
        if (asking && fds.back().revents != 0) {
            answerPrompts();
        }
    }

    void handleLine(Unit& unit, bool events, const std::string& line) {
        const station::SlotRow& slot = station_.rows()[unit.row];
        const auto event = events ? eventFromJson(Json::parse(line, nullptr, false)) : std::nullopt;
        if (!event) {
            say(name(slot) + ": " + line);
            return;
        }
        if (event->kind == RunEvent::Kind::Record) {
            unit.record = event->record;
        }
        station_.event(unit.row, *event);
        if (options_.json) {
            Json json = eventJson(*event);
            json["socket"] = slot.socket;
            if (!slot.label.empty()) {
                json["label"] = slot.label;
            }
            std::fputs(jsonLine(json).c_str(), stdout);
            std::fflush(stdout);
        } else if (event->kind == RunEvent::Kind::Prompt && !prompted_) {
            prompted_ = true;
            say(event->title.value_or(kApplicationName) + ": " + event->text +
                " (Enter answers every unit waiting)");
        }
        show();
    }

    void ended(Unit& unit) {
        const Json& record = unit.record;
        FlashOutcome outcome = FlashOutcome::SerialFailure;
        std::optional<SerialFailure> failure;
        std::string reason = "the loader ended with status " + std::to_string(unit.loader.status);
        if (record.is_object()) {
            outcome = outcomeNamed(record.value("outcome", "")).value_or(outcome);
            failure = recordFailure(record);
            reason = station::shortReason(outcome, failure);
        }
        station_.finished(unit.row, outcome, reason, unit.attempt == 1, unit.loader.ended);
        show();
    }

    // Enter answers every unit waiting for the operator.
    void answerPrompts() {
        char buffer[256];
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n > 0 && std::memchr(buffer, '\n', static_cast<size_t>(n)) == nullptr) {
            return;
        }
        for (Unit& unit : units_) {
            if (station_.rows()[unit.row].state == station::SlotState::Operator) {
                unit.loader.answer();
            }
        }
        prompted_ = false;
    }

    static std::string name(const station::SlotRow& row) {
        return row.label.empty() ? row.socket : row.label;
    }

    // The table: redrawn in place on a terminal; elsewhere one line for each
    // socket whose state changed.
    void show() {
        if (options_.json) {
            return;
        }
        if (live_) {
            clearTable();
            const auto lines = station::tableLines(station_, Clock::now());
            for (const std::string& line : lines) {
                std::fprintf(stderr, "%s\n", line.c_str());
            }
            std::fflush(stderr);
            tableLines_ = lines.size();
            return;
        }
        const auto& rows = station_.rows();
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
                std::fprintf(stderr, "%s  %s  %s\n", name(rows[i]).c_str(),
                             rows[i].serial.empty() ? "-" : rows[i].serial.c_str(), state.c_str());
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
        tableLines_ = 0;
        show();
    }

    const Options& options_;
    const bool live_;
    station::Station station_;
    std::vector<Unit> units_;
    station::Attempts attempts_;
    std::vector<std::string> shown_;
    size_t tableLines_ = 0;
    bool prompted_ = false;
    bool cancelled_ = false;
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
    if (!recordFields(options, error)) {
        return refuse(error);
    }
    std::vector<station::SlotSpec> slots;
    std::set<std::string> sockets;
    for (const std::string& text : options.slots) {
        auto slot = station::parseSlot(text, Serial_SysRoot(), error);
        if (!slot) {
            return refuse(error);
        }
        if (!sockets.insert(slot->socket).second) {
            return refuse("--slot " + text + ": socket " + slot->socket + " given twice");
        }
        slots.push_back(std::move(*slot));
    }
    return StationRun(options, std::move(slots)).run();
}

} // namespace cli
