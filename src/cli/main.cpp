// zkflash-cli: loads a firmware image into a radio unit from the command line.
#include "cli/cli.h"
#include "serial/ZKSerial.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

cli::ConsoleSink* activeSink = nullptr;

// First Ctrl-C (or SIGTERM) cancels at the run's next poll; a second one
// leaves at once.
void onSignal(int) {
    static std::atomic<bool> asked{false};
    if (asked.exchange(true) || activeSink == nullptr) {
        _exit(cli::kExitCancelled);
    }
    activeSink->requestCancel();
}

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

std::string baseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Reads the whole file; on failure returns nothing with errno's text.
std::optional<std::vector<uint8_t>> readFile(const std::string& path, std::string& reason) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        reason = std::strerror(errno);
        return std::nullopt;
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
            if (n < 0) {
                err = errno;
                break;
            }
            if (n == 0) {
                break;
            }
            bytes.insert(bytes.end(), chunk, chunk + n);
        }
    }
    close(fd);
    if (err != 0) {
        reason = std::strerror(err);
        return std::nullopt;
    }
    return bytes;
}

} // namespace

int main(int argc, char** argv) {
    std::string error;
    const auto options = cli::parseArgs(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!options) {
        std::fprintf(stderr, "zkflash-cli: %s\n\n%s", error.c_str(), cli::usage());
        return cli::kExitUsage;
    }
    switch (options->mode) {
    case cli::Options::Mode::Help:
        std::fputs(cli::usage(), stdout);
        return cli::kExitOk;
    case cli::Options::Mode::Version:
        std::puts("zkflash-cli " ZK_VERSION);
        return cli::kExitOk;
    case cli::Options::Mode::List: {
        std::vector<std::string> ports;
        Serial_ListPorts(ports);
        for (const auto& port : ports) {
            std::puts(port.c_str());
        }
        return cli::kExitOk;
    }
    case cli::Options::Mode::Flash:
        break;
    }

    cli::ConsoleSink sink(options->yes, !options->quiet && isatty(STDERR_FILENO) == 1, STDIN_FILENO,
                          stdout, stderr);

    std::string reason;
    auto bytes = readFile(options->firmware, reason);
    if (!bytes) {
        std::fprintf(stderr, "zkflash-cli: cannot read '%s': %s\n", options->firmware.c_str(),
                     reason.c_str());
        return cli::kExitUsage;
    }
    const std::string name = baseName(options->firmware);
    const bool transmitter = cli::isTransmitterFile(name);
    sink.log(cli::loadedLine(name, bytes->size(), transmitter), "\n");

    std::string port = options->port;
    if (port.empty()) {
        std::vector<std::string> ports;
        Serial_ListPorts(ports);
        if (ports.empty()) {
            std::fputs("Please select a port.\n", stderr);
            return cli::kExitUsage;
        }
        port = ports.front();
    }

    ZKFW engine;
    engine.setUi(&sink);
    engine.setAddress(port);
    engine.setFName(name);
    engine.setTxSel(transmitter);
    engine.setData(std::make_shared<const std::vector<uint8_t>>(std::move(*bytes)));

    activeSink = &sink;
    installSignalHandlers();
    const FlashOutcome outcome = engine.startFlash();
    sink.finish();
    if (Serial_HasError()) {
        sink.showAlertWithMessage(Serial_ErrorText());
    }
    Serial_Close();
    return cli::exitStatusFor(outcome);
}
