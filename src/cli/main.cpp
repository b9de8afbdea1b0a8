// zkflash-cli: loads a firmware image into a radio unit from the command line.
#include "cli/cli.h"
#include "cli/doctor.h"
#include "cli/json_view.h"
#include "cli/multi_port.h"
#include "flash/FirmwareFile.h"
#include "flash/FlashRecord.h"
#include "serial/ZKSerial.h"
#include "setup/SetupCheck.h"

#include <atomic>
#include <csignal>
#include <memory>
#include <unistd.h>

namespace {

// Set by the first Ctrl-C (or SIGTERM) and read by the run's cancel poll; the
// handler touches nothing else, so a signal is safe at any moment of the
// process's life.
std::atomic<int> cancelSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

// First Ctrl-C (or SIGTERM) cancels at the run's next poll; a second one
// leaves at once. Either way the exit status is 128 + the first signal.
void onSignal(int sig) {
    int none = 0;
    if (!cancelSignal.compare_exchange_strong(none, sig)) {
        _exit(128 + cancelSignal.load());
    }
}

// One unit on one port: the library's run, rendered on the console or as
// JSON lines.
int flashOne(const cli::Options& options, const FirmwareFile& file, const std::string& port) {
    std::string error;
    const auto fields = cli::recordFields(options, error);
    if (!fields) {
        std::fprintf(stderr, "%s: %s\n", cli::kProgram, error.c_str());
        return cli::kExitUsage;
    }
    std::unique_ptr<cli::ConsoleView> view;
    if (options.json) {
        view = std::make_unique<cli::JsonView>(options, STDIN_FILENO, stdout, cancelSignal);
    } else {
        view = std::make_unique<cli::ConsoleView>(options,
                                                  !options.quiet && isatty(STDERR_FILENO) == 1,
                                                  STDIN_FILENO, stdout, stderr, cancelSignal);
    }
    const std::string name = firmwareFileName(options.firmware);
    const bool transmitter = selectsTransmitter(name);
    view->log(loadedLine(name, file.size, transmitter));

    RunSettings settings{cli::kProgram, ZK_VERSION, std::nullopt, SetupCheck_FailureHint};
    if (!options.noRecord) {
        settings.recordPath = options.record.empty() ? defaultRecordPath() : options.record;
    }
    const FlashJob job{port, file.image, name, transmitter, *fields, options.openRetryMs};
    const FlashResult result = runFlash(job, Serial_DefaultPort(), *view, settings);
    return cli::exitStatusFor(result.outcome, cancelSignal.load());
}

} // namespace

int main(int argc, char** argv) {
    std::string error;
    const auto options = cli::parseArgs(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!options) {
        std::fprintf(stderr, "%s: %s\n\n%s", cli::kProgram, error.c_str(), cli::usage());
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
        // The path, what sysfs says about the adapter and its socket, each
        // after a tab (empty when unknown), so that scripts can cut the columns.
        for (const auto& port : ports) {
            std::printf("%s\t%s\t%s\n", port.c_str(), Serial_PortInfo(port).description().c_str(),
                        Serial_PortInfo(port).socket.c_str());
        }
        return cli::kExitOk;
    }
    case cli::Options::Mode::Doctor:
        return cli::runDoctor(options->ports, options->json, stdout);
    case cli::Options::Mode::Report:
        return cli::runReport(*options);
    case cli::Options::Mode::Station:
        return cli::runStation(*options);
    case cli::Options::Mode::Flash:
        break;
    }

    FirmwareFile file = readFirmwareFile(options->firmware);
    if (!file.image) {
        std::fprintf(stderr, "%s: cannot read '%s': %s\n", cli::kProgram, options->firmware.c_str(),
                     file.reason.c_str());
        return cli::kExitUsage;
    }
    // Without --port the first listed port; --all takes every listed one.
    std::vector<std::string> ports = options->ports;
    if (options->all || ports.empty()) {
        Serial_ListPorts(ports);
        if (!options->all && !ports.empty()) {
            ports.resize(1);
        }
    }
    if (ports.empty()) {
        std::fputs("Please select a port.\n", stderr);
        return cli::kExitUsage;
    }
    if (options->all || ports.size() > 1) {
        return cli::flashSeveral(*options, ports);
    }
    cli::onCancelSignals(onSignal);
    return flashOne(*options, file, ports.front());
}
