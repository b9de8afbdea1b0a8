// --json: the run's events as JSON lines, one object per line, for the
// production line's own software. Prompts are answered as on the console.
#pragma once

#include "cli/cli.h"
#include "flash/FlashRecord.h"

namespace cli {

// Events, each with its "event" member:
//   {"event":"log","text":...}
//   {"event":"alert","title":...,"message":...}
//   {"event":"progress","value":...,"max":...,"percent":...} at most every 1 %
//   {"event":"record","record":{...}}
class JsonSink : public ConsoleSink {
public:
    JsonSink(bool yes, int inputFd, std::FILE* events);

    using StatusSink::showAlertWithMessage;
    void log(const std::string& text, const std::string& cr) override;
    void showAlertWithMessage(const std::string& message,
                              const std::optional<std::string>& title) override;
    void setProgress(int32_t value, int32_t max) override;
    void record(const Json& record);

private:
    void emit(const Json& event);

    std::FILE* events_;
    double lastPercent_ = -1.0;
};

} // namespace cli
