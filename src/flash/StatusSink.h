// The one seam between the engine and its shells: where log lines, alerts and
// progress go, and where the engine reads the operator's cancel and the
// pending-alert flag. Every method may be called from any thread and must not
// block a caller that is not the shell's own thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "flash/FlashRun.h"

class StatusSink {
public:
    virtual ~StatusSink() = default;

    // Appends `text` and then the line ending `cr` to the log.
    virtual void log(const std::string& text, const std::string& cr) = 0;

    // Shows an alert; no title stands for the application's name. Raises
    // busy() before it returns; busy() falls when the operator dismisses it.
    virtual void showAlertWithMessage(const std::string& message,
                                      const std::optional<std::string>& title) = 0;

    // The same with a NUL-terminated UTF-8 message (null reads as empty),
    // copied before the call returns, and the application's name as title.
    virtual void showAlertWithMessage(const char* message) {
        showAlertWithMessage(std::string(message ? message : ""), std::nullopt);
    }

    // Shows `value` out of `max` as a percentage.
    virtual void setProgress(int32_t value, int32_t max) = 0;

    // True while no run is wanted (idle, or the operator pressed Cancel).
    virtual bool cancelRequest() = 0;

    // True while an alert is pending.
    virtual bool busy() = 0;

    // The serial link's own diagnostics, and warnings beside the flash (a
    // record not written); a shell that shows them overrides these.
    virtual void diagnostic(const std::string& /*text*/) {}
    virtual void warning(const std::string& /*text*/) {}
};

// A run's events shown through a status sink: log lines, alerts and the
// prompt, progress, diagnostics and warnings, cancel and busy as the sink has
// them.
class SinkEvents : public RunEvents {
public:
    explicit SinkEvents(StatusSink& sink) : sink_(sink) {}
    void event(const RunEvent& event) override;
    bool cancelRequested() override { return sink_.cancelRequest(); }
    bool busy() override { return sink_.busy(); }

private:
    StatusSink& sink_;
};
