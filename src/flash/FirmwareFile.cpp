#include "flash/FirmwareFile.h"

#include "flash/FlashRun.h"
#include "flash/printable.h"

#include <algorithm>

FirmwareFile firmwareRead(std::vector<uint8_t> bytes, uint64_t statedSize, std::string reason) {
    FirmwareFile file;
    file.reason = reason.empty() && bytes.empty() ? "nothing to flash" : std::move(reason);
    if (file.reason.empty()) {
        // Read whole, the bytes tell the size; cut short, the file system does.
        file.size = bytes.size() <= kMaxImageSize ? bytes.size()
                                                  : std::max<uint64_t>(bytes.size(), statedSize);
        bytes.shrink_to_fit();
        file.image = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
    }
    return file;
}

bool selectsTransmitter(std::string_view fileName) {
    return !fileName.ends_with(".binrx");
}

std::string loadedLine(std::string_view fileName, uint64_t bytes, bool transmitter) {
    // The name escaped whole, line feeds too: a name cannot add a log line.
    return "Loaded '" + printable(fileName) + "' with " + std::to_string(bytes) + " bytes for " +
           (transmitter ? "Halvo (Transmitter)" : "Morra (Receiver)");
}
