#include "station/Runner.h"

#include "flash/sha256.h"
#include "serial/printable.h"

#include <algorithm>

namespace station {

namespace {

// The unit a run's record names, as the report reads it: its adapter serial,
// or none for a unit of its own.
std::string recordedUnit(const Json& record, const std::string& otherwise) {
    if (!record.is_object()) {
        return otherwise;
    }
    const auto own = record.find("own_unit");
    if (own != record.end() && own->is_boolean() && own->get<bool>()) {
        return {};
    }
    return recordText(record, "adapter_serial");
}

} // namespace

Runner::Runner(RunnerSettings settings, PortWatch& watch, Launcher& launcher, RunnerView& view,
               Now now)
    : settings_(std::move(settings)), watch_(watch), launcher_(launcher), view_(view),
      now_(std::move(now)), named_(!settings_.sockets.empty()), startedAt_(now_()),
      startedWall_(std::chrono::system_clock::now()) {
    for (const SlotSpec& slot : settings_.sockets) {
        SlotRow row;
        row.socket = slot.socket;
        row.label = slot.label;
        rows_.push_back(std::move(row));
    }
    if (settings_.attemptsFrom) {
        attempts_ = std::make_unique<Attempts>(*settings_.attemptsFrom);
    }
    if (settings_.metricsFile) {
        const FlashJob& job = settings_.job;
        const auto field = [&](const char* key) { return printable(recordText(job.fields, key)); };
        metrics_ = std::make_unique<StationMetrics>(
            MetricsInfo{printable(settings_.version), printable(job.name),
                        job.image ? sha256Hex(job.image->data(), job.image->size()) : "",
                        field("work_order"), field("operator")},
            startedWall_);
        for (const SlotRow& row : rows_) {
            metrics_->socket(shownName(row));
        }
        writeMetrics();
    }
}

Clock::time_point Runner::poll() {
    deliver();
    const auto now = now_();
    if (now >= nextScan_) {
        scan();
        nextScan_ = now + kScanInterval;
    }
    return nextScan_;
}

size_t Runner::rowFor(const std::string& socket) {
    const auto found = std::find_if(rows_.begin(), rows_.end(),
                                    [&](const SlotRow& row) { return row.socket == socket; });
    if (found != rows_.end() || named_) {
        return static_cast<size_t>(found - rows_.begin());
    }
    SlotRow row;
    row.socket = socket;
    rows_.push_back(std::move(row));
    return rows_.size() - 1;
}

void Runner::scan() {
    std::vector<bool> present(rows_.size(), false);
    for (const PresentPort& port : watch_.present()) {
        if (port.info.socket.empty()) {
            continue; // not on USB: no place to keep
        }
        const size_t at = rowFor(port.info.socket);
        if (at == rows_.size()) {
            continue; // not a station socket
        }
        present.resize(rows_.size(), false);
        present[at] = true;
        if (rows_[at].port == port.path) {
            continue; // still there
        }
        if (!rows_[at].port.empty()) {
            gone(at); // another node: taken out and plugged in between two looks
        }
        SlotRow& row = rows_[at];
        row.port = port.path;
        row.serial = port.info.serial;
        row.reason.clear();
        row.advice.clear();
        row.progress = {};
        if (!named_ && !isUnitAdapter(port.info)) {
            row.state = SlotState::Ignored;
        } else if (firstLook_ && !named_) {
            row.state = SlotState::Skipped;
        } else if (taking_) {
            start(at);
        } else {
            row.state = SlotState::Waiting;
        }
    }
    for (size_t at = 0; at < rows_.size(); ++at) {
        if (!present[at] && !rows_[at].port.empty()) {
            gone(at);
        }
    }
    firstLook_ = false;
    taking_ = taking_ && !settings_.once; // each fixed socket's one run has started
    view_.changed();
    if (metrics_ && now_() >= nextMetrics_) {
        writeMetrics();
    }
}

void Runner::start(size_t at) {
    SlotRow& row = rows_[at];
    row.state = SlotState::Flashing;
    FlashJob job = settings_.job;
    job.port = row.port;
    // A port just plugged in may not be ours to open yet (udev sets its
    // access a moment later); ports named on the command line were there.
    job.openRetryMs = settings_.once ? 0 : kOpenRetryMs;
    if (attempts_) {
        job.fields.update(attempts_->fieldsForNextRun(row));
    }
    const UnitId id = nextId_++;
    const auto attempt = job.fields.find("attempt");
    units_[id] =
        Unit{at, row.serial, now_(),
             attempt != job.fields.end() && attempt->is_number_integer() ? attempt->get<int>() : 1};
    launcher_.start(id, job);
}

// The unit in the row was taken out: the row says so at once, and a run still
// going ends now.
void Runner::gone(size_t at) {
    SlotRow& row = rows_[at];
    row.port.clear();
    row.before = row.state;
    row.state = SlotState::Removed;
    for (auto& [id, unit] : units_) {
        if (unit.row == at && !unit.removed) {
            unit.removed = true;
            launcher_.remove(id);
        }
    }
}

void Runner::unitEvent(UnitId id, const RunEvent& event) {
    const auto found = units_.find(id);
    if (found == units_.end()) {
        return;
    }
    SlotRow& row = rows_[found->second.row];
    if (!found->second.removed) { // else the row is no longer its unit's
        // A prompt is answered up front (--yes, or an answer given for all),
        // cancelled when no answer can come, else shown until answered.
        if (event.kind == RunEvent::Kind::Prompt) {
            if (settings_.yes || answerAhead_) {
                launcher_.answer(id);
            } else if (inputEnded_) {
                cancelled_ = true;
                launcher_.cancel(id, Cancel::Interrupt);
            } else {
                row.state = SlotState::Operator;
            }
        } else if (event.kind == RunEvent::Kind::Progress) {
            row.state = SlotState::Flashing;
            row.progress = event.progress;
        } else if (event.kind == RunEvent::Kind::Log && row.state == SlotState::Operator) {
            row.state = SlotState::Flashing; // answered: the run goes on
        }
    }
    view_.unitEvent(found->second.row, event);
    view_.changed();
}

void Runner::unitText(UnitId id, const std::string& text) {
    if (const auto found = units_.find(id); found != units_.end()) {
        view_.unitText(found->second.row, text);
    }
}

void Runner::unitEnded(UnitId id, const RunEnd& end) {
    const auto found = units_.find(id);
    if (found == units_.end()) {
        return;
    }
    const Unit unit = found->second;
    units_.erase(found);
    // A run that told nothing failed: its loader died.
    const FlashOutcome outcome = end.outcome.value_or(FlashOutcome::SerialFailure);
    // As the report counts it: a run whose port never opened reached no unit.
    const auto opened = end.record.is_object() ? end.record.find("port_opened") : end.record.end();
    const bool reached = opened == end.record.end() || !opened->is_boolean() || opened->get<bool>();
    if (reached) {
        tally_.add(recordedUnit(end.record, unit.serial), outcome, unit.started.time_since_epoch(),
                   now_().time_since_epoch());
    }
    if (!unit.removed) {
        SlotRow& row = rows_[unit.row];
        const bool passed = outcome == FlashOutcome::Success;
        row.state = passed ? SlotState::Passed : SlotState::Failed;
        row.seconds = end.seconds;
        row.reason = passed        ? std::string()
                     : end.outcome ? shortReason(outcome, end.failure)
                                   : end.why;
        row.advice = end.outcome ? advice(outcome, settings_.job.transmitter) : std::string();
    }
    if (metrics_) {
        const SlotRow& row = rows_[unit.row];
        metrics_->runEnded(shownName(row), end.outcome, unit.attempt, reached, end.seconds);
        writeMetrics();
    }
    view_.unitEnded(unit.row, end);
    view_.changed();
}

void Runner::writeMetrics() {
    const auto now = now_();
    nextMetrics_ = now + kMetricsInterval;
    metrics_->setInProgress(totals().inProgress);
    const auto wall =
        startedWall_ + std::chrono::duration_cast<StationMetrics::Time::duration>(now - startedAt_);
    const auto problem = replaceFile(*settings_.metricsFile, metrics_->text(wall));
    if (problem.has_value() != metricsFailing_) {
        view_.warning(problem ? "The station's figures were not written: " + *problem
                              : "The station's figures are written again to " +
                                    *settings_.metricsFile + ".");
    }
    metricsFailing_ = problem.has_value();
}

void Runner::answer(bool ahead) {
    answerAhead_ = answerAhead_ || ahead;
    for (const auto& [id, unit] : units_) {
        SlotRow& row = rows_[unit.row];
        if (!unit.removed && row.state == SlotState::Operator) {
            launcher_.answer(id);
            row.state = SlotState::Flashing;
        }
    }
    view_.changed();
}

void Runner::inputEnded() {
    inputEnded_ = true;
    for (const auto& [id, unit] : units_) {
        if (!unit.removed && rows_[unit.row].state == SlotState::Operator) {
            cancelled_ = true;
            launcher_.cancel(id, Cancel::Interrupt);
        }
    }
}

void Runner::stop(Cancel how) {
    if (taking_) {
        taking_ = false;
    } else {
        cancelled_ = cancelled_ || !units_.empty();
        for (const auto& [id, unit] : units_) {
            launcher_.cancel(id, how);
        }
    }
    view_.changed();
}

bool Runner::asking() const {
    return std::any_of(units_.begin(), units_.end(), [this](const auto& entry) {
        return !entry.second.removed && rows_[entry.second.row].state == SlotState::Operator;
    });
}

Totals Runner::totals() const {
    Totals totals;
    for (const SlotRow& row : rows_) {
        totals.inProgress += row.state == SlotState::Flashing || row.state == SlotState::Operator;
    }
    totals.passed = tally_.passed();
    totals.failed = tally_.failed();
    totals.unitsPerHour = tally_.unitsPerHour().value_or(0);
    totals.firstPassYield = tally_.firstPassYield();
    return totals;
}

} // namespace station
