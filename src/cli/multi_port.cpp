#include "cli/multi_port.h"

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

// One unit's loader as the parent sees it.
struct Child {
    std::string port;
    pid_t pid = -1;
    int out = -1; // its event stream
    int err = -1; // its standard error
    int in = -1;  // its standard input: closing it answers its prompt
    std::string outLine;
    std::string errLine;
    int32_t value = 0;
    int32_t max = 100;
    Json record; // null until the child has reported it
    int status = -1;
    Clock::time_point started;
    Clock::time_point ended;
};

void closeFd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

std::string selfPath(const char* fallback) {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return fallback;
    }
    return std::string(path, static_cast<size_t>(n));
}

// Starts the loader for one port. The child gets a process group of its own:
// a terminal's Ctrl-C reaches only this parent, which passes it on once.
bool spawn(Child& child, const std::vector<std::string>& args) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        return false;
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]), close(in[1]);
        return false;
    }
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(in[0]), close(in[1]), close(out[0]), close(out[1]);
        return false;
    }
    std::vector<char*> argv;
    for (const auto& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    child.started = Clock::now();
    child.pid = fork();
    if (child.pid == 0) {
        setpgid(0, 0);
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (child.pid < 0) {
        close(in[1]), close(out[0]), close(err[0]);
        return false;
    }
    child.in = in[1];
    child.out = out[0];
    child.err = err[0];
    return true;
}

// Writes `text` with every line behind "<port>: ".
void writePrefixed(std::FILE* to, const std::string& port, const std::string& text) {
    size_t start = 0;
    do {
        const size_t end = text.find('\n', start);
        std::fprintf(to, "%s: %s\n", port.c_str(), text.substr(start, end - start).c_str());
        start = end == std::string::npos ? end : end + 1;
    } while (start != std::string::npos);
    std::fflush(to);
}

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

        const std::string self = selfPath("zkflash-cli");
        for (Child& child : children_) {
            std::vector<std::string> args{self, "--json", "--port", child.port};
            if (options_.yes) {
                args.push_back("--yes");
            }
            if (options_.noRecord) {
                args.push_back("--no-record");
            } else if (!options_.record.empty()) {
                args.push_back("--record=" + options_.record);
            }
            args.push_back("--");
            args.push_back(options_.firmware);
            if (!spawn(child, args)) {
                const std::string reason = std::strerror(errno);
                writePrefixed(stderr, child.port, "cannot start a loader: " + reason);
                child.status = kExitFlashFailed;
                child.ended = child.started;
            } else if (options_.yes) {
                closeFd(child.in);
            }
        }
        loop();
        clearBoard();
        if (!options_.json) {
            printTable();
        }
        std::vector<int> statuses;
        for (const Child& child : children_) {
            statuses.push_back(child.status);
        }
        return combinedExitStatus(statuses);
    }

private:
    void loop() {
        for (;;) {
            if (const int sig = pendingSignal) {
                pendingSignal = 0;
                for (const Child& child : children_) {
                    if (child.status < 0 && child.pid > 0) {
                        kill(child.pid, sig);
                    }
                }
            }
            std::vector<pollfd> fds;
            std::vector<std::pair<Child*, int*>> owners;
            for (Child& child : children_) {
                for (int* fd : {&child.out, &child.err}) {
                    if (*fd >= 0) {
                        fds.push_back({*fd, POLLIN, 0});
                        owners.emplace_back(&child, fd);
                    }
                }
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
                    readFrom(*owners[i].first, *owners[i].second);
                }
            }
            if (prompting_ && fds.back().revents != 0) {
                readAnswer();
            }
        }
    }

    void readFrom(Child& child, int& fd) {
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            return;
        }
        const bool events = &fd == &child.out;
        std::string& line = events ? child.outLine : child.errLine;
        if (n > 0) {
            line.append(buffer, static_cast<size_t>(n));
        }
        for (size_t end; (end = line.find('\n')) != std::string::npos; line.erase(0, end + 1)) {
            handleLine(child, events, line.substr(0, end));
        }
        if (n <= 0) {
            if (!line.empty()) {
                handleLine(child, events, line);
                line.clear();
            }
            closeFd(fd);
            if (child.out < 0 && child.err < 0) {
                reap(child);
            }
        }
    }

    void reap(Child& child) {
        int status = 0;
        while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
        }
        child.ended = Clock::now();
        child.status = WIFEXITED(status)     ? WEXITSTATUS(status)
                       : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                             : kExitFlashFailed;
        closeFd(child.in);
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
            closeFd(child.in);
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
                                      : "exit status " + std::to_string(child.status);
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.1f",
                          std::chrono::duration<double>(child.ended - child.started).count());
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
