#include "cli/multi_port.h"

#include "cli/children.h"

#include "flash/FlashRecord.h"
#include "serial/ZKSerial.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace cli {

namespace {

using Clock = std::chrono::steady_clock;

volatile sig_atomic_t pendingSignal = 0;

void onSignal(int sig) {
    pendingSignal = sig;
}

// One unit's loader and what it has told.
struct Child {
    std::string port;
    ChildLoader loader;
    int32_t value = 0;
    int32_t max = 100;
    Json record; // null until the child has reported it
};

class Several {
public:
    Several(const Options& options, const std::vector<std::string>& ports)
        : options_(options), board_(!options.quiet && !options.json && isatty(STDERR_FILENO)) {
        for (const auto& port : ports) {
            children_.emplace_back().port = port;
        }
    }

    int run() {
        onCancelSignals(onSignal);
        signal(SIGPIPE, SIG_IGN); // a child gone early must not take the parent along

        for (Child& child : children_) {
            if (!child.loader.start(childArgs(options_, child.port))) {
                const std::string reason = std::strerror(errno);
                writePrefixed(stderr, child.port, "cannot start a loader: " + reason);
                child.loader.status = kExitFlashFailed;
                child.loader.ended = child.loader.started;
            } else if (options_.yes) {
                child.loader.answer();
            }
        }
        loop();
        clearBoard();
        if (!options_.json) {
            printTable();
        }
        std::vector<int> statuses;
        for (const Child& child : children_) {
            statuses.push_back(child.loader.status);
        }
        return combinedExitStatus(statuses);
    }

private:
    void loop() {
        for (;;) {
            if (const int sig = pendingSignal) {
                pendingSignal = 0;
                for (const Child& child : children_) {
                    child.loader.signal(sig);
                }
            }
            std::vector<pollfd> fds;
            std::vector<int*> owners;
            std::vector<Child*> children;
            for (Child& child : children_) {
                child.loader.pollable(fds, owners);
                children.resize(owners.size(), &child);
            }
            if (fds.empty()) {
                return;
            }
            if (prompting_) {
                fds.push_back({STDIN_FILENO, POLLIN, 0});
            }
            if (poll(fds.data(), fds.size(), 100) <= 0) {
                continue; // a signal, or nothing yet
            }
            for (size_t i = 0; i < owners.size(); ++i) {
                if (fds[i].revents != 0) {
                    Child& child = *children[i];
                    child.loader.read(*owners[i], [&](bool events, const std::string& line) {
                        handleLine(child, events, line);
                    });
                }
            }
            if (prompting_ && fds.back().revents != 0) {
                readAnswer();
            }
        }
    }

    void handleLine(Child& child, bool events, const std::string& line) {
        const auto event = events ? eventFromJson(Json::parse(line, nullptr, false)) : std::nullopt;
        if (!event) {
            show(stderr, child.port, line);
            return;
        }
        switch (event->kind) {
        case RunEvent::Kind::Progress:
            child.value = event->progress.value;
            child.max = event->progress.max;
            drawBoard();
            break;
        case RunEvent::Kind::Record:
            child.record = event->record;
            break;
        case RunEvent::Kind::Prompt:
            if (!asked_) {
                // Asked once for every receiver; the answer releases them all.
                asked_ = true;
                prompting_ = !options_.yes;
                show(stderr, "", event->title.value_or(kApplicationName) + ": " + event->text);
            }
            break;
        default:
            break;
        }
        if (options_.json) {
            Json json = eventJson(*event);
            json["port"] = child.port;
            std::fputs(jsonLine(json).c_str(), stdout);
            std::fflush(stdout);
            return;
        }
        switch (event->kind) {
        case RunEvent::Kind::Log:
            show(stdout, child.port, event->text);
            break;
        case RunEvent::Kind::Alert:
            show(stderr, child.port, event->title.value_or(kApplicationName) + ": " + event->text);
            break;
        case RunEvent::Kind::Diagnostic:
            if (options_.verbose) {
                show(stderr, child.port, event->text);
            }
            break;
        case RunEvent::Kind::Warning:
            show(stderr, child.port, std::string(kProgram) + ": warning: " + event->text);
            break;
        default:
            break;
        }
    }

    // Enter, or the end of the input, answers the prompt for every unit.
    void readAnswer() {
        char buffer[256];
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            return;
        }
        if (n > 0 && std::memchr(buffer, '\n', static_cast<size_t>(n)) == nullptr) {
            return;
        }
        prompting_ = false;
        for (Child& child : children_) {
            child.loader.answer();
        }
    }

    // Writes the text, each line behind "<port>: " when a port is given.
    void show(std::FILE* to, const std::string& port, std::string text) {
        clearBoard();
        while (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        if (port.empty()) {
            std::fprintf(to, "%s\n", text.c_str());
            std::fflush(to);
        } else {
            writePrefixed(to, port, text);
        }
        drawBoard();
    }

    // One progress line per port on the terminal, redrawn in place.
    void drawBoard() {
        if (!board_) {
            return;
        }
        const bool any = std::any_of(children_.begin(), children_.end(),
                                     [](const Child& child) { return child.value > 0; });
        if (!any) {
            return;
        }
        clearBoard();
        size_t width = 0;
        for (const Child& child : children_) {
            width = std::max(width, child.port.size());
        }
        for (const Child& child : children_) {
            std::fprintf(stderr, "%-*s %s\n", static_cast<int>(width), child.port.c_str(),
                         progressBarText(child.value, child.max, 30).c_str());
        }
        std::fflush(stderr);
        boardLines_ = children_.size();
    }

    void clearBoard() {
        if (boardLines_ > 0) {
            std::fprintf(stderr, "\033[%zuF\033[J", boardLines_);
            std::fflush(stderr);
            boardLines_ = 0;
        }
    }

    void printTable() const {
        std::vector<std::vector<std::string>> rows{
            {"Port", "Adapter serial", "Outcome", "Seconds"}};
        for (const Child& child : children_) {
            std::string serial = child.record.is_object() ? child.record.value("adapter_serial", "")
                                                          : Serial_PortInfo(child.port).serial;
            std::string outcome = child.record.is_object()
                                      ? child.record.value("outcome", "")
                                      : "exit status " + std::to_string(child.loader.status);
            char seconds[32];
            std::snprintf(
                seconds, sizeof seconds, "%.1f",
                std::chrono::duration<double>(child.loader.ended - child.loader.started).count());
            rows.push_back({child.port, serial.empty() ? "-" : serial, outcome, seconds});
        }
        std::vector<size_t> widths(rows.front().size(), 0);
        for (const auto& row : rows) {
            for (size_t i = 0; i < row.size(); ++i) {
                widths[i] = std::max(widths[i], row[i].size());
            }
        }
        for (const auto& row : rows) {
            std::string line;
            for (size_t i = 0; i < row.size(); ++i) {
                line += i + 1 < row.size()
                            ? row[i] + std::string(widths[i] - row[i].size() + 2, ' ')
                            : std::string(widths[i] - row[i].size(), ' ') + row[i];
            }
            std::puts(line.c_str());
        }
        std::fflush(stdout);
    }

    const Options& options_;
    const bool board_;
    std::vector<Child> children_;
    size_t boardLines_ = 0;
    bool asked_ = false;
    bool prompting_ = false;
};

} // namespace

int combinedExitStatus(const std::vector<int>& statuses) {
    return statuses.empty() ? kExitOk : *std::max_element(statuses.begin(), statuses.end());
}

int flashSeveral(const Options& options, const std::vector<std::string>& ports) {
    return Several(options, ports).run();
}

} // namespace cli
