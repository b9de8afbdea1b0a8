#include "flash/FlashRun.h"

#include "flash/FlashRecord.h"
#include "flash/markers.h"
#include "flash/progress.h"
#include "serial/port_system.h"
#include "ymodem/Ymodem.h"

#include <chrono>
#include <cmath>
#include <utility>

namespace {

using Seconds = std::chrono::duration<double>;

constexpr uint32_t kTransmitterSpeed = 115200;
constexpr uint32_t kReceiverSpeed = 109000;
constexpr int kBootloaderTries = 15;
constexpr uint32_t kSettleMs = 500;    // after the transfer, before the start command
constexpr uint32_t kOpenRetryMs = 100; // between opens refused for a passing reason

constexpr const char* kTransmitterNoBannerAlert =
    "Ensure the USB-serial adapter is listed by zkflash-cli --list and that its cable is "
    "plugged in firmly.\n\nDisconnect all cables (including power and USB) from Controller. "
    "Re-connect USB to reboot Controller and try again.";

// Hands the sender's reports on as events. The rate is taken from the first
// data block on, and the time left adds what follows the last block: the
// batch's end and the settling wait before the start command.
class TransferObserver : public ymodem::Observer {
public:
    TransferObserver(SerialLink& link, RunEvents& events, uint32_t lineSpeed)
        : link_(link), events_(events),
          tailSeconds_(kSettleMs / 1000.0 + kTailBytes * 10.0 / lineSpeed) {}

    void progress(uint32_t value, uint32_t max) override {
        RunEvent e(RunEvent::Kind::Progress);
        e.progress.value = static_cast<int32_t>(value);
        e.progress.max = static_cast<int32_t>(max);
        const auto now = link_.now();
        if (!firstBlock_) {
            firstBlock_ = now;
        }
        const double elapsed = Seconds(now - *firstBlock_).count();
        if (value == max) {
            e.progress.secondsLeft = kSettleMs / 1000.0;
        } else if (value > 0 && elapsed > 0) {
            e.progress.rate = value / elapsed;
            e.progress.secondsLeft = (max - value) / e.progress.rate + tailSeconds_;
        }
        events_.event(e);
    }
    bool cancelRequested() override { return events_.cancelRequested(); }
    void log(std::string_view line) override { events_.log(std::string(line)); }

private:
    // EOT, the closing block and the final EOT.
    static constexpr double kTailBytes = 1 + 133 + 1;

    SerialLink& link_;
    RunEvents& events_;
    const double tailSeconds_;
    std::optional<std::chrono::steady_clock::duration> firstBlock_;
};

// Sends the link's diagnostics to the run's events while it lives, then
// hands them back to whoever had them.
class DiagnosticsToEvents {
public:
    DiagnosticsToEvents(SerialLink& link, RunEvents& events)
        : link_(link), previous_(link.diagnostics()) {
        link.setDiagnostics([&events](const std::string& text) {
            events.event(RunEvent(RunEvent::Kind::Diagnostic, text));
        });
    }
    ~DiagnosticsToEvents() { link_.setDiagnostics(previous_); }
    DiagnosticsToEvents(const DiagnosticsToEvents&) = delete;
    DiagnosticsToEvents& operator=(const DiagnosticsToEvents&) = delete;

private:
    SerialLink& link_;
    const SerialLink::Diagnostics previous_;
};

} // namespace

void RunEvents::log(const std::string& text) {
    event(RunEvent(RunEvent::Kind::Log, text));
}

void RunEvents::alert(const std::string& text, std::optional<std::string> title) {
    event(RunEvent(RunEvent::Kind::Alert, text, std::move(title)));
}

