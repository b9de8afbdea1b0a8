// One flash run as a value: a job goes in, typed events come out while it
// runs, a result comes back. The run brings the unit's bootloader up, sends
// the image, starts the application, reports a serial failure once, closes the
// port and appends the flash record; a shell only renders the events and
// answers prompts and cancel.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "flash/FirmwareImage.h"
#include "serial/SerialLink.h"

// Fields keep the order in which they are set, so that a record reads well.
using Json = nlohmann::ordered_json;

// The data blocks the unit's bootloader takes, and the largest image that fits.
inline constexpr uint32_t kMaxBlocks = 192;
inline constexpr size_t kMaxImageSize = size_t{kMaxBlocks} * 1024;

// Name shown as the title of alerts that carry none.
inline constexpr const char* kApplicationName = "ZK Firmware Loader";

// The receiver's operator prompt: the run waits until it is answered.
inline constexpr const char* kRadioModePrompt = "Set Telvo Controller Radio Mode to Tether/RX FW";

// How a run ended.
enum class FlashOutcome {
    Success,       // "Starting Application..." was reached
    SerialFailure, // the port could not be opened, or a write or DTR change failed
    WrongMode,     // the unit answered with three 0xFF bytes
    Cancelled,     // the operator cancelled
    NoBanner,      // the bootloader did not answer 15 wake-ups
    SendError,     // the transfer failed
    TooLarge,      // the image needs more blocks than the bootloader takes
};

// What to flash where.
struct FlashJob {
    std::string port;
    FirmwareImage image; // none: the run is refused with an alert
    std::string name;    // the image's file name, sent in the header block
    bool transmitter = true;
    Json fields = Json::object(); // the caller's own record fields (operator, work order, slot)
    // How long an open refused for access (EACCES) or because another program
    // has the port (EBUSY) is tried again: right after a plug, udev may still
    // be applying the port's access, or another program probing it.
    uint32_t openRetryMs = 0;
};

// How far the transfer has come.
struct TransferProgress {
    int32_t value = 0; // image bytes acknowledged of max; 100 of 100 at the end
    int32_t max = 100;
    double rate = 0;         // image bytes a second so far; 0 until known
    double secondsLeft = -1; // until the application is started; negative until known
};

// What a run did.
struct FlashResult {
    FlashOutcome outcome = FlashOutcome::SendError;
    std::optional<SerialFailure> failure; // the serial link's, as it was at the end
    double transferSeconds = 0;           // from the header block to the result; 0 without one
    uint64_t wireBytes = 0;               // written during the transfer, resends included
    uint64_t imageBytes = 0;
    bool portOpened = false; // the port was opened: the run may have reached a unit
    Json record;             // the flash record of the run
};

struct RunEvent {
    enum class Kind {
        Log,        // text: a line of the run's log
        Alert,      // title (none: the application's name) and text
        Prompt,     // likewise; the run waits until the shell's busy() falls
        Progress,   // progress
        Diagnostic, // text: the serial link's own report, as it would be printed
        Warning,    // text: something went wrong beside the flash (the record)
        Record,     // record: the run's flash record
        Finished,   // result
    };
    explicit RunEvent(Kind k = Kind::Log, std::string t = {},
                      std::optional<std::string> heading = std::nullopt)
        : kind(k), text(std::move(t)), title(std::move(heading)) {}

    Kind kind;
    std::string text;
    std::optional<std::string> title;
    // An alert of a serial failure: the failure, and the hint that follows
    // its line in `text` (empty when there is none).
    std::optional<SerialFailure> failure;
    std::string hint;
    TransferProgress progress;
    Json record;
    FlashResult result;
};

// The shell's side of a run. Called on the run's thread.
class RunEvents {
public:
    virtual ~RunEvents() = default;
    virtual void event(const RunEvent& event) = 0;
    // Polled at each of the run's checkpoints; true ends it.
    virtual bool cancelRequested() = 0;
    // True while an alert or prompt shown by the run waits for the operator.
    virtual bool busy() = 0;

    void log(const std::string& text);
    void alert(const std::string& text, std::optional<std::string> title = std::nullopt);
};

// What the operator can do about a serial failure on `port` (for a port that
// will not open: how to get access to it, which program holds it); empty when
// there is no advice. The shell knows where to look; the run does not scan the
// machine itself.
using FailureHint = std::function<std::string(const std::string& port, const SerialFailure&)>;

struct RunSettings {
    std::string program; // "zkflash-cli", "zkflash"
    std::string version;
    std::optional<std::string> recordPath; // none: no record is appended
    FailureHint failureHint;               // none: failures are shown without a hint
};

// The whole run on `link`: the sequence, then a serial failure as an alert
// with the settings' hint, the port closed, the record appended, a Record and a
// Finished event.
FlashResult runFlash(const FlashJob& job, SerialLink& link, RunEvents& events,
                     const RunSettings& settings);

// The flash sequence alone: from the open to "Starting Application...". On
// the early exits the port stays open and a failure stays pending for the
// caller. `result`, when given, gets the transfer's figures.
FlashOutcome flashSequence(const FlashJob& job, SerialLink& link, RunEvents& events,
                           FlashResult* result = nullptr);

// What a cancelled run left in the unit: once the transfer has begun the
// bootloader has given up the old application.
const char* cancelledNote(const FlashResult& result);

// The alert for a unit that answers in the wrong mode, naming the unit.
std::string wrongModeAlert(bool transmitter);

// "success", "wrong mode", "no banner", "send error", "too large",
// "cancelled", "serial failure".
const char* outcomeName(FlashOutcome outcome);
std::optional<FlashOutcome> outcomeNamed(std::string_view name);

// The event as one JSON object (the --json line), and back; progress events
// carry "percent", the end carries its serial failure's fields. Nothing for
// what is not an event.
Json eventJson(const RunEvent& event);
std::optional<RunEvent> eventFromJson(const Json& json);

// A serial failure's fields in a record or an end event, beside the
// "serial_error" text: "serial_errno", "serial_what" and "serial_errno_text",
// top-level so that a reader scanning a line's fields finds them. Nothing for
// none. And back: none without "serial_what".
void addFailureFields(Json& json, const std::optional<SerialFailure>& failure);
std::optional<SerialFailure> failureFromFields(const Json& json);
