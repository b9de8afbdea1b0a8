#include "cli/cli.h"

#include "flash/progress.h"
#include "station/Report.h"

#include <algorithm>
#include <cstdlib>
#include <poll.h>
#include <unistd.h>

namespace cli {

const char* usage() {
    return "Usage: zkflash-cli [--port DEVICE]... [--all] [--yes] [--quiet] [--verbose] [--json]\n"
           "                  [--record FILE | --no-record] FIRMWARE\n"
           "       zkflash-cli --station [--slot SOCKET[=LABEL]]... [--yes] [--json]\n"
           "                  [--operator NAME] [--work-order ID] FIRMWARE\n"
           "       zkflash-cli --list\n"
           "       zkflash-cli --doctor [--port DEVICE]... [--json]\n"
           "       zkflash-cli --report [--since TIME] [--work-order ID] [--json] [RECORDS]...\n"
           "       zkflash-cli --help | --version\n"
           "\n"
           "Loads FIRMWARE into a radio unit over a USB-serial adapter: a name ending in\n"
           "\".binrx\" goes to the receiver unit, every other name to the transmitter.\n"
           "\n"
           "  --port DEVICE  serial device to use (default: the first USB-serial port);\n"
           "                 given more than once, every unit is flashed at the same time\n"
           "  --all          flash every USB-serial port at the same time\n"
           "  --yes          answer operator prompts at once\n"
           "  --quiet        no progress bar\n"
           "  --verbose      also show the serial port's own diagnostics\n"
           "  --json         write the run's events and its record as JSON lines\n"
           "  --record FILE  append the flash record to FILE (default:\n"
           "                 $XDG_STATE_HOME/zkflash/flashes.jsonl)\n"
           "  --no-record    write no flash record\n"
           "  --operator NAME, --work-order ID\n"
           "                 who flashes, and for which work order, in each record\n"
           "  --station      flash every unit as it is plugged in; Ctrl-C stops taking\n"
           "                 units, again cancels the running ones\n"
           "  --slot SOCKET[=LABEL]\n"
           "                 with --station: take this socket (as --list shows it, or a\n"
           "                 /dev/serial/by-path name) and show it as LABEL; repeatable\n"
           "  --list         list the USB-serial ports, one per line\n"
           "  --doctor       check this machine's setup for the adapters, with fixes\n"
           "                 (opens only the ports named with --port)\n"
           "  --report       yield, failures, sockets, images and run times of the flash\n"
           "                 records in RECORDS (default: the record file); with --json\n"
           "                 as one JSON object\n"
           "  --since TIME   only records started since TIME (\"2026-12-07\",\n"
           "                 \"2026-12-07T14:00\"; local time without an offset)\n"
           "  --work-order ID\n"
           "                 only the records of work order ID\n"
           "\n"
           "Exit status: 0 application started, 1 flash failed, 2 usage or input error,\n"
           "130 cancelled (Ctrl-C), 143 terminated (SIGTERM); for several units the\n"
           "highest status of any unit.\n";
}

std::optional<Options> parseArgs(const std::vector<std::string>& args, std::string& error) {
    Options options;
    bool listed = false;
    bool doctor = false;
    // With --report every other argument is a record file, wherever it stands.
    const auto optionsEnd = std::find(args.begin(), args.end(), "--");
    const bool report = std::find(args.begin(), optionsEnd, "--report") != optionsEnd;
    const auto valued = [](const std::string& arg) {
        for (const std::string name : {"--port", "--record", "--since", "--work-order",
                                       "--operator", "--slot", "--record-field", "--open-retry"}) {
            if (arg == name || arg.starts_with(name + "=")) {
                return true;
            }
        }
        return false;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            options.mode = Options::Mode::Help;
            return options;
        }
        if (arg == "--version") {
            options.mode = Options::Mode::Version;
            return options;
        }
        if (arg == "--list") {
            listed = true;
        } else if (arg == "--doctor") {
            doctor = true;
        } else if (arg == "--yes" || arg == "-y") {
            options.yes = true;
        } else if (arg == "--quiet" || arg == "-q") {
            options.quiet = true;
        } else if (arg == "--verbose" || arg == "-v") {
            options.verbose = true;
        } else if (arg == "--all") {
            options.all = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--no-record") {
            options.noRecord = true;
        } else if (arg == "--report") {
            // taken before the loop
        } else if (arg == "--station") {
            options.mode = Options::Mode::Station;
        } else if (valued(arg)) {
            const std::string name = arg.substr(0, arg.find('='));
            std::string value;
            if (arg == name) {
                if (i + 1 < args.size()) {
                    value = args[++i];
                }
            } else {
                value = arg.substr(name.size() + 1);
            }
            if (value.empty()) {
                error = name + (name == "--port"         ? " needs a device"
                                : name == "--since"      ? " needs a date"
                                : name == "--work-order" ? " needs an ID"
                                                         : " needs a file");
                return std::nullopt;
            }
            if (name == "--since" && !station::parseIsoTime(value)) {
                error = "--since " + value + ": not a date (2026-12-07, 2026-12-07T14:00)";
                return std::nullopt;
            }
            if (name == "--since") {
                options.since = value;
            } else if (name == "--operator") {
                options.operatorName = value;
            } else if (name == "--slot") {
                options.slots.push_back(value);
            } else if (name == "--record-field") {
                options.recordFields.push_back(value);
            } else if (name == "--open-retry") {
                options.openRetryMs =
                    static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
            } else if (name == "--work-order") {
                options.workOrder = value;
            } else if (name == "--record") {
                options.record = value;
            } else if (std::find(options.ports.begin(), options.ports.end(), value) !=
                       options.ports.end()) {
                error = "--port " + value + " given twice";
                return std::nullopt;
            } else {
                options.ports.push_back(value);
            }
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "--") {
            error = "unknown option " + arg;
            return std::nullopt;
        } else if (report) {
            const auto from = args.begin() + static_cast<std::ptrdiff_t>(arg == "--" ? i + 1 : i);
            options.records.insert(options.records.end(), from,
                                   arg == "--" ? args.end() : from + 1);
            if (arg == "--") {
                break;
            }
        } else {
            if (arg == "--") {
                if (i + 1 >= args.size()) {
                    break;
                }
                ++i;
            }
            if (!options.firmware.empty() || i + 1 < args.size()) {
                error = "one firmware file at a time";
                return std::nullopt;
            }
            options.firmware = args[i];
        }
    }
    if (doctor) {
        if (!options.firmware.empty()) {
            error = "--doctor takes no firmware file";
            return std::nullopt;
        }
        options.mode = Options::Mode::Doctor;
        return options;
    }
    if (report) {
        if (listed || options.all || !options.ports.empty() || !options.record.empty() ||
            options.noRecord) {
            error = "--report takes no --list, --port, --all, --record or --no-record";
            return std::nullopt;
        }
        options.mode = Options::Mode::Report;
        return options;
    }
    if (!options.since.empty()) {
        error = "--since goes with --report";
        return std::nullopt;
    }
    const bool station = options.mode == Options::Mode::Station;
    if (!options.slots.empty() && !station) {
        error = "--slot goes with --station";
        return std::nullopt;
    }
    if (station && (listed || options.all || !options.ports.empty())) {
        error = "--station takes no --list, --port or --all: it watches the sockets";
        return std::nullopt;
    }
    if (listed) {
        if (!options.firmware.empty()) {
            error = "--list takes no firmware file";
            return std::nullopt;
        }
        options.mode = Options::Mode::List;
        return options;
    }
    if (options.firmware.empty()) {
        error = "no firmware file given";
        return std::nullopt;
    }
    if (options.all && !options.ports.empty()) {
        error = "--all takes no --port";
        return std::nullopt;
    }
    if (options.noRecord && !options.record.empty()) {
        error = "--record and --no-record exclude each other";
        return std::nullopt;
    }
    return options;
}

