// zkflash-cli: loads a firmware image into a radio unit from the command line.
#include "cli/cli.h"
#include "cli/doctor.h"
#include "cli/json_view.h"
#include "cli/multi_port.h"
#include "flash/FirmwareFile.h"
#include "flash/FlashRecord.h"
#include "flash/printable.h"
#include "serial/ZKSerial.h"
#include "setup/SetupCheck.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <memory>

namespace {

constexpr const char* kNoPort =
    "no USB-serial port found: plug in the unit's adapter (zkflash-cli --doctor checks this "
    "computer's setup)";

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
        std::_Exit(128 + cancelSignal.load());
    }
}

// A refusal before any run: on standard error and, with --json, as an
// "error" event on standard output for the software that reads the events.
int refuse(bool json, int status, const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", cli::kProgram, printable(text).c_str());
    if (json) {
        std::fputs(
            jsonLine(Json{{"event", "error"}, {"message", text}, {"exit_status", status}}).c_str(),
            stdout);
    }
    return status;
}

// One unit on one port: the library's run, rendered on the console or as
// JSON lines.
int flashOne(const cli::Options& options, const FirmwareFile& file, const std::string& port) {
    std::string error;
    const auto fields = cli::recordFields(options, error);
    if (!fields) {
        return refuse(options.json, cli::kExitUsage, error);
    }
    std::unique_ptr<cli::ConsoleView> view;
    if (options.json) {
        view = std::make_unique<cli::JsonView>(options, cli::console::kStandardInput, stdout,
                                               cancelSignal);
    } else {
        view = std::make_unique<cli::ConsoleView>(
            options, !options.quiet && cli::console::errorIsTerminal(),
            cli::console::kStandardInput, stdout, stderr, cancelSignal);
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
    if (view->unanswered()) {
        return cli::kExitUsage;
    }
    return cli::exitStatusFor(result.outcome, cancelSignal.load());
}

} // namespace

int main(int argc, char** argv) {
    std::string error;
    const auto options = cli::parseArgs(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!options) {
        const std::vector<std::string> args(argv + 1, argv + argc);
        const auto end = std::find(args.begin(), args.end(), "--");
        refuse(std::find(args.begin(), end, "--json") != end, cli::kExitUsage, error);
        std::fprintf(stderr, "\n%s", cli::usage());
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
            std::fputs(cli::listLine(port, Serial_PortInfo(port)).c_str(), stdout);
        }
        // A script reads an empty list; a person is told why it is empty.
        if (ports.empty() && cli::console::outputIsTerminal()) {
            std::fprintf(stderr, "%s: %s\n", cli::kProgram, kNoPort);
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
        return refuse(options->json, cli::kExitUsage,
                      "cannot read '" + options->firmware + "': " + file.reason);
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
        return refuse(options->json, cli::kExitUsage,
                      std::string(kNoPort) + "; name one with --port");
    }
    if (options->all || ports.size() > 1) {
        return cli::flashSeveral(*options, ports);
    }
    cli::onCancelSignals(onSignal);
    return flashOne(*options, file, ports.front());
}
