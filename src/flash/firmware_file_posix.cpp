// POSIX: a firmware file read through open, fstat and read.
#include "flash/FirmwareFile.h"

#include "flash/FlashRun.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

FirmwareFile readFirmwareFile(const std::string& path) {
    FirmwareFile refused;
    // Non-blocking, so that opening a FIFO does not wait for a writer.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        refused.reason = std::strerror(errno);
        return refused;
    }
    constexpr size_t kEnough = kMaxImageSize + 1;
    std::vector<uint8_t> bytes;
    std::string reason;
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        reason = std::strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
        reason = std::strerror(EISDIR);
    } else if (!S_ISREG(st.st_mode)) {
        reason = "not a regular file";
    } else {
        bytes.resize(kEnough);
        size_t got = 0;
        while (got < kEnough) {
            const ssize_t n = read(fd, bytes.data() + got, kEnough - got);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                reason = std::strerror(errno);
            }
            if (n <= 0) {
                break;
            }
            got += static_cast<size_t>(n);
        }
        bytes.resize(got);
    }
    close(fd);
    return firmwareRead(std::move(bytes), static_cast<uint64_t>(st.st_size), std::move(reason));
}

std::string firmwareFileName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
