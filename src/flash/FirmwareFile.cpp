#include "flash/FirmwareFile.h"

#include "flash/FlashRun.h"

bool selectsTransmitter(std::string_view fileName) {
    return !fileName.ends_with(".binrx");
}

std::string loadedLine(std::string_view fileName, uint64_t bytes, bool transmitter) {
    return "Loaded '" + std::string(fileName) + "' with " + std::to_string(bytes) + " bytes for " +
           (transmitter ? "Halvo (Transmitter)" : "Morra (Receiver)");
}
