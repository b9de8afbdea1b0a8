// zkflash-cli: loads a firmware image into a radio unit from the command line.
#include "cli/cli.h"
#include "cli/doctor.h"
#include "cli/json_sink.h"
#include "cli/multi_port.h"
#include "flash/FirmwareFile.h"
#include "flash/FlashRecord.h"
#include "serial/ZKSerial.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace {

constexpr const char* kProgram = "zkflash-cli";

cli::ConsoleSink* activeSink = nullptr;
std::atomic<int> cancelSignal{0};

// First Ctrl-C (or SIGTERM) cancels at the run's next poll; a second one
// leaves at once. Either way the exit status is 128 + the first signal.
void onSignal(int sig) {
    int none = 0;
    if (!cancelSignal.compare_exchange_strong(none, sig) || activeSink == nullptr) {
        _exit(128 + cancelSignal.load());
    }
    activeSink->requestCancel();
}

// One unit on one port: the run, its report and its record.
int flashOne(const cli::Options& options, FirmwareFile file, const std::string& port) {
    std::unique_ptr<cli::ConsoleSink> sink;
    cli::JsonSink* events = nullptr;
    if (options.json) {
        // Standard output carries events only: what else is written there
        // (the serial link's diagnostics) goes to standard error instead.
        std::FILE* out = fdopen(dup(STDOUT_FILENO), "w");
        if (out == nullptr || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
            std::fprintf(stderr, "%s: cannot set up the event stream: %s\n", kProgram,
                         std::strerror(errno));
            return cli::kExitUsage;
        }
        auto json = std::make_unique<cli::JsonSink>(options.yes, STDIN_FILENO, out);
        events = json.get();
        sink = std::move(json);
    } else {
        sink = std::make_unique<cli::ConsoleSink>(options.yes,
                                                  !options.quiet && isatty(STDERR_FILENO) == 1,
                                                  STDIN_FILENO, stdout, stderr);
    }

    const std::string name = firmwareFileName(options.firmware);
    const bool transmitter = selectsTransmitter(name);
    sink->log(loadedLine(name, file.size, transmitter), "\n");

    ZKFW engine;
    engine.setUi(sink.get());
    engine.setAddress(port);
    engine.setFName(name);
    engine.setTxSel(transmitter);
    engine.setData(std::move(file.image));

    activeSink = sink.get();
    cli::onCancelSignals(onSignal);
    const auto started = std::chrono::system_clock::now();
    const FlashOutcome outcome = engine.startFlash();
    sink->finish();
    const FlashRun run = engine.lastRun();
    if (outcome == FlashOutcome::Success && events == nullptr) {
        std::fprintf(stderr, "%s\n",
                     cli::transferSummary(run.image->size(), run.transferSeconds).c_str());
    }
    const Json record = recordJson(recordOfRun(engine, outcome, started, kProgram, ZK_VERSION));
    if (Serial_HasError()) {
        sink->showAlertWithMessage(Serial_FailureReport(port), std::nullopt);
    }
    Serial_Close();
    if (events != nullptr) {
        events->record(record);
    }
    if (!options.noRecord) {
        appendRecordOrWarn(options.record.empty() ? defaultRecordPath() : options.record,
                           jsonLine(record), kProgram);
    }
    return cli::exitStatusFor(outcome, cancelSignal.load());
}

} // namespace

int main(int argc, char** argv) {
    std::string error;
    const auto options = cli::parseArgs(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!options) {
        std::fprintf(stderr, "%s: %s\n\n%s", kProgram, error.c_str(), cli::usage());
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
    case cli::Options::Mode::Flash:
        break;
    }

    FirmwareFile file = readFirmwareFile(options->firmware);
    if (!file.image) {
        std::fprintf(stderr, "%s: cannot read '%s': %s\n", kProgram, options->firmware.c_str(),
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
    return flashOne(*options, std::move(file), ports.front());
}
