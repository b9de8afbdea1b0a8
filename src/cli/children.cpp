#include "cli/children.h"
#include "flash/FlashRecord.h"
#include "station/Station.h"

namespace cli {

std::vector<std::string> childArgs(const Options& options, const FlashJob& job) {
    std::vector<std::string> args{"--json", "--port", job.port};
    if (options.yes) {
        args.push_back("--yes");
    }
    if (options.noRecord) {
        args.push_back("--no-record");
    } else if (!options.record.empty()) {
        args.push_back("--record=" + options.record);
    }
    if (job.openRetryMs > 0) {
        args.insert(args.end(), {"--open-retry", std::to_string(job.openRetryMs)});
    }
    for (const auto& [key, value] : job.fields.items()) {
        args.push_back("--record-field");
        args.push_back(key + "=" + value.dump(-1, ' ', false, Json::error_handler_t::replace));
    }
    args.push_back("--");
    args.push_back(options.firmware);
    return args;
}

void LoaderOutputs::take(station::UnitId id, Streams& streams, bool events, std::string_view bytes,
                         bool ended) {
    std::string& pending = events ? streams.outLine : streams.errLine;
    pending += bytes;
    for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
        line(id, streams, events, pending.substr(0, end));
    }
    if (ended && !pending.empty()) {
        line(id, streams, events, std::move(pending));
        pending.clear();
    }
}

void LoaderOutputs::line(station::UnitId id, Streams& streams, bool events, std::string text) {
    if (!text.empty() && text.back() == '\r') { // a Windows loader's line end
        text.pop_back();
    }
    auto event = events ? eventFromJson(Json::parse(text, nullptr, false)) : std::nullopt;
    if (!event) {
        outputs_.push_back({id, std::nullopt, std::move(text), {}});
        return;
    }
    if (event->kind == RunEvent::Kind::Record) {
        streams.record = event->record;
    }
    outputs_.push_back({id, std::move(event), std::nullopt, {}});
}

void LoaderOutputs::ended(station::UnitId id, Streams& streams, int status, double seconds) {
    station::RunEnd end;
    end.status = status;
    end.seconds = seconds;
    if (streams.record.is_object()) {
        end.outcome = outcomeNamed(station::recordText(streams.record, "outcome"))
                          .value_or(FlashOutcome::SerialFailure);
        end.failure = recordFailure(streams.record);
        end.record = std::move(streams.record);
    } else {
        end.why = "the loader ended with status " + std::to_string(status);
    }
    outputs_.push_back({id, std::nullopt, std::nullopt, std::move(end)});
}

void LoaderOutputs::notStarted(station::UnitId id, const std::string& why) {
    station::RunEnd end;
    end.why = why;
    end.status = kExitFlashFailed;
    outputs_.push_back({id, std::nullopt, why, {}});
    outputs_.push_back({id, std::nullopt, std::nullopt, std::move(end)});
}

void LoaderOutputs::deliver(station::Launcher::Listener& listener) {
    std::deque<Output> outputs;
    outputs.swap(outputs_);
    for (const Output& output : outputs) {
        if (output.event) {
            listener.unitEvent(output.id, *output.event);
        } else if (output.text) {
            listener.unitText(output.id, *output.text);
        } else {
            listener.unitEnded(output.id, output.end);
        }
    }
}

void writePrefixed(std::FILE* to, const std::string& prefix, const std::string& text) {
    size_t start = 0;
    do {
        const size_t end = text.find('\n', start);
        std::fprintf(to, "%s: %s\n", prefix.c_str(), text.substr(start, end - start).c_str());
        start = end == std::string::npos ? end : end + 1;
    } while (start != std::string::npos);
    std::fflush(to);
}

} // namespace cli
