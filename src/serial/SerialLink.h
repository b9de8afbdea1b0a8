// The line to a unit as the YMODEM sender and the flash sequence use it: the
// port's operations and the run's clock. The real port (ZKSerial) and the
// virtual unit's in-process line implement it, so the sequence runs the same
// against either.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// A failure of the serial link, as values: what failed (with the device path
// for the open steps), the system's error number and the system's text for it,
// taken when it happened. Hints are chosen from the number, since the text
// follows the locale.
struct SerialFailure {
    std::string what;       // "Error opening serial port /dev/ttyUSB0", "Write Error"
    int number = 0;         // the system's error number (errno)
    std::string systemText; // "No such file or directory"

    bool operator==(const SerialFailure&) const = default;
};

// How a failure is shown.
enum class FailureForm {
    Text,   // "<what> - <system text>(<number>).\n": the serial error text
    Line,   // the same without its line end: an alert, a record
    Reason, // "<what> - <system text>": a station's reason, a report's cause
};

// The one place where a failure becomes text. The serial error text is cut to
// the 1023 bytes the channel has always kept.
std::string failureText(const SerialFailure& failure, FailureForm form = FailureForm::Text);

class SerialLink {
public:
    // Where a link's diagnostics go (an open that failed, a drain that failed
    // on close): one text each, as it would be printed.
    using Diagnostics = std::function<void(const std::string& text)>;

    virtual ~SerialLink() = default;

    // Closes any open port, clears the failure, then opens `path` for
    // exclusive use, raw 8N1, no flow control, at exactly `speed` bit/s.
    // Returns a descriptor (or another non-negative handle), or -1 with the
    // failure recorded.
    virtual int32_t open(const std::string& path, uint32_t speed) = 0;
    // Drains and closes the port if one is open. Leaves the failure alone.
    virtual void close() = 0;

    // Waits up to about 550 ms for input, then keeps reading while more
    // arrives (until ~20 ms of quiet or 1023 bytes). Returns every byte read;
    // empty when nothing came. The view stays valid until the next read.
    virtual std::string_view readText() = 0;
    // Waits up to about 550 ms for one byte; returns it, or 0 when none came.
    virtual uint8_t readByte() = 0;
    // True when the last readText or readByte delivered no byte.
    virtual bool lastReadEmpty() const = 0;
    // True once a read found the line gone (hung up, the adapter unplugged)
    // since the last open: such a read returns at once, and any write fails.
    bool lineLost() const { return lost_; }

    // Writes the bytes without waiting for the driver to report them sent.
    virtual void send(const uint8_t* bytes, int32_t length) = 0;
    // Writes the bytes, then waits until they have been transmitted.
    virtual void write(const uint8_t* bytes, int32_t length) = 0;
    void writeString(const char* text);
    // Reads and drops input until the last byte written can have reached the
    // far end; what arrives later stays for the next read.
    virtual void discardUntilSent() = 0;
    // Discards bytes received and not yet read.
    virtual void flushInput() = 0;
    // Asserts (true) or clears (false) the DTR modem line.
    virtual void setDTR(bool on) = 0;
    // Bytes handed to the line since the link was made.
    virtual uint64_t bytesWritten() const = 0;

    // The run's clock: sleeps `ms` milliseconds in full, and reads the time.
    virtual void delayMs(uint32_t ms) = 0;
    virtual std::chrono::steady_clock::duration now() const = 0;

    // The last failure since the last open; none when there was none.
    const std::optional<SerialFailure>& failure() const { return failure_; }
    bool hasError() const { return failure_.has_value(); }
    // Forgets the failure once it has been reported.
    void clearError() { failure_.reset(); }

    // Diagnostics go to the handler set; without one they are dropped (the
    // link prints nothing itself).
    void setDiagnostics(Diagnostics diagnostics) { diagnostics_ = std::move(diagnostics); }
    const Diagnostics& diagnostics() const { return diagnostics_; }

protected:
    // Records `what` failing with the system's error number `err`.
    void fail(const std::string& what, int err);
    // `what` failing with `err`, as a value not recorded (a diagnostic's).
    static SerialFailure failureOf(const std::string& what, int err);
    void diagnose(const std::string& text) const;
    void setLineLost(bool lost) { lost_ = lost; }

private:
    bool lost_ = false;
    std::optional<SerialFailure> failure_;
    Diagnostics diagnostics_;
};
