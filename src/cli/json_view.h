// --json: the run's events as JSON lines on standard output, one object per
// line, for the production line's own software. Prompts are answered as on the
// console.
#pragma once

#include "cli/cli.h"

namespace cli {

// Each event as eventJson encodes it, with its "event" member: log, alert,
// prompt, progress (at most every 1 %), diagnostic, warning and record.
class JsonView : public ConsoleView {
public:
    JsonView(const Options& options, int inputFd, std::FILE* events,
             const std::atomic<int>& cancelSignal);

    void event(const RunEvent& event) override;

private:
    void emit(const Json& event);

    std::FILE* events_;
    double lastPercent_ = -1.0;
};

} // namespace cli
