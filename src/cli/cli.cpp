#include "cli/cli.h"

#include "flash/progress.h"

#include <algorithm>
#include <poll.h>
#include <unistd.h>

namespace cli {

const char* usage() {
    return "Usage: zkflash-cli [--port DEVICE] [--yes] [--quiet] FIRMWARE\n"
           "       zkflash-cli --list\n"
           "       zkflash-cli --help | --version\n"
           "\n"
           "Loads FIRMWARE into a radio unit over a USB-serial adapter: a name ending in\n"
           "\".binrx\" goes to the receiver unit, every other name to the transmitter.\n"
           "\n"
           "  --port DEVICE  serial device to use (default: the first USB-serial port)\n"
           "  --yes          answer operator prompts at once\n"
           "  --quiet        no progress bar\n"
           "  --list         list the USB-serial ports, one per line\n"
           "\n"
           "Exit status: 0 application started, 1 flash failed, 2 usage or input error,\n"
           "130 cancelled (Ctrl-C), 143 terminated (SIGTERM).\n";
}

std::optional<Options> parseArgs(const std::vector<std::string>& args, std::string& error) {
    Options options;
    bool listed = false;
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
        } else if (arg == "--yes" || arg == "-y") {
            options.yes = true;
        } else if (arg == "--quiet" || arg == "-q") {
            options.quiet = true;
        } else if (arg == "--port" || arg.rfind("--port=", 0) == 0) {
            if (arg == "--port") {
                if (i + 1 >= args.size() || args[i + 1].empty()) {
                    error = "--port needs a device";
                    return std::nullopt;
                }
                options.port = args[++i];
            } else {
                options.port = arg.substr(7);
            }
            if (options.port.empty()) {
                error = "--port needs a device";
                return std::nullopt;
            }
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "--") {
            error = "unknown option " + arg;
            return std::nullopt;
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
    return options;
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

ConsoleSink::ConsoleSink(bool yes, bool progressBar, int inputFd, std::FILE* out, std::FILE* err)
    : yes_(yes), progressBar_(progressBar), inputFd_(inputFd), out_(out), err_(err) {}

void ConsoleSink::log(const std::string& text, const std::string& cr) {
    retireBar();
    std::fputs(text.c_str(), out_);
    std::fputs(cr.c_str(), out_);
    std::fflush(out_);
}

void ConsoleSink::showAlertWithMessage(const std::string& message,
                                       const std::optional<std::string>& title) {
    busy_.store(true);
    retireBar();
    std::string text = message;
    if (!text.empty() && text.back() == '\n') {
        text.pop_back(); // serial failure texts end their line themselves
    }
    std::fprintf(err_, "%s: %s\n", title.value_or(kApplicationName).c_str(), text.c_str());
    std::fflush(err_);
    if (yes_ || inputEnded_) {
        busy_.store(false);
    }
}

bool ConsoleSink::busy() {
    if (!busy_.load()) {
        return false;
    }
    if (cancel_.load()) {
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

void ConsoleSink::setProgress(int32_t value, int32_t max) {
    const auto now = std::chrono::steady_clock::now();
    if (transferStart_ == std::chrono::steady_clock::time_point{}) {
        transferStart_ = now;
    }
    if (value == max && max > 0) {
        transferEnd_ = now;
    }
    value_ = value;
    max_ = max;
    drawBar();
}

double ConsoleSink::transferSeconds() const {
    if (transferEnd_ < transferStart_ || transferEnd_ == std::chrono::steady_clock::time_point{}) {
        return -1.0;
    }
    return std::chrono::duration<double>(transferEnd_ - transferStart_).count();
}

void ConsoleSink::drawBar() {
    if (!progressBar_ || barRetired_ || (value_ == 0 && !barShown_)) {
        return;
    }
    constexpr int kWidth = 40;
    const double percent = progressPercent(value_, max_);
    const int filled = std::clamp(static_cast<int>(percent / 100.0 * kWidth + 0.5), 0, kWidth);
    std::fprintf(err_, "\r[%s%s] %s", std::string(static_cast<size_t>(filled), '#').c_str(),
                 std::string(static_cast<size_t>(kWidth - filled), ' ').c_str(),
                 progressLabel(value_, max_).c_str());
    std::fflush(err_);
    barShown_ = true;
}

void ConsoleSink::retireBar() {
    if (barShown_) {
        std::fputs("\r\033[K", err_);
        std::fflush(err_);
        barShown_ = false;
        barRetired_ = true;
    }
}

void ConsoleSink::finish() {
    if (barShown_) {
        std::fputs("\n", err_);
        std::fflush(err_);
        barShown_ = false;
    }
}

} // namespace cli
