#include "flash/FlashRecord.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <openssl/evp.h>
#include <pwd.h>
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
    json["serial_error"] =
        record.failure ? Json(failureText(*record.failure, FailureForm::Line)) : Json();
    json["serial_failure"] = failureJson(record.failure);
    json["transfer_seconds"] = std::round(record.transferSeconds * 1000.0) / 1000.0;
    json["wire_bytes"] = record.wireBytes;
    for (const auto& [key, value] : run.fields.items()) {
        json[key] = value;
    }
    return json;
}

std::optional<SerialFailure> recordFailure(const Json& record) {
    if (auto failure = failureFromJson(record.value("serial_failure", Json()))) {
        return failure;
    }
    const auto text = record.find("serial_error");
    if (text == record.end() || !text->is_string() || text->get<std::string>().empty()) {
        return std::nullopt;
    }
    // "<what> - <system text>(<number>)." as older versions wrote it; a text
    // of another shape is all "what".
    std::string line = *text;
    const auto trim = [&line] {
        while (!line.empty() && std::strchr(" \t\r\n", line.back()) != nullptr) {
            line.pop_back();
        }
    };
    trim();
    SerialFailure failure;
    const size_t open = line.rfind('(');
    if (open != std::string::npos && line.size() >= open + 4 && line.ends_with(").") &&
        std::all_of(line.begin() + static_cast<std::ptrdiff_t>(open) + 1, line.end() - 2,
                    [](char c) { return c >= '0' && c <= '9'; })) {
        failure.number = static_cast<int>(std::strtol(line.c_str() + open + 1, nullptr, 10));
        line.erase(open);
        trim();
        const size_t dash = line.rfind(" - ");
        if (dash != std::string::npos) {
            failure.systemText = line.substr(dash + 3);
            line.erase(dash);
        }
    }
    failure.what = line;
    return failure;
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
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return path + ": " + std::strerror(errno);
    }
    // One write in append mode: records of loaders running side by side land
    // whole, one after another.
    const ssize_t n = write(fd, line.data(), line.size());
    int err = errno;
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
    if (static_cast<size_t>(n) != line.size()) {
        return path + ": only " + std::to_string(n) + " of " + std::to_string(line.size()) +
               " bytes written";
    }
    return std::nullopt;
}
