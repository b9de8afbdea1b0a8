#include "flash/FlashRecord.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <openssl/evp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kRecordFile = "zkflash/flashes.jsonl";

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

std::string isoTime(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const time_t seconds = system_clock::to_time_t(when);
    const auto millis = duration_cast<milliseconds>(when.time_since_epoch()).count() % 1000;
    tm local{};
    localtime_r(&seconds, &local);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    const long offset = local.tm_gmtoff / 60;
    char text[64];
    std::snprintf(text, sizeof text, "%s.%03d%c%02ld:%02ld", date,
                  static_cast<int>(millis < 0 ? millis + 1000 : millis), offset < 0 ? '-' : '+',
                  std::labs(offset) / 60, std::labs(offset) % 60);
    return text;
}

std::string sha256Hex(const uint8_t* bytes, size_t size) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes, size, digest, &length, EVP_sha256(), nullptr) != 1) {
        return {};
    }
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

Json recordJson(const FlashRecord& record) {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) {
        host[0] = '\0';
    }
    const FlashJob& run = record.job;
    std::string serialError = record.serialError;
    while (!serialError.empty() && serialError.back() == '\n') {
        serialError.pop_back();
    }
    Json json;
    json["started"] = isoTime(record.started);
    json["ended"] = isoTime(record.ended);
    json["program"] = record.program;
    json["version"] = record.version;
    json["host"] = host;
    json["port"] = run.port;
    json["adapter"] = record.adapter.description();
    json["adapter_serial"] = record.adapter.serial;
    json["file"] = run.name;
    // A file too large to flash is read only as far as it takes to know that:
    // its size and hash are unknown, and a prefix's would mislead.
    if (run.image && run.image->size() > kMaxImageSize) {
        json["size"] = Json();
        json["sha256"] = Json();
    } else {
        json["size"] = run.image ? run.image->size() : 0;
        json["sha256"] = run.image ? sha256Hex(run.image->data(), run.image->size()) : "";
    }
    json["target"] = run.transmitter ? "TX" : "RX";
    json["outcome"] = outcomeName(record.outcome);
    json["serial_error"] = serialError.empty() ? Json() : Json(serialError);
    json["transfer_seconds"] = std::round(record.transferSeconds * 1000.0) / 1000.0;
    json["wire_bytes"] = record.wireBytes;
    json["port_opened"] = record.portOpened;
    for (const auto& [key, value] : run.fields.items()) {
        json[key] = value;
    }
    return json;
}

std::string jsonLine(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string defaultRecordPath() {
    // A relative XDG_STATE_HOME is invalid and ignored.
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        return std::string(state) + "/" + kRecordFile;
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
        const passwd* user = getpwuid(getuid());
        home = user != nullptr ? user->pw_dir : nullptr;
    }
    if (home == nullptr || home[0] != '/') {
        return {};
    }
    return std::string(home) + "/.local/state/" + kRecordFile;
}

std::optional<std::string> appendRecord(const std::string& path, const std::string& line) {
    if (path.empty()) {
        return std::string("no record file (neither XDG_STATE_HOME nor a home directory is known)");
    }
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