std::optional<Json> recordFields(const Options& options, std::string& error) {
    Json fields = Json::object();
    if (!options.operatorName.empty()) {
        fields["operator"] = options.operatorName;
    }
    if (!options.workOrder.empty()) {
        fields["work_order"] = options.workOrder;
    }
    for (const std::string& field : options.recordFields) {
        const size_t equals = field.find('=');
        Json value = equals == std::string::npos
                         ? Json(Json::value_t::discarded)
                         : Json::parse(field.substr(equals + 1), nullptr, false);
        if (value.is_discarded() || equals == 0) {
            error = "--record-field " + field + ": not KEY=JSON";
            return std::nullopt;
        }
        fields[field.substr(0, equals)] = std::move(value);
    }
    return fields;
}

int exitStatusFor(FlashOutcome outcome, int cancelSignal) {
    switch (outcome) {
    case FlashOutcome::Success:
        return kExitOk;
    case FlashOutcome::Cancelled:
        return cancelSignal == SIGTERM ? kExitTerminated : kExitCancelled;
    case FlashOutcome::SerialFailure:
    case FlashOutcome::WrongMode:
    case FlashOutcome::NoBanner:
    case FlashOutcome::SendError:
    case FlashOutcome::TooLarge:
        break;
    }
    return kExitFlashFailed;
}