namespace {

// A step of the sequence: nothing when the run goes on, else how it ended.
using Ending = std::optional<FlashOutcome>;

Ending cancelled(RunEvents& events) {
    if (!events.cancelRequested()) {
        return std::nullopt;
    }
    events.log("Process Canceled.");
    return FlashOutcome::Cancelled;
}

// Opens the port at the target's speed. An open refused for a passing reason
// (access not yet granted after a plug, another program probing the port) is
// tried again for as long as the job allows.
Ending openPort(const FlashJob& job, SerialLink& link, uint32_t speed) {
    link.open(job.port, speed);
    const auto passing = [&link] { return portsys::openMayPass(link.failure()->number); };
    for (uint32_t waited = 0; link.hasError() && waited < job.openRetryMs && passing();
         waited += kOpenRetryMs) {
        link.delayMs(kOpenRetryMs);
        link.open(job.port, speed);
    }
    return link.hasError() ? Ending(FlashOutcome::SerialFailure) : std::nullopt;
}

// The transmitter restarts into its bootloader on one DTR pulse.
void resetTransmitter(SerialLink& link, RunEvents& events) {
    events.log("Resetting TX Processor...");
    link.delayMs(500);
    link.setDTR(true);
    link.delayMs(500);
    link.setDTR(false);
    events.log("Reset Complete.");
    link.delayMs(100);
}

// The receiver: two DTR pulses, the operator switches the controller's radio
// mode, then the radio module is told to pass the line through. A cancel while
// the prompt stands ends the run before anything more reaches the unit.
Ending resetReceiver(SerialLink& link, RunEvents& events) {
    for (int pulse = 0; pulse < 2; ++pulse) {
        if (pulse > 0) {
            link.delayMs(50);
        }
        link.setDTR(true);
        link.delayMs(50);
        link.setDTR(false);
    }
    events.event(RunEvent(RunEvent::Kind::Prompt, kRadioModePrompt));
    while (events.busy() && !events.cancelRequested()) {
        link.delayMs(100);
    }
    if (const Ending ending = cancelled(events)) {
        return ending;
    }
    // The radio module's answers stay in the input; the bootloader wait
    // reads past them.
    link.writeString("+++");
    link.delayMs(1250);
    link.writeString("ATDLFFFE\r\n");
    link.writeString("ATCN\r\n");
    return std::nullopt;
}

// Wakes the bootloader with "BOOT" until its banner comes, the unit says it is
// in the wrong mode, or 15 tries have passed.
Ending awaitBootloader(const FlashJob& job, SerialLink& link, RunEvents& events) {
    events.log("Waiting For Bootloader Start...");
    MarkerScanner scanner;
    for (int tries = 1;; ++tries) {
        const MarkerScanner::Marker marker = scanner.feed(link.readText());
        if (marker == MarkerScanner::Marker::Banner) {
            return std::nullopt;
        }
        if (marker == MarkerScanner::Marker::WrongMode) {
            events.alert(wrongModeAlert(job.transmitter));
            return FlashOutcome::WrongMode;
        }
        link.writeString("BOOT");
        link.delayMs(100);
        if (const Ending ending = cancelled(events)) {
            return ending;
        }
        if (link.hasError()) {
            return FlashOutcome::SerialFailure;
        }
        if (tries >= kBootloaderTries) {
            if (job.transmitter) {
                events.alert(kTransmitterNoBannerAlert);
                events.log("Bootloader Didn't Respond!");
            } else {
                events.log("Bootloader Didn't Respond!\n  NOTE: Press FW button after power up "
                           "and hold for 5 seconds.");
            }
            return FlashOutcome::NoBanner;
        }
    }
}

// Tells the bootloader to receive and sends the image; returns the transfer
// result code and puts the transfer's figures into `result`.
uint32_t transfer(const FlashJob& job, SerialLink& link, RunEvents& events, uint32_t speed,
                  FlashResult* result) {
    events.log("Bootloader Started.");
    link.writeString("1");
    link.delayMs(100);
    link.flushInput();
    events.log("Sending Firmware File...");

    const auto started = link.now();
    const uint64_t writtenBefore = link.bytesWritten();
    TransferObserver observer(link, events, speed);
    const auto& image = job.image;
    const uint32_t code = ymodem::Ymodem_Transmit(
        link, image->data(), job.name, static_cast<uint32_t>(image->size()), kMaxBlocks, observer);
    if (result != nullptr) {
        result->transferSeconds = Seconds(link.now() - started).count();
        result->wireBytes = link.bytesWritten() - writtenBefore;
    }
    if (code == ymodem::kNoAck || code == ymodem::kNameTooLong || code == ymodem::kNoHeaderAck) {
        events.log("File Send Error!");
    } else if (code == ymodem::kTooLarge) {
        events.log("File Too Large for Memory!");
    }
    return code;
}

// After a whole transfer, tells the bootloader to start the new application;
// never after a failed one. Closes the port either way.
FlashOutcome startApplication(SerialLink& link, RunEvents& events, uint32_t code) {
    link.delayMs(kSettleMs);
    link.flushInput();
    FlashOutcome outcome = FlashOutcome::SendError;
    if (code == ymodem::kOk) {
        link.writeString("2");
        // A start command that could not be written started nothing: the
        // run failed, and the failure is reported.
        if (link.hasError()) {
            outcome = FlashOutcome::SerialFailure;
        } else {
            events.log("Starting Application...");
            outcome = FlashOutcome::Success;
        }
    } else if (code == ymodem::kCancelled) {
        outcome = FlashOutcome::Cancelled;
    } else if (code == ymodem::kTooLarge) {
        outcome = FlashOutcome::TooLarge;
    }
    link.close();
    return outcome;
}

} // namespace

