#include "cli/cli.h"

#include "flash/printable.h"
#include "flash/progress.h"
#include "serial/ZKSerial.h"
#include "station/Report.h"

#include <algorithm>
#include <cstdlib>

namespace cli {

const char* usage() {
    return "Usage: zkflash-cli [--port DEVICE]... [--all] [--yes] [--quiet] [--verbose] [--json]\n"
           "                  [--record FILE | --no-record] FIRMWARE\n"
           "       zkflash-cli --station [--slot SOCKET[=LABEL]]... [--yes] [--json]\n"
           "                  [--operator NAME] [--work-order ID] [--metrics FILE] FIRMWARE\n"
           "       zkflash-cli --list\n"
           "       zkflash-cli --doctor [--port DEVICE]... [--json]\n"
           "       zkflash-cli --report [--since TIME] [--work-order ID] [--unit SERIAL]\n"
           "                  [--json | --csv] [RECORDS]...\n"
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
           "  --metrics FILE with --station: keep the station's figures for Prometheus in\n"
           "                 FILE (a .prom file in node_exporter's textfile folder)\n"
           "  --list         list the USB-serial ports, one per line\n"
           "  --doctor       check this machine's setup for the adapters, with fixes\n"
           "                 (opens only the ports named with --port)\n"
           "  --report       yield, failures, sockets, images and run times of the flash\n"
           "                 records in RECORDS (default: the record file; also .gz); with\n"
           "                 --json as one JSON object, with --csv one row per record\n"
           "  --unit SERIAL  with --report: every run of the unit with this adapter serial\n"
           "  --since TIME   only records started since TIME (\"2026-12-07\",\n"
           "                 \"2026-12-07T14:00\"; local time without an offset)\n"
           "  --work-order ID\n"
           "                 only the records of work order ID\n"
           "\n"
           "Exit status: 0 application started, 1 flash failed, 2 usage or input error,\n"
           "130 cancelled (Ctrl-C), 143 terminated (SIGTERM); for several units the\n"
           "highest status of any unit.\n";
}

namespace {

// One command-line argument: an option with its value, if it takes one, or
// an operand (a firmware file, a record file).
struct Arg {
    std::string name; // "--port"; empty for an operand
    std::string value;
};

using Mode = Options::Mode;

// The options that take a value, and what the value is in an error.
constexpr std::pair<const char*, const char*> kValued[] = {
    {"--port", "a device"},          {"--record", "a file"},
    {"--since", "a date"},           {"--work-order", "an ID"},
    {"--operator", "a name"},        {"--slot", "a socket"},
    {"--record-field", "a field"},   {"--open-retry", "milliseconds"},
    {"--unit", "an adapter serial"}, {"--metrics", "a file"},
};

constexpr std::pair<const char*, const char*> kShort[] = {
    {"-h", "--help"}, {"-y", "--yes"}, {"-q", "--quiet"}, {"-v", "--verbose"}};

constexpr const char* kFlags[] = {"--help",    "--version",   "--list",  "--doctor",  "--report",
                                  "--station", "--yes",       "--quiet", "--verbose", "--all",
                                  "--json",    "--no-record", "--csv"};

const char* valueKind(std::string_view name) {
    for (const auto& [option, kind] : kValued) {
        if (name == option) {
            return kind;
        }
    }
    return nullptr;
}

// Splits the command line into options and operands; after "--" every
// argument is an operand.
std::optional<std::vector<Arg>> split(const std::vector<std::string>& args, std::string& error) {
    std::vector<Arg> out;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (arg == "--") {
            for (++i; i < args.size(); ++i) {
                out.push_back({"", args[i]});
            }
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            out.push_back({"", arg});
            continue;
        }
        for (const auto& [abbreviation, option] : kShort) {
            arg = arg == abbreviation ? option : arg;
        }
        const std::string name = arg.substr(0, arg.find('='));
        if (const char* kind = valueKind(name)) {
            std::string value =
                arg == name ? (i + 1 < args.size() ? args[++i] : "") : arg.substr(name.size() + 1);
            if (value.empty()) {
                error = name + " needs " + kind;
                return std::nullopt;
            }
            out.push_back({name, std::move(value)});
        } else if (std::find(std::begin(kFlags), std::end(kFlags), arg) != std::end(kFlags)) {
            out.push_back({arg, ""});
        } else {
            error = "unknown option " + args[i];
            return std::nullopt;
        }
    }
    return out;
}

bool has(const std::vector<Arg>& args, std::string_view name) {
    return std::any_of(args.begin(), args.end(), [&](const Arg& a) { return a.name == name; });
}

// The first option of `args` that the mode does not take, if any.
const Arg* outside(const std::vector<Arg>& args, std::initializer_list<std::string_view> taken) {
    for (const Arg& arg : args) {
        if (!arg.name.empty() && std::find(taken.begin(), taken.end(), arg.name) == taken.end()) {
            return &arg;
        }
    }
    return nullptr;
}

std::vector<std::string> operands(const std::vector<Arg>& args) {
    std::vector<std::string> found;
    for (const Arg& arg : args) {
        if (arg.name.empty()) {
            found.push_back(arg.value);
        }
    }
    return found;
}

// The options every flashing mode shares: prompts, output and the record.
bool takeRunOption(const Arg& arg, Options& options) {
    if (arg.name == "--yes") {
        options.yes = true;
    } else if (arg.name == "--quiet") {
        options.quiet = true;
    } else if (arg.name == "--verbose") {
        options.verbose = true;
    } else if (arg.name == "--json") {
        options.json = true;
    } else if (arg.name == "--no-record") {
        options.noRecord = true;
    } else if (arg.name == "--record") {
        options.record = arg.value;
    } else if (arg.name == "--operator") {
        options.operatorName = arg.value;
    } else if (arg.name == "--work-order") {
        options.workOrder = arg.value;
    } else {
        return false;
    }
    return true;
}

// The one firmware file of a flashing mode.
bool takeFirmware(const std::vector<Arg>& args, Options& options, std::string& error) {
    const std::vector<std::string> files = operands(args);
    if (files.size() > 1) {
        error = "one firmware file at a time";
        return false;
    }
    if (files.empty()) {
        error = "no firmware file given";
        return false;
    }
    if (options.noRecord && !options.record.empty()) {
        error = "--record and --no-record exclude each other";
        return false;
    }
    options.firmware = files.front();
    return true;
}

std::optional<Options> parseFlash(const std::vector<Arg>& args, std::string& error) {
    Options options;
    for (const Arg& arg : args) {
        if (arg.name.empty() || takeRunOption(arg, options)) {
            continue;
        }
        if (arg.name == "--all") {
            options.all = true;
        } else if (arg.name == "--record-field") {
            options.recordFields.push_back(arg.value);
        } else if (arg.name == "--open-retry") {
            options.openRetryMs =
                static_cast<uint32_t>(std::strtoul(arg.value.c_str(), nullptr, 10));
        } else if (arg.name == "--port") {
            if (std::find(options.ports.begin(), options.ports.end(), arg.value) !=
                options.ports.end()) {
                error = "--port " + arg.value + " given twice";
                return std::nullopt;
            }
            options.ports.push_back(arg.value);
        } else {
            error = arg.name == "--since" || arg.name == "--csv" || arg.name == "--unit"
                        ? arg.name + " goes with --report"
                    : arg.name == "--slot" || arg.name == "--metrics"
                        ? arg.name + " goes with --station"
                        : arg.name + " goes with another mode";
            return std::nullopt;
        }
    }
    if (!takeFirmware(args, options, error)) {
        return std::nullopt;
    }
    if (options.all && !options.ports.empty()) {
        error = "--all takes no --port";
        return std::nullopt;
    }
    return options;
}

std::optional<Options> parseStation(const std::vector<Arg>& args, std::string& error) {
    Options options;
    options.mode = Mode::Station;
    for (const Arg& arg : args) {
        if (arg.name.empty() || arg.name == "--station" || takeRunOption(arg, options)) {
            continue;
        }
        if (arg.name == "--slot") {
            options.slots.push_back(arg.value);
        } else if (arg.name == "--metrics") {
            options.metrics = arg.value;
        } else {
            error = arg.name == "--list" || arg.name == "--port" || arg.name == "--all"
                        ? "--station takes no --list, --port or --all: it watches the sockets"
                        : "--station takes no " + arg.name;
            return std::nullopt;
        }
    }
    if (!takeFirmware(args, options, error)) {
        return std::nullopt;
    }
    return options;
}

std::optional<Options> parseReport(const std::vector<Arg>& args, std::string& error) {
    Options options;
    options.mode = Mode::Report;
    for (const Arg& arg : args) {
        if (arg.name.empty()) {
            options.records.push_back(arg.value);
        } else if (arg.name == "--json") {
            options.json = true;
        } else if (arg.name == "--csv") {
            options.csv = true;
        } else if (arg.name == "--unit") {
            options.unit = arg.value;
        } else if (arg.name == "--work-order") {
            options.workOrder = arg.value;
        } else if (arg.name == "--since") {
            if (!station::parseIsoTime(arg.value)) {
                error = "--since " + arg.value + ": not a date (2026-12-07, 2026-12-07T14:00)";
                return std::nullopt;
            }
            options.since = arg.value;
        } else if (arg.name != "--report") {
            const bool output = arg.name == "--list" || arg.name == "--port" ||
                                arg.name == "--all" || arg.name == "--record" ||
                                arg.name == "--no-record";
            error = output ? "--report takes no --list, --port, --all, --record or --no-record"
                           : "--report takes no " + arg.name;
            return std::nullopt;
        }
    }
    if (options.csv && options.json) {
        error = "--csv and --json exclude each other";
        return std::nullopt;
    }
    return options;
}

std::optional<Options> parseDoctor(const std::vector<Arg>& args, std::string& error) {
    Options options;
    options.mode = Mode::Doctor;
    if (!operands(args).empty()) {
        error = "--doctor takes no firmware file";
        return std::nullopt;
    }
    if (const Arg* odd = outside(args, {"--doctor", "--port", "--json"})) {
        error = "--doctor takes no " + odd->name;
        return std::nullopt;
    }
    for (const Arg& arg : args) {
        if (arg.name == "--json") {
            options.json = true;
        } else if (arg.name == "--port") {
            options.ports.push_back(arg.value);
        }
    }
    return options;
}

std::optional<Options> parseList(const std::vector<Arg>& args, std::string& error) {
    Options options;
    options.mode = Mode::List;
    if (!operands(args).empty()) {
        error = "--list takes no firmware file";
        return std::nullopt;
    }
    if (const Arg* odd = outside(args, {"--list"})) {
        error = "--list takes no " + odd->name;
        return std::nullopt;
    }
    return options;
}

} // namespace

