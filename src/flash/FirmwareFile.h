// A firmware file as the shells load it: read whole, its target chosen from
// its name, and the log line that reports it. The window and the CLI share
// this so that a file goes to the same unit whichever shell loads it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "flash/ZKFW.h"

// The whole file at `path`; none when it cannot be read (a directory
// included), with the system's reason in `reason`.
FirmwareImage readFirmwareFile(const std::string& path, std::string& reason);

// The file name's last path component.
std::string firmwareFileName(const std::string& path);

// A name ending exactly in ".binrx" (case included) selects the receiver unit;
// every other name the transmitter.
bool selectsTransmitter(std::string_view fileName);

// "Loaded '<name>' with <n> bytes for <target>".
std::string loadedLine(std::string_view fileName, uint64_t bytes, bool transmitter);
