// A firmware file as the shells load it: read whole, its target chosen from
// its name, and the log line that reports it. The window and the CLI share
// this so that a file goes to the same unit whichever shell loads it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "flash/FirmwareImage.h"

// A firmware file as read for flashing.
struct FirmwareFile {
    // The whole file; none when it was refused. A file too large to flash is
    // held only as far as it takes to know that (kMaxImageSize + 1
    // bytes, which the engine refuses), so a huge or endless file costs
    // neither time nor memory.
    FirmwareImage image;
    uint64_t size = 0;  // the file's length in bytes, as far as known
    std::string reason; // why it was refused
};

// Reads the file at `path`. Only a regular file with at least one byte is
// taken: a FIFO or device would block or never end, an empty file has nothing
// to flash.
FirmwareFile readFirmwareFile(const std::string& path);

// For the per-system readers: the file as read, at most kMaxImageSize + 1
// `bytes` of the `statedSize` the file system gives, or why it could not be
// read. An empty file has nothing to flash.
FirmwareFile firmwareRead(std::vector<uint8_t> bytes, uint64_t statedSize, std::string reason);

// The file name's last path component.
std::string firmwareFileName(const std::string& path);

// A name ending exactly in ".binrx" (case included) selects the receiver unit;
// every other name the transmitter.
bool selectsTransmitter(std::string_view fileName);

// "Loaded '<name>' with <n> bytes for <target>", the name as printable() shows it.
std::string loadedLine(std::string_view fileName, uint64_t bytes, bool transmitter);
