#include "station/Station.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

#include "flash/printable.h"
#include "flash/progress.h"

namespace station {

namespace {

std::string minutesSeconds(double seconds) {
    const long whole = std::lround(std::max(seconds, 0.0));
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

} // namespace

std::optional<SlotSpec> parseSlot(const std::string& text, std::string& error) {
    const size_t equals = text.find('=');
    SlotSpec slot{text.substr(0, equals),
                  equals == std::string::npos ? "" : text.substr(equals + 1)};
    if (std::any_of(slot.label.begin(), slot.label.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
        error = "--slot " + text + ": the label has a control character";
        return std::nullopt;
    }
    std::string why;
    const auto socket = systemSocket(slot.socket, why);
    if (!socket) {
        error = "--slot " + text + ": " + why;
        return std::nullopt;
    }
    slot.socket = *socket;
    return slot;
}

FixedPorts::FixedPorts(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
        PresentPort port{path, Serial_PortInfo(path)};
        port.info.socket = path;
        ports_.push_back(std::move(port));
    }
}

bool isUnitAdapter(const SerialPortInfo& info) {
    static const char* const kProducts[] = {"6001", "6010", "6011", "6014", "6015"};
    return info.vendorId == "0403" && std::find(std::begin(kProducts), std::end(kProducts),
                                                info.productId) != std::end(kProducts);
}

Attempts::Attempts(const std::string& recordPath) {
    std::ifstream in(recordPath);
    for (std::string line; std::getline(in, line);) {
        // A line of another version's, with fields of other types, counts
        // for what it says, rather than stopping the station.
        const Json record = Json::parse(line, nullptr, false);
        if (record.is_object() && recordText(record, "outcome") != "cancelled") {
            const std::string serial = recordText(record, "adapter_serial");
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
        return "failed: " + printable(row.reason) + (row.advice.empty() ? "" : " - " + row.advice);
    case SlotState::Removed:
        if (row.before == SlotState::Flashing || row.before == SlotState::Operator) {
            return "unit removed mid-flash";
        }
        if (row.before == SlotState::Passed || row.before == SlotState::Failed) {
            SlotRow last = row;
            last.state = row.before;
            last.advice.clear(); // for the unit gone, not the next
            return "unit removed after: " + stateText(last);
        }
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

std::string shownName(const SlotRow& row) {
    return printable(row.label.empty() ? row.socket : row.label);
}

std::string shownSerial(const SlotRow& row) {
    return row.serial.empty() ? "-" : printable(row.serial);
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

std::vector<std::string> tableLines(const std::vector<SlotRow>& rows, const Totals& totals) {
    std::vector<std::vector<std::string>> cells{{"Socket", "Adapter serial", "State"}};
    for (const SlotRow& row : rows) {
        cells.push_back({shownName(row), shownSerial(row), stateText(row)});
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
    lines.push_back(footerLine(totals));
    return lines;
}

std::string recordText(const Json& record, const char* key) {
    if (!record.is_object()) {
        return {};
    }
    const auto it = record.find(key);
    if (it == record.end()) {
        return {};
    }
    return it->is_string() ? it->get<std::string>() : it->is_number() ? it->dump() : std::string();
}

std::string shortReason(FlashOutcome outcome, const std::optional<SerialFailure>& failure) {
    if (!failure) {
        return outcomeName(outcome);
    }
    return printable(failureText(*failure, FailureForm::Reason));
}

std::string advice(FlashOutcome outcome, bool transmitter) {
    switch (outcome) {
    case FlashOutcome::WrongMode:
        return "press FW button AFTER power up (within 2 seconds)";
    case FlashOutcome::NoBanner:
        return transmitter ? "disconnect all cables from Controller, re-connect USB and try again"
                           : "press FW button after power up and hold for 5 seconds";
    default:
        return {};
    }
}

} // namespace station