void onCancelSignals(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

std::string transferSummary(uint64_t bytes, double seconds) {
    char text[96];
    if (seconds < 0.05) {
        std::snprintf(text, sizeof text, "Sent %llu bytes in %.1f s",
                      static_cast<unsigned long long>(bytes), seconds);
    } else {
        std::snprintf(text, sizeof text, "Sent %llu bytes in %.1f s, %.1f kB/s",
                      static_cast<unsigned long long>(bytes), seconds,
                      static_cast<double>(bytes) / 1000.0 / seconds);
    }
    return text;
}

ConsoleView::ConsoleView(const Options& options, bool progressBar, int inputFd, std::FILE* out,
                         std::FILE* err, const std::atomic<int>& cancelSignal)
    : yes_(options.yes), verbose_(options.verbose), progressBar_(progressBar), inputFd_(inputFd),
      out_(out), err_(err), cancel_(cancelSignal) {}

void ConsoleView::event(const RunEvent& event) {
    switch (event.kind) {
    case RunEvent::Kind::Log:
        retireBar();
        std::fprintf(out_, "%s\n", event.text.c_str());
        std::fflush(out_);
        break;
    case RunEvent::Kind::Alert:
    case RunEvent::Kind::Prompt: {
        busy_.store(true);
        retireBar();
        std::fprintf(err_, "%s: %s\n", event.title.value_or(kApplicationName).c_str(),
                     event.text.c_str());
        std::fflush(err_);
        awaitAnswer();
        break;
    }
    case RunEvent::Kind::Progress:
        value_ = event.progress.value;
        max_ = event.progress.max;
        drawBar();
        break;
    case RunEvent::Kind::Diagnostic:
        if (verbose_) {
            retireBar();
            const bool ended = !event.text.empty() && event.text.back() == '\n';
            std::fprintf(err_, "%s%s", event.text.c_str(), ended ? "" : "\n");
            std::fflush(err_);
        }
        break;
    case RunEvent::Kind::Warning:
        retireBar();
        std::fprintf(err_, "%s: warning: %s\n", kProgram, event.text.c_str());
        std::fflush(err_);
        break;
    case RunEvent::Kind::Record:
        break;
    case RunEvent::Kind::Finished:
        finish();
        if (event.result.outcome == FlashOutcome::Success) {
            std::fprintf(
                err_, "%s\n",
                transferSummary(event.result.imageBytes, event.result.transferSeconds).c_str());
            std::fflush(err_);
        }
        break;
    }
}

bool ConsoleView::busy() {
    if (!busy_.load()) {
        return false;
    }
    if (cancelRequested()) {
        busy_.store(false); // nobody is left to answer the prompt
        return false;
    }
    // The operator answers with Enter; the end of the input answers for good.
    pollfd p{inputFd_, POLLIN, 0};
    if (poll(&p, 1, 0) > 0) {
        char buf[256];
        const ssize_t n = read(inputFd_, buf, sizeof buf);
        if (n <= 0) {
            inputEnded_ = true;
            busy_.store(false);
        } else if (std::string_view(buf, static_cast<size_t>(n)).find('\n') !=
                   std::string_view::npos) {
            busy_.store(false);
        }
    }
    return busy_.load();
}

void ConsoleView::awaitAnswer() {
    busy_.store(!yes_ && !inputEnded_);
}

std::string progressBarText(int32_t value, int32_t max, int width) {
    const double percent = progressPercent(value, max);
    const int filled = std::clamp(static_cast<int>(percent / 100.0 * width + 0.5), 0, width);
    return "[" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(width - filled), ' ') + "] " + progressLabel(value, max);
}

void ConsoleView::drawBar() {
    if (!progressBar_ || barRetired_ || (value_ == 0 && !barShown_)) {
        return;
    }
    std::fprintf(err_, "\r%s", progressBarText(value_, max_, 40).c_str());
    std::fflush(err_);
    barShown_ = true;
}

void ConsoleView::retireBar() {
    if (barShown_) {
        std::fputs("\r\033[K", err_);
        std::fflush(err_);
        barShown_ = false;
        barRetired_ = true;
    }
}

void ConsoleView::finish() {
    if (barShown_) {
        std::fputs("\n", err_);
        std::fflush(err_);
        barShown_ = false;
    }
}

} // namespace cli
