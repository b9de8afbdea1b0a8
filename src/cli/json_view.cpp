#include "cli/json_view.h"

#include "flash/FlashRecord.h"
#include "flash/progress.h"

namespace cli {

JsonView::JsonView(const Options& options, int inputFd, std::FILE* events,
                   const std::atomic<int>& cancelSignal)
    : ConsoleView(options, false, inputFd, events, events, cancelSignal), events_(events) {}

void JsonView::emit(const Json& event) {
    std::fputs(jsonLine(event).c_str(), events_);
    std::fflush(events_);
}

void JsonView::event(const RunEvent& event) {
    switch (event.kind) {
    case RunEvent::Kind::Progress: {
        const TransferProgress& p = event.progress;
        const double percent = progressPercent(p.value, p.max);
        const bool done = p.value == p.max && lastPercent_ < 100.0;
        if (lastPercent_ >= 0.0 && percent < lastPercent_ + 1.0 && !done) {
            return;
        }
        lastPercent_ = percent;
        emit(eventJson(event));
        return;
    }
    case RunEvent::Kind::Alert:
        emit(eventJson(event));
        return;
    case RunEvent::Kind::Prompt:
        emit(eventJson(event));
        awaitAnswer();
        return;
    case RunEvent::Kind::Finished:
        return; // the record has told the outcome
    case RunEvent::Kind::Log:
    case RunEvent::Kind::Diagnostic:
    case RunEvent::Kind::Warning:
    case RunEvent::Kind::Record:
        emit(eventJson(event));
        return;
    }
}

} // namespace cli
