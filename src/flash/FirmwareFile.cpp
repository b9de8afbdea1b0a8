#include "flash/FirmwareFile.h"

#include "flash/FlashRun.h"
#include "flash/printable.h"

bool selectsTransmitter(std::string_view fileName) {
    return !fileName.ends_with(".binrx");
}

std::string loadedLine(std::string_view fileName, uint64_t bytes, bool transmitter) {
    // The name escaped whole, line feeds too: a name cannot add a log line.
    return "Loaded '" + printable(fileName) + "' with " + std::to_string(bytes) + " bytes for " +
           (transmitter ? "Halvo (Transmitter)" : "Morra (Receiver)");
}