const char* cancelledNote(const FlashResult& result) {
    return result.wireBytes > 0 || result.transferSeconds > 0
               ? "Stopped during the transfer: the unit has no application until it is flashed "
                 "again."
               : "Stopped before the image was sent.";
}

std::string wrongModeAlert(bool transmitter) {
    return std::string(transmitter ? "Halvo" : "Morra") +
           " is not in the correct mode.  Press FW button AFTER power up (within 2 seconds).";
}

FlashOutcome flashSequence(const FlashJob& job, SerialLink& link, RunEvents& events,
                           FlashResult* result) {
    if (!job.image) {
        events.alert("Please select a file to transfer.");
        return FlashOutcome::SendError;
    }
    // Refused before the unit is touched: telling it to receive and then
    // stopping part-way would leave it a truncated image.
    if (ymodem::blockCount(job.image->size()) > kMaxBlocks) {
        events.log("File Too Large for Memory!");
        return FlashOutcome::TooLarge;
    }
    // A run cancelled before it began leaves the unit alone: no reset, no
    // prompt, no radio commands.
    if (const Ending ending = cancelled(events)) {
        return *ending;
    }
    const uint32_t speed = job.transmitter ? kTransmitterSpeed : kReceiverSpeed;
    const DiagnosticsToEvents diagnostics(link, events);
    if (const Ending ending = openPort(job, link, speed)) {
        return *ending;
    }
    if (result != nullptr) {
        result->portOpened = true;
    }
    if (job.transmitter) {
        resetTransmitter(link, events);
    } else if (const Ending ending = resetReceiver(link, events)) {
        return *ending;
    }
    // A failure while bringing the bootloader up is seen once the step is over.
    if (link.hasError()) {
        return FlashOutcome::SerialFailure;
    }
    if (const Ending ending = awaitBootloader(job, link, events)) {
        return *ending;
    }
    return startApplication(link, events, transfer(job, link, events, speed, result));
}

