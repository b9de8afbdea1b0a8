#include "flash/FlashRecord.h"

#include "flash/calendar.h"
#include "flash/record_system.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kRecordFile = "zkflash/flashes.jsonl";

} // namespace

std::string isoTime(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto millis = duration_cast<milliseconds>(when.time_since_epoch()).count() % 1000;
    const calendar::Local local = calendar::localTime(system_clock::to_time_t(when));
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local.fields);
    const long offset = local.offsetSeconds / 60;
    char text[64];
    std::snprintf(text, sizeof text, "%s.%03d%c%02ld:%02ld", date,
                  static_cast<int>(millis < 0 ? millis + 1000 : millis), offset < 0 ? '-' : '+',
                  std::labs(offset) / 60, std::labs(offset) % 60);
    return text;
}

Json recordJson(const FlashRecord& record) {
    const FlashJob& run = record.job;
    Json json;
    json["started"] = isoTime(record.started);
    json["ended"] = isoTime(record.ended);
    json["program"] = record.program;
    json["version"] = record.version;
    json["host"] = recordsys::hostName();
    json["port"] = run.port;
    json["adapter"] = record.adapter.description();
    json["adapter_serial"] = record.adapter.serial;
    json["file"] = run.name;
    // A file too large to flash is read only as far as it takes to know that:
    // its size and hash are unknown, and a prefix's would mislead.
    if (run.image && run.image->size() > kMaxImageSize) {
        json["size"] = Json();
        json["sha256"] = Json();
    } else {
        json["size"] = run.image ? run.image->size() : 0;
        json["sha256"] = run.image ? sha256Hex(run.image->data(), run.image->size()) : "";
    }
    json["target"] = run.transmitter ? "TX" : "RX";
    json["outcome"] = outcomeName(record.outcome);
    json["serial_error"] =
        record.failure ? Json(failureText(*record.failure, FailureForm::Line)) : Json();
    addFailureFields(json, record.failure);
    json["transfer_seconds"] = std::round(record.transferSeconds * 1000.0) / 1000.0;
    json["wire_bytes"] = record.wireBytes;
    json["port_opened"] = record.portOpened;
    for (const auto& [key, value] : run.fields.items()) {
        json[key] = value;
    }
    return json;
}

std::optional<SerialFailure> failureFromText(std::string_view text) {
    // "<what> - <system text>(<number>)."; a text of another shape is all
    // "what".
    std::string line(text);
    const auto trim = [&line] {
        while (!line.empty() && std::strchr(" \t\r\n", line.back()) != nullptr) {
            line.pop_back();
        }
    };
    trim();
    if (line.empty()) {
        return std::nullopt;
    }
    SerialFailure failure;
    const size_t open = line.rfind('(');
    if (open != std::string::npos && line.size() >= open + 4 && line.ends_with(").") &&
        std::all_of(line.begin() + static_cast<std::ptrdiff_t>(open) + 1, line.end() - 2,
                    [](char c) { return c >= '0' && c <= '9'; })) {
        failure.number = static_cast<int>(std::strtol(line.c_str() + open + 1, nullptr, 10));
        line.erase(open);
        trim();
        const size_t dash = line.rfind(" - ");
        if (dash != std::string::npos) {
            failure.systemText = line.substr(dash + 3);
            line.erase(dash);
        }
    }
    failure.what = line;
    return failure;
}

std::optional<SerialFailure> recordFailure(const Json& record) {
    if (auto failure = failureFromFields(record)) {
        return failure;
    }
    const auto text = record.find("serial_error");
    return text != record.end() && text->is_string() ? failureFromText(text->get<std::string>())
                                                     : std::nullopt;
}

std::string jsonLine(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string defaultRecordPath() {
    const std::string state = recordsys::stateFolder();
    return state.empty() ? state : state + "/" + kRecordFile;
}

std::optional<std::string> appendRecord(const std::string& path, const std::string& line) {
    if (path.empty()) {
        return std::string("no record file (neither XDG_STATE_HOME nor a home directory is known)");
    }
    return recordsys::appendDurably(path, line);
}
