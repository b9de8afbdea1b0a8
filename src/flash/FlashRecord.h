// The flash record: one JSON object per run that touched a unit, appended as
// one line to a file that loaders running side by side share, so that it can
// be told afterwards which unit got which image.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "flash/ZKFW.h"
#include "serial/ZKSerial.h"

// Fields keep the order in which they are set, so that a record reads well.
using Json = nlohmann::ordered_json;

struct FlashRecord {
    std::chrono::system_clock::time_point started;
    std::chrono::system_clock::time_point ended;
    std::string program; // "zkflash-cli", "zkflash"
    std::string version;
    FlashRun run;           // port, image, name, target and transfer figures
    SerialPortInfo adapter; // what is known of the port's USB adapter
    FlashOutcome outcome = FlashOutcome::SendError;
    std::string serialError; // the serial link's failure text, empty when none
};

// The record of the run that `engine` has just ended with `outcome`, begun at
// `started`; taken before the shell shows and clears a serial failure.
FlashRecord recordOfRun(const ZKFW& engine, FlashOutcome outcome,
                        std::chrono::system_clock::time_point started, std::string program,
                        std::string version);

// "success", "wrong mode", "no banner", "send error", "too large",
// "cancelled", "serial failure".
const char* outcomeName(FlashOutcome outcome);

// Local time with milliseconds and the UTC offset: "2024-05-01T14:03:07.250+02:00".
std::string isoTime(std::chrono::system_clock::time_point when);

// Lower-case hexadecimal SHA-256 of the bytes.
std::string sha256Hex(const uint8_t* bytes, size_t size);

Json recordJson(const FlashRecord& record);

// One JSON line, ending in a line feed; bytes that are not UTF-8 (a file name
// is any bytes) become U+FFFD rather than failing the line.
std::string jsonLine(const Json& value);

// $XDG_STATE_HOME/zkflash/flashes.jsonl, ~/.local/state/zkflash/flashes.jsonl
// when that is unset; empty when there is no home either.
std::string defaultRecordPath();

// Appends the line to `path` with one write in append mode, creating missing
// directories. Returns the reason when it could not be written whole.
std::optional<std::string> appendRecord(const std::string& path, const std::string& line);

// appendRecord, reporting a failure as a warning of `program` on standard
// error: a lost record never fails a flash.
void appendRecordOrWarn(const std::string& path, const std::string& line, const char* program);