FlashResult runFlash(const FlashJob& job, SerialLink& link, RunEvents& events,
                     const RunSettings& settings) {
    const auto started = std::chrono::system_clock::now();
    // Taken while the adapter is surely there: it may be unplugged mid-run.
    const SerialPortInfo adapter = Serial_PortInfo(job.port);
    const DiagnosticsToEvents diagnostics(link, events);
    FlashResult result;
    result.outcome = flashSequence(job, link, events, &result);
    result.imageBytes = job.image ? job.image->size() : 0;
    result.failure = link.failure();

    FlashRecord record;
    record.started = started;
    record.ended = std::chrono::system_clock::now();
    record.program = settings.program;
    record.version = settings.version;
    record.job = job;
    record.adapter = adapter;
    record.outcome = result.outcome;
    record.failure = result.failure;
    record.transferSeconds = result.transferSeconds;
    record.wireBytes = result.wireBytes;
    record.portOpened = result.portOpened;
    result.record = recordJson(record);

    // A failure is shown once, with what the operator can do about it.
    if (result.failure) {
        RunEvent alert(RunEvent::Kind::Alert, failureText(*result.failure, FailureForm::Line));
        alert.failure = result.failure;
        alert.hint = settings.failureHint ? settings.failureHint(job.port, *result.failure) : "";
        if (!alert.hint.empty()) {
            alert.text += "\n" + alert.hint;
        }
        events.event(alert);
        link.clearError();
    }
    link.close();

    RunEvent recorded(RunEvent::Kind::Record);
    recorded.record = result.record;
    events.event(recorded);
    if (settings.recordPath) {
        if (const auto failed = appendRecord(*settings.recordPath, jsonLine(result.record))) {
            events.event(
                RunEvent(RunEvent::Kind::Warning, "the flash record was not written: " + *failed));
        }
    }
    RunEvent finished(RunEvent::Kind::Finished);
    finished.result = result;
    events.event(finished);
    return result;
}

const char* outcomeName(FlashOutcome outcome) {
    switch (outcome) {
    case FlashOutcome::Success:
        return "success";
    case FlashOutcome::WrongMode:
        return "wrong mode";
    case FlashOutcome::NoBanner:
        return "no banner";
    case FlashOutcome::SendError:
        return "send error";
    case FlashOutcome::TooLarge:
        return "too large";
    case FlashOutcome::Cancelled:
        return "cancelled";
    case FlashOutcome::SerialFailure:
        break;
    }
    return "serial failure";
}

std::optional<FlashOutcome> outcomeNamed(std::string_view name) {
    for (const FlashOutcome outcome :
         {FlashOutcome::Success, FlashOutcome::SerialFailure, FlashOutcome::WrongMode,
          FlashOutcome::Cancelled, FlashOutcome::NoBanner, FlashOutcome::SendError,
          FlashOutcome::TooLarge}) {
        if (name == outcomeName(outcome)) {
            return outcome;
        }
    }
    return std::nullopt;
}

