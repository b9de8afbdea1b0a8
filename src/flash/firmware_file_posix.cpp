// POSIX: a firmware file read through open, fstat and read.
#include "flash/FirmwareFile.h"

#include "flash/FlashRun.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

FirmwareFile readFirmwareFile(const std::string& path) {
    FirmwareFile file;
    // Non-blocking, so that opening a FIFO does not wait for a writer.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        file.reason = std::strerror(errno);
        return file;
    }
    constexpr size_t kEnough = kMaxImageSize + 1;
    std::vector<uint8_t> bytes;
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        file.reason = std::strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
        file.reason = std::strerror(EISDIR);
    } else if (!S_ISREG(st.st_mode)) {
        file.reason = "not a regular file";
    } else {
        bytes.resize(kEnough);
        size_t got = 0;
        while (got < kEnough) {
            const ssize_t n = read(fd, bytes.data() + got, kEnough - got);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                file.reason = std::strerror(errno);
            }
            if (n <= 0) {
                break;
            }
            got += static_cast<size_t>(n);
        }
        bytes.resize(got);
        bytes.shrink_to_fit();
        if (file.reason.empty() && got == 0) {
            file.reason = "nothing to flash";
        }
    }
    close(fd);
    if (file.reason.empty()) {
        // Read whole, the bytes tell the size; cut short, the file system does.
        file.size = bytes.size() < kEnough
                        ? bytes.size()
                        : std::max<uint64_t>(bytes.size(), static_cast<uint64_t>(st.st_size));
        file.image = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
    }
    return file;
}

std::string firmwareFileName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
