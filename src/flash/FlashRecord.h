// The flash record: one JSON object per run that touched a unit, appended as
// one line to a file that loaders running side by side share, so that it can
// be told afterwards which unit got which image.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "flash/FlashRun.h"
#include "flash/sha256.h"
#include "serial/ZKSerial.h"

struct FlashRecord {
    std::chrono::system_clock::time_point started;
    std::chrono::system_clock::time_point ended;
    std::string program; // "zkflash-cli", "zkflash"
    std::string version;
    FlashJob job;           // port, image, name, target and the caller's fields
    SerialPortInfo adapter; // what is known of the port's USB adapter
    FlashOutcome outcome = FlashOutcome::SendError;
    std::optional<SerialFailure> failure; // the serial link's, if any
    double transferSeconds = 0; // from the header block to the result; 0 without a transfer
    uint64_t wireBytes = 0;     // written to the unit during the transfer, resends included
    bool portOpened = false;    // false: the run never reached a unit
};

// Local time with milliseconds and the UTC offset: "2024-05-01T14:03:07.250+02:00".
std::string isoTime(std::chrono::system_clock::time_point when);

// The record's fields, the job's own fields last.
Json recordJson(const FlashRecord& record);

// The serial failure a record holds, from its fields; one written by an older
// version carries only the text ("serial_error"), which is read back into the
// same fields. None when the run had no serial failure.
std::optional<SerialFailure> recordFailure(const Json& record);
// That text read back: "<what> - <system text>(<number>)."; a text of another
// shape is all what failed. None for an empty text.
std::optional<SerialFailure> failureFromText(std::string_view text);

// One JSON line, ending in a line feed; bytes that are not UTF-8 (a file name
// is any bytes) become U+FFFD rather than failing the line.
std::string jsonLine(const Json& value);

// $XDG_STATE_HOME/zkflash/flashes.jsonl, ~/.local/state/zkflash/flashes.jsonl
// when that is unset; empty when there is no home either.
std::string defaultRecordPath();

// Appends the line to `path` with one write in append mode, creating missing
// directories, and flushes it to the disk. Returns the reason when it could
// not be written whole.
std::optional<std::string> appendRecord(const std::string& path, const std::string& line);
