#include "station/Station.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "flash/progress.h"
#include "serial/ports_linux.h"

namespace station {

namespace {

namespace fs = std::filesystem;

// "1-1.3" is port 3 of the hub "1-1"; "1-1" port 1 of bus 1's root hub "usb1".
std::string hubOf(const std::string& socket) {
    const std::string device = socket.substr(0, socket.find(':'));
    const size_t dot = device.rfind('.');
    if (dot != std::string::npos) {
        return device.substr(0, dot);
    }
    const size_t dash = device.find('-');
    return dash == std::string::npos ? std::string() : "usb" + device.substr(0, dash);
}

std::string minutesSeconds(double seconds) {
    const long whole = std::lround(std::max(seconds, 0.0));
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

} // namespace

std::optional<SlotSpec> parseSlot(const std::string& text, const std::string& sysRoot,
                                  std::string& error) {
    const size_t equals = text.find('=');
    SlotSpec slot{text.substr(0, equals),
                  equals == std::string::npos ? "" : text.substr(equals + 1)};
    if (std::any_of(slot.label.begin(), slot.label.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
        error = "--slot " + text + ": the label has a control character";
        return std::nullopt;
    }
    if (slot.socket.find('/') != std::string::npos) {
        // A /dev/serial/by-path name: the socket of the port it names now.
        slot.socket = Serial_PortInfoIn(sysRoot, slot.socket).socket;
        if (slot.socket.empty()) {
            error = "--slot " + text + ": no USB port there";
            return std::nullopt;
        }
    }
    std::error_code ec;
    const std::string hub = hubOf(slot.socket);
    if (hub.empty() || !fs::exists(fs::path(sysRoot) / "bus/usb/devices" / hub, ec)) {
        error = "--slot " + text + ": no hub for socket " + slot.socket + " in sysfs";
        return std::nullopt;
    }
    return slot;
}

std::vector<PresentPort> presentPorts(const std::string& sysRoot, const std::string& devRoot) {
    std::vector<std::string> paths;
    Serial_ListPortsIn(sysRoot, devRoot, paths);
    std::vector<PresentPort> ports;
    std::error_code ec;
    for (const std::string& path : paths) {
        // sysfs may show a port a moment before its node exists.
        if (fs::exists(path, ec)) {
            ports.push_back({path, Serial_PortInfoIn(sysRoot, path)});
        }
    }
    return ports;
}

bool isUnitAdapter(const SerialPortInfo& info) {
    static const char* const kProducts[] = {"6001", "6010", "6011", "6014", "6015"};
    return info.vendorId == "0403" && std::find(std::begin(kProducts), std::end(kProducts),
                                                info.productId) != std::end(kProducts);
}

Station::Station(std::vector<SlotSpec> slots, Clock::time_point start)
    : named_(!slots.empty()), start_(start) {
    for (SlotSpec& slot : slots) {
        SlotRow row;
        row.socket = std::move(slot.socket);
        row.label = std::move(slot.label);
        rows_.push_back(std::move(row));
    }
}

size_t Station::rowFor(const std::string& socket) {
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

Station::Changes Station::see(const std::vector<PresentPort>& ports, Clock::time_point now) {
    Changes changes;
    std::vector<bool> present(rows_.size(), false);
    for (const PresentPort& port : ports) {
        if (port.info.socket.empty()) {
            continue; // not on USB: no place to keep
        }
        const bool ours = named_ || isUnitAdapter(port.info);
        const size_t at = rowFor(port.info.socket);
        if (at == rows_.size()) {
            continue; // not a station socket
        }
        present.resize(rows_.size(), false);
        present[at] = true;
        SlotRow& row = rows_[at];
        if (row.port == port.path) {
            continue; // still there
        }
        row.port = port.path;
        row.serial = port.info.serial;
        row.reason.clear();
        row.progress = {};
        if (!ours) {
            row.state = SlotState::Ignored;
        } else if (firstLook_ && !named_) {
            row.state = SlotState::Skipped;
        } else if (taking_) {
            row.state = SlotState::Flashing;
            row.started = now;
            changes.start.push_back(at);
        } else {
            row.state = SlotState::Waiting;
        }
    }
    for (size_t at = 0; at < rows_.size(); ++at) {
        SlotRow& row = rows_[at];
        if (present[at] || row.port.empty()) {
            continue;
        }
        row.port.clear();
        if (row.state == SlotState::Flashing || row.state == SlotState::Operator) {
            changes.gone.push_back(at); // the run ends as failed; its row says so then
        } else if (row.state != SlotState::Failed || row.reason.empty()) {
            row.state = SlotState::Removed;
        }
    }
    firstLook_ = false;
    return changes;
}

void Station::event(size_t at, const RunEvent& event) {
    SlotRow& row = rows_.at(at);
    if (event.kind == RunEvent::Kind::Prompt) {
        row.state = SlotState::Operator;
    } else if (event.kind == RunEvent::Kind::Progress) {
        row.state = SlotState::Flashing;
        row.progress = event.progress;
    } else if (event.kind == RunEvent::Kind::Log && row.state == SlotState::Operator) {
        row.state = SlotState::Flashing; // answered: the run goes on
    }
}

void Station::finished(size_t at, FlashOutcome outcome, const std::string& reason,
                       bool firstAttempt, Clock::time_point now) {
    SlotRow& row = rows_.at(at);
    row.seconds = std::chrono::duration<double>(now - row.started).count();
    const bool passed = outcome == FlashOutcome::Success;
    row.state = passed ? SlotState::Passed : SlotState::Failed;
    row.reason = passed ? std::string() : reason;
    if (outcome == FlashOutcome::Cancelled) {
        return; // says nothing about the unit
    }
    ++(passed ? passed_ : failed_);
    ++units_;
    firstPass_ += passed && firstAttempt;
}

Totals Station::totals(Clock::time_point now) const {
    Totals totals;
    for (const SlotRow& row : rows_) {
        totals.inProgress += row.state == SlotState::Flashing || row.state == SlotState::Operator;
    }
    totals.passed = passed_;
    totals.failed = failed_;
    const double hours = std::chrono::duration<double>(now - start_).count() / 3600.0;
    totals.unitsPerHour = hours > 0 ? units_ / hours : 0;
    if (units_ > 0) {
        totals.firstPassYield = static_cast<double>(firstPass_) / units_;
    }
    return totals;
}

Attempts::Attempts(const std::string& recordPath) {
    std::ifstream in(recordPath);
    for (std::string line; std::getline(in, line);) {
        const Json record = Json::parse(line, nullptr, false);
        if (record.is_object() && record.value("outcome", "") != "cancelled") {
            const std::string serial = record.value("adapter_serial", "");
            if (!serial.empty()) {
                ++attempts_[serial];
            }
        }
    }
}

Json Attempts::fieldsForNextRun(const SlotRow& row) {
    Json fields = Json::object();
    fields["socket"] = row.socket;
    if (!row.label.empty()) {
        fields["socket_label"] = row.label;
    }
    const bool own = row.serial.empty();
    fields["attempt"] = own ? 1 : ++attempts_[row.serial];
    if (own) {
        fields["own_unit"] = true;
    }
    return fields;
}

std::string stateText(const SlotRow& row) {
    switch (row.state) {
    case SlotState::Waiting:
        return "waiting for a unit";
    case SlotState::Skipped:
        return "left alone: plugged in before the start";
    case SlotState::Ignored:
        return "ignored: not a unit's adapter";
    case SlotState::Operator:
        return "waiting for the operator";
    case SlotState::Passed:
        return "passed in " + std::to_string(std::lround(row.seconds)) + " s";
    case SlotState::Failed:
        return "failed: " + row.reason;
    case SlotState::Removed:
        return "unit removed";
    case SlotState::Flashing:
        break;
    }
    const TransferProgress& p = row.progress;
    if (p.value == 0 && p.rate <= 0) {
        return "flashing";
    }
    char text[96];
    std::snprintf(text, sizeof text, "flashing %3.0f %%", progressPercent(p.value, p.max));
    std::string out = text;
    if (p.rate > 0) {
        std::snprintf(text, sizeof text, "  %.1f kB/s", p.rate / 1000.0);
        out += text;
    }
    if (p.secondsLeft >= 0) {
        out += "  " + minutesSeconds(p.secondsLeft) + " left";
    }
    return out;
}

std::string footerLine(const Totals& t) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "passed %d  failed %d  in progress %d  units/hour %.1f  first-pass yield ",
                  t.passed, t.failed, t.inProgress, t.unitsPerHour);
    std::string out = text;
    if (t.firstPassYield) {
        std::snprintf(text, sizeof text, "%.1f %%", *t.firstPassYield * 100.0);
        return out + text;
    }
    return out + "-";
}

std::vector<std::string> tableLines(const Station& station, Clock::time_point now) {
    std::vector<std::vector<std::string>> cells{{"Socket", "Adapter serial", "State"}};
    for (const SlotRow& row : station.rows()) {
        cells.push_back({row.label.empty() ? row.socket : row.label,
                         row.serial.empty() ? "-" : row.serial, stateText(row)});
    }
    size_t widths[2] = {0, 0};
    for (const auto& line : cells) {
        widths[0] = std::max(widths[0], line[0].size());
        widths[1] = std::max(widths[1], line[1].size());
    }
    std::vector<std::string> lines;
    for (const auto& line : cells) {
        lines.push_back(line[0] + std::string(widths[0] - line[0].size() + 2, ' ') + line[1] +
                        std::string(widths[1] - line[1].size() + 2, ' ') + line[2]);
    }
    lines.push_back(footerLine(station.totals(now)));
    return lines;
}

std::string shortReason(FlashOutcome outcome, const std::optional<SerialFailure>& failure) {
    if (!failure) {
        return outcomeName(outcome);
    }
    return failureText(*failure, FailureForm::Reason);
}

} // namespace station