namespace {

constexpr std::pair<RunEvent::Kind, const char*> kKindNames[] = {
    {RunEvent::Kind::Log, "log"},
    {RunEvent::Kind::Alert, "alert"},
    {RunEvent::Kind::Prompt, "prompt"},
    {RunEvent::Kind::Progress, "progress"},
    {RunEvent::Kind::Diagnostic, "diagnostic"},
    {RunEvent::Kind::Warning, "warning"},
    {RunEvent::Kind::Record, "record"},
    {RunEvent::Kind::Finished, "finished"},
};

// To `decimals` places, as the nearest double to the decimal: 6.3, never
// 6.300000000000001.
double rounded(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

} // namespace

Json eventJson(const RunEvent& event) {
    Json json;
    for (const auto& [kind, name] : kKindNames) {
        if (kind == event.kind) {
            json["event"] = name;
        }
    }
    switch (event.kind) {
    case RunEvent::Kind::Alert:
    case RunEvent::Kind::Prompt:
        json["title"] = event.title.value_or(kApplicationName);
        json["message"] = event.text;
        break;
    case RunEvent::Kind::Progress: {
        const TransferProgress& p = event.progress;
        json["value"] = p.value;
        json["max"] = p.max;
        json["percent"] = rounded(progressPercent(p.value, p.max), 1);
        json["rate"] = rounded(p.rate, 0);
        json["seconds_left"] = p.secondsLeft < 0 ? Json() : Json(rounded(p.secondsLeft, 1));
        break;
    }
    case RunEvent::Kind::Record:
        json["record"] = event.record;
        break;
    case RunEvent::Kind::Finished:
        json["outcome"] = outcomeName(event.result.outcome);
        json["transfer_seconds"] = rounded(event.result.transferSeconds, 3);
        json["image_bytes"] = event.result.imageBytes;
        addFailureFields(json, event.result.failure);
        break;
    case RunEvent::Kind::Diagnostic: {
        // One line, as every event is: the port's report carries the failure
        // with its own line end inside the brackets.
        std::string text = event.text;
        std::erase(text, '\n');
        json["text"] = text;
        break;
    }
    case RunEvent::Kind::Log:
    case RunEvent::Kind::Warning:
        json["text"] = event.text;
        break;
    }
    return json;
}

std::optional<RunEvent> eventFromJson(const Json& json) {
    if (!json.is_object() || !json.contains("event") || !json["event"].is_string()) {
        return std::nullopt;
    }
    const std::string name = json["event"];
    RunEvent event;
    const auto kind = std::find_if(std::begin(kKindNames), std::end(kKindNames),
                                   [&](const auto& k) { return name == k.second; });
    if (kind == std::end(kKindNames)) {
        return std::nullopt;
    }
    event.kind = kind->first;
    // A field of the wrong type reads as its default rather than failing, and
    // so does a count that is no integer or out of its range (converting
    // 1e300 would be undefined).
    const auto get = [&json]<typename T>(const char* key, T fallback) {
        const auto it = json.find(key);
        if (it == json.end()) {
            return fallback;
        }
        if constexpr (std::is_integral_v<T>) {
            const auto in = [&]<typename N>(N n) { return std::in_range<T>(n) ? T(n) : fallback; };
            return it->is_number_unsigned()  ? in(it->template get<uint64_t>())
                   : it->is_number_integer() ? in(it->template get<int64_t>())
                                             : fallback;
        }
        try {
            return it->template get<T>();
        } catch (const Json::exception&) {
            return fallback;
        }
    };
    switch (event.kind) {
    case RunEvent::Kind::Alert:
    case RunEvent::Kind::Prompt:
        event.title = get("title", std::string(kApplicationName));
        event.text = get("message", std::string());
        break;
    case RunEvent::Kind::Progress:
        event.progress.value = get("value", 0);
        event.progress.max = get("max", 100);
        event.progress.rate = get("rate", 0.0);
        event.progress.secondsLeft = get("seconds_left", -1.0);
        break;
    case RunEvent::Kind::Record:
        event.record = json.value("record", Json());
        break;
    case RunEvent::Kind::Finished:
        event.result.outcome =
            outcomeNamed(get("outcome", std::string())).value_or(FlashOutcome::SendError);
        event.result.transferSeconds = get("transfer_seconds", 0.0);
        event.result.imageBytes = get("image_bytes", uint64_t{0});
        event.result.failure = failureFromFields(json);
        break;
    case RunEvent::Kind::Log:
    case RunEvent::Kind::Diagnostic:
    case RunEvent::Kind::Warning:
        event.text = get("text", std::string());
        break;
    }
    return event;
}

void addFailureFields(Json& json, const std::optional<SerialFailure>& failure) {
    if (failure) {
        json["serial_errno"] = failure->number;
        json["serial_what"] = failure->what;
        json["serial_errno_text"] = failure->systemText;
    }
}

std::optional<SerialFailure> failureFromFields(const Json& json) {
    const auto what = json.find("serial_what");
    if (what == json.end() || !what->is_string()) {
        return std::nullopt;
    }
    SerialFailure failure;
    failure.what = what->get<std::string>();
    const auto number = json.find("serial_errno");
    failure.number = number != json.end() && number->is_number_integer() ? number->get<int>() : 0;
    const auto text = json.find("serial_errno_text");
    failure.systemText = text != json.end() && text->is_string() ? text->get<std::string>() : "";
    return failure;
}