std::optional<Options> parseArgs(const std::vector<std::string>& args, std::string& error) {
    // Help and version win wherever they stand, even beside a mistake.
    for (const std::string& arg : args) {
        if (arg == "--") {
            break;
        }
        if (arg == "--help" || arg == "-h" || arg == "--version") {
            Options options;
            options.mode = arg == "--version" ? Mode::Version : Mode::Help;
            return options;
        }
    }
    const auto split_ = split(args, error);
    if (!split_) {
        return std::nullopt;
    }
    const std::vector<Arg>& parts = *split_;
    if (has(parts, "--doctor")) {
        return parseDoctor(parts, error);
    }
    if (has(parts, "--report")) {
        return parseReport(parts, error);
    }
    if (has(parts, "--station")) {
        return parseStation(parts, error);
    }
    if (has(parts, "--list")) {
        return parseList(parts, error);
    }
    return parseFlash(parts, error);
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
        std::fprintf(out_, "%s\n", printable(event.text, true).c_str());
        std::fflush(out_);
        break;
    case RunEvent::Kind::Alert:
    case RunEvent::Kind::Prompt: {
        retireBar();
        std::fprintf(err_, "%s: %s\n", printable(event.title.value_or(kApplicationName)).c_str(),
                     printable(event.text, true).c_str());
        if (event.kind == RunEvent::Kind::Prompt) {
            if (!yes_) {
                std::fputs("Press Enter when done.\n", err_);
            }
            awaitAnswer();
        }
        std::fflush(err_);
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
            std::fprintf(err_, "%s%s", printable(event.text, true).c_str(), ended ? "" : "\n");
            std::fflush(err_);
        }
        break;
    case RunEvent::Kind::Warning:
        retireBar();
        std::fprintf(err_, "%s: warning: %s\n", kProgram, printable(event.text, true).c_str());
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
        } else if (event.result.outcome == FlashOutcome::Cancelled) {
            std::fprintf(err_, "%s\n", cancelledNote(event.result));
        }
        std::fflush(err_);
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
    // The operator answers with Enter. Input that ends first answers nothing:
    // a script without --yes must not flash a unit nobody has switched.
    switch (console::pollInput(inputFd_)) {
    case console::Input::Line:
        busy_.store(false);
        break;
    case console::Input::Ended:
        unanswered_.store(true);
        busy_.store(false);
        std::fprintf(err_,
                     "%s: standard input ended before the prompt was answered: answer it "
                     "with Enter, or pass --yes\n",
                     kProgram);
        std::fflush(err_);
        break;
    case console::Input::Nothing:
        break;
    }
    return busy_.load();
}

void ConsoleView::awaitAnswer() {
    busy_.store(!yes_);
}

std::string listLine(const std::string& path, const SerialPortInfo& info) {
    return printable(path) + "\t" + printable(info.description()) + "\t" + printable(info.socket) +
           "\n";
}

std::string progressBarText(int32_t value, int32_t max, int width) {
    // Clamped before it becomes a count of cells: a loader's progress may be
    // anything, 5 of 0 (infinite) included.
    const double cells = progressPercent(value, max) / 100.0 * width + 0.5;
    const int filled = static_cast<int>(std::clamp(cells, 0.0, static_cast<double>(width)));
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
