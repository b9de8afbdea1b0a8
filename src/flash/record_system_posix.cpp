#include "flash/record_system.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace recordsys {

namespace {

// Creates every missing directory above `path`'s last component, private to
// the user as state directories should be.
std::optional<std::string> makeParents(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string dir = path.substr(0, slash);
        if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
            return dir + ": " + std::strerror(errno);
        }
    }
    return std::nullopt;
}

} // namespace

std::string stateFolder() {
    // A relative XDG_STATE_HOME is invalid and ignored.
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        return state;
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
        const passwd* user = getpwuid(getuid());
        home = user != nullptr ? user->pw_dir : nullptr;
    }
    if (home == nullptr || home[0] != '/') {
        return {};
    }
    return std::string(home) + "/.local/state";
}

std::string hostName() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) {
        host[0] = '\0';
    }
    return host;
}

std::optional<std::string> appendDurably(const std::string& path, const std::string& line) {
    if (auto failed = makeParents(path)) {
        return failed;
    }
    // Opened for reading too, to see how the file ends; a file that may only
    // be written is appended to all the same.
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EACCES) {
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    if (fd < 0) {
        return path + ": " + std::strerror(errno);
    }
    // Loaders side by side take turns (where the file system has locks), so
    // that each sees the end the last one left. A line cut short there (a
    // loader killed mid-write, a disk that filled up) is ended first: this
    // record then starts a line of its own rather than being lost in it.
    flock(fd, LOCK_EX);
    std::string text = line;
    struct stat st {};
    char last = '\n';
    if (fstat(fd, &st) == 0 && st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) == 1 &&
        last != '\n') {
        text.insert(0, "\n");
    }
    // One write in append mode: records of loaders running side by side land
    // whole, one after another.
    const ssize_t n = write(fd, text.data(), text.size());
    int err = errno;
    flock(fd, LOCK_UN);
    // On the disk before the run is reported: a crash or power cut then
    // loses at most the run in progress.
    if (n >= 0 && fsync(fd) != 0) {
        err = errno;
        close(fd);
        return path + ": " + std::strerror(err);
    }
    close(fd);
    if (n < 0) {
        return path + ": " + std::strerror(err);
    }
    if (static_cast<size_t>(n) != text.size()) {
        return path + ": only " + std::to_string(n) + " of " + std::to_string(text.size()) +
               " bytes written";
    }
    return std::nullopt;
}

} // namespace recordsys
