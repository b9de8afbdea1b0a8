// POSIX: the firmware file is opened without waiting (a FIFO would wait for
// a writer) and read only when it is a regular file.
#include "flash/file_read.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fileread {

const char* const kSeparators = "/";

Whole readRegular(const std::string& path, size_t limit) {
    Whole file;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        file.reason = std::strerror(errno);
        return file;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        file.reason = std::strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
        file.reason = std::strerror(EISDIR);
    } else if (!S_ISREG(st.st_mode)) {
        file.reason = "not a regular file";
    } else {
        file.size = static_cast<uint64_t>(st.st_size);
        file.bytes.resize(limit);
        size_t got = 0;
        while (got < limit) {
            const ssize_t n = read(fd, file.bytes.data() + got, limit - got);
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
        file.bytes.resize(got);
        file.bytes.shrink_to_fit();
    }
    close(fd);
    return file;
}

} // namespace fileread
