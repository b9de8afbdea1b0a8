#include "flash/FirmwareFile.h"

#include "flash/FlashRun.h"

#include "flash/file_read.h"

#include <algorithm>

FirmwareFile readFirmwareFile(const std::string& path) {
    FirmwareFile file;
    constexpr size_t kEnough = kMaxImageSize + 1;
    fileread::Whole read = fileread::readRegular(path, kEnough);
    file.reason = std::move(read.reason);
    std::vector<uint8_t>& bytes = read.bytes;
    if (file.reason.empty() && bytes.empty()) {
        file.reason = "nothing to flash";
    }
    if (file.reason.empty()) {
        // Read whole, the bytes tell the size; cut short, the file system does.
        file.size =
            bytes.size() < kEnough ? bytes.size() : std::max<uint64_t>(bytes.size(), read.size);
        file.image = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
    }
    return file;
}

std::string firmwareFileName(const std::string& path) {
    const size_t slash = path.find_last_of(fileread::kSeparators);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool selectsTransmitter(std::string_view fileName) {
    return !fileName.ends_with(".binrx");
}

std::string loadedLine(std::string_view fileName, uint64_t bytes, bool transmitter) {
    return "Loaded '" + std::string(fileName) + "' with " + std::to_string(bytes) + " bytes for " +
           (transmitter ? "Halvo (Transmitter)" : "Morra (Receiver)");
}
