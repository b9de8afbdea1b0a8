// zkflash-cli: loads a firmware image into a radio unit from the command line.
#include "cli/cli.h"
#include "flash/FirmwareFile.h"
#include "serial/ZKSerial.h"

#include <cerrno>
#include <csignal>
#include <cstring>
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

    FirmwareFile file = readFirmwareFile(options->firmware);
    if (!file.image) {
        std::fprintf(stderr, "zkflash-cli: cannot read '%s': %s\n", options->firmware.c_str(),
                     file.reason.c_str());
        return cli::kExitUsage;
    }
    const std::string name = firmwareFileName(options->firmware);
    const bool transmitter = selectsTransmitter(name);
    sink.log(loadedLine(name, file.size, transmitter), "\n");

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
    engine.setData(std::move(file.image));

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
