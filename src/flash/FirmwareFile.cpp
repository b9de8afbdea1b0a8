#include "flash/FirmwareFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

FirmwareImage readFirmwareFile(const std::string& path, std::string& reason) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        reason = std::strerror(errno);
        return nullptr;
    }
    std::vector<uint8_t> bytes;
    struct stat st {};
    int err = 0;
    if (fstat(fd, &st) != 0) {
        err = errno;
    } else if (S_ISDIR(st.st_mode)) {
        err = EISDIR;
    } else {
        uint8_t chunk[65536];
        for (;;) {
            const ssize_t n = read(fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                err = n < 0 ? errno : 0;
                break;
            }
            bytes.insert(bytes.end(), chunk, chunk + n);
        }
    }
    close(fd);
    if (err != 0) {
        reason = std::strerror(err);
        return nullptr;
    }
    return std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
}

std::string firmwareFileName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool selectsTransmitter(std::string_view fileName) {
    return !fileName.ends_with(".binrx");
}

std::string loadedLine(std::string_view fileName, uint64_t bytes, bool transmitter) {
    return "Loaded '" + std::string(fileName) + "' with " + std::to_string(bytes) + " bytes for " +
           (transmitter ? "Halvo (Transmitter)" : "Morra (Receiver)");
}
