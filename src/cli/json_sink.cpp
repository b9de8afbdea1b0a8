#include "cli/json_sink.h"

#include "flash/progress.h"

#include <cmath>

namespace cli {

JsonSink::JsonSink(bool yes, int inputFd, std::FILE* events)
    : ConsoleSink(yes, false, inputFd, events, events), events_(events) {}

void JsonSink::emit(const Json& event) {
    std::fputs(jsonLine(event).c_str(), events_);
    std::fflush(events_);
}

void JsonSink::log(const std::string& text, const std::string&) {
    emit({{"event", "log"}, {"text", text}});
}

void JsonSink::showAlertWithMessage(const std::string& message,
                                    const std::optional<std::string>& title) {
    std::string text = message;
    if (!text.empty() && text.back() == '\n') {
        text.pop_back(); // serial failure texts end their line themselves
    }
    emit({{"event", "alert"}, {"title", title.value_or(kApplicationName)}, {"message", text}});
    awaitAnswer();
}

void JsonSink::setProgress(int32_t value, int32_t max) {
    const double percent = progressPercent(value, max);
    const bool done = value == max && lastPercent_ < 100.0;
    if (lastPercent_ >= 0.0 && percent < lastPercent_ + 1.0 && !done) {
        return;
    }
    lastPercent_ = percent;
    emit({{"event", "progress"},
          {"value", value},
          {"max", max},
          {"percent", std::round(percent * 10.0) / 10.0}});
}

void JsonSink::record(const Json& record) {
    emit({{"event", "record"}, {"record", record}});
}

} // namespace cli
