// POSIX: loader processes through fork and execv, their streams through pipes
// and poll, cancels and removals as signals.
#include "cli/children.h"
#include "flash/FlashRecord.h"
#include "station/Station.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace cli {

namespace {

using Clock = std::chrono::steady_clock;
using station::UnitId;

// How long a loader whose unit was taken out has to end before it is killed.
constexpr auto kRemovalGrace = std::chrono::seconds(5);

void closeFd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

std::string selfPath() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n <= 0 ? std::string(kProgram) : std::string(path, static_cast<size_t>(n));
}

struct Child {
    UnitId id = 0;
    pid_t pid = -1;
    int out = -1; // its event stream
    int err = -1; // its standard error
    int in = -1;  // its standard input
    std::string outLine;
    std::string errLine;
    Json record; // the last one it sent
    Clock::time_point started;
    std::optional<Clock::time_point> killAt;
};

// What a loader sent, in the order it came.
struct Output {
    UnitId id;
    std::optional<RunEvent> event;
    std::optional<std::string> text;
    station::RunEnd end; // when neither
};

} // namespace

struct ChildLauncher::Impl {
    const Options options;
    std::deque<Child> children; // running
    std::deque<Output> outputs;

    Child* find(UnitId id) {
        for (Child& child : children) {
            if (child.id == id) {
                return &child;
            }
        }
        return nullptr;
    }

    // Forks the loader; false with errno set when it could not be.
    bool fork(Child& child, const std::vector<std::string>& args) {
        int inPipe[2], outPipe[2], errPipe[2];
        if (pipe2(inPipe, O_CLOEXEC) != 0) {
            return false;
        }
        if (pipe2(outPipe, O_CLOEXEC) != 0) {
            close(inPipe[0]), close(inPipe[1]);
            return false;
        }
        if (pipe2(errPipe, O_CLOEXEC) != 0) {
            close(inPipe[0]), close(inPipe[1]), close(outPipe[0]), close(outPipe[1]);
            return false;
        }
        const std::string self = selfPath();
        std::vector<char*> argv{const_cast<char*>(self.c_str())};
        for (const auto& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        child.started = Clock::now();
        child.pid = ::fork();
        if (child.pid == 0) {
            setpgid(0, 0);
            dup2(inPipe[0], STDIN_FILENO);
            dup2(outPipe[1], STDOUT_FILENO);
            dup2(errPipe[1], STDERR_FILENO);
            execv(argv[0], argv.data());
            _exit(127);
        }
        const int forkError = errno;
        close(inPipe[0]);
        close(outPipe[1]);
        close(errPipe[1]);
        if (child.pid < 0) {
            close(inPipe[1]), close(outPipe[0]), close(errPipe[0]);
            errno = forkError;
            return false;
        }
        child.in = inPipe[1];
        child.out = outPipe[0];
        child.err = errPipe[0];
        return true;
    }

    void line(Child& child, bool events, const std::string& text) {
        auto event = events ? eventFromJson(Json::parse(text, nullptr, false)) : std::nullopt;
        if (!event) {
            outputs.push_back({child.id, std::nullopt, text, {}});
            return;
        }
        if (event->kind == RunEvent::Kind::Record) {
            child.record = event->record;
        }
        outputs.push_back({child.id, std::move(event), std::nullopt, {}});
    }

    // Takes in what `fd` (out or err) holds, each whole line; at the end of
    // both streams the loader is reaped.
    void read(Child& child, int& fd) {
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            return;
        }
        const bool events = &fd == &child.out;
        std::string& pending = events ? child.outLine : child.errLine;
        if (n > 0) {
            pending.append(buffer, static_cast<size_t>(n));
        }
        for (size_t end; (end = pending.find('\n')) != std::string::npos;
             pending.erase(0, end + 1)) {
            line(child, events, pending.substr(0, end));
        }
        if (n <= 0) {
            if (!pending.empty()) {
                line(child, events, pending);
                pending.clear();
            }
            closeFd(fd);
        }
    }

    void reap(Child& child) {
        int wstatus = 0;
        while (waitpid(child.pid, &wstatus, 0) < 0 && errno == EINTR) {
        }
        closeFd(child.in);
        station::RunEnd end;
        end.status = WIFEXITED(wstatus)     ? WEXITSTATUS(wstatus)
                     : WIFSIGNALED(wstatus) ? 128 + WTERMSIG(wstatus)
                                            : kExitFlashFailed;
        end.seconds = std::chrono::duration<double>(Clock::now() - child.started).count();
        if (child.record.is_object()) {
            end.outcome = outcomeNamed(station::recordText(child.record, "outcome"))
                              .value_or(FlashOutcome::SerialFailure);
            end.failure = recordFailure(child.record);
            end.record = std::move(child.record);
        } else {
            end.why = "the loader ended with status " + std::to_string(end.status);
        }
        outputs.push_back({child.id, std::nullopt, std::nullopt, std::move(end)});
    }
};

ChildLauncher::ChildLauncher(const Options& options) : impl_(new Impl{options, {}, {}}) {
    signal(SIGPIPE, SIG_IGN);
}

ChildLauncher::~ChildLauncher() {
    for (Child& child : impl_->children) {
        kill(child.pid, SIGKILL);
        waitpid(child.pid, nullptr, 0);
        closeFd(child.in), closeFd(child.out), closeFd(child.err);
    }
}

void ChildLauncher::start(UnitId id, const FlashJob& job) {
    Child& child = impl_->children.emplace_back();
    child.id = id;
    if (!impl_->fork(child, childArgs(impl_->options, job))) {
        const std::string why = std::string("cannot start a loader: ") + std::strerror(errno);
        impl_->children.pop_back();
        station::RunEnd end;
        end.why = why;
        end.status = kExitFlashFailed;
        impl_->outputs.push_back({id, std::nullopt, why, {}});
        impl_->outputs.push_back({id, std::nullopt, std::nullopt, end});
    }
}

// The loader's console reads a line as the operator's Enter; the end of its
// input at a prompt would cancel it instead.
void ChildLauncher::answer(UnitId id) {
    if (Child* child = impl_->find(id); child != nullptr && child->in >= 0) {
        (void)!write(child->in, "\n", 1);
    }
}

void ChildLauncher::cancel(UnitId id, station::Cancel how) {
    if (Child* child = impl_->find(id)) {
        closeFd(child->in);
        kill(child->pid, how == station::Cancel::Terminate ? SIGTERM : SIGINT);
    }
}

void ChildLauncher::remove(UnitId id) {
    if (Child* child = impl_->find(id)) {
        closeFd(child->in);
        kill(child->pid, SIGTERM);
        child->killAt = Clock::now() + kRemovalGrace;
    }
}

bool ChildLauncher::wait(std::chrono::milliseconds timeout, bool input) {
    std::vector<pollfd> fds;
    std::vector<std::pair<Child*, int*>> owners;
    auto until = Clock::now() + timeout;
    for (Child& child : impl_->children) {
        for (int* fd : {&child.out, &child.err}) {
            if (*fd >= 0) {
                fds.push_back({*fd, POLLIN, 0});
                owners.emplace_back(&child, fd);
            }
        }
        if (child.killAt) {
            until = std::min(until, *child.killAt);
        }
    }
    if (input) {
        fds.push_back({STDIN_FILENO, POLLIN, 0});
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    const int ready =
        poll(fds.data(), fds.size(), static_cast<int>(std::max<int64_t>(wait.count(), 0)));
    for (size_t i = 0; ready > 0 && i < owners.size(); ++i) {
        if (fds[i].revents != 0) {
            impl_->read(*owners[i].first, *owners[i].second);
        }
    }
    // A loader is reaped once both its streams have ended: by then it has
    // said all it will, its record included.
    for (auto child = impl_->children.begin(); child != impl_->children.end();) {
        if (child->out < 0 && child->err < 0) {
            impl_->reap(*child);
            child = impl_->children.erase(child);
            continue;
        }
        if (child->killAt && Clock::now() >= *child->killAt) {
            kill(child->pid, SIGKILL); // its unit is gone, and it hangs
            child->killAt.reset();
        }
        ++child;
    }
    return ready > 0 && input && fds.back().revents != 0;
}

void ChildLauncher::deliver(Listener& listener) {
    std::deque<Output> outputs;
    outputs.swap(impl_->outputs);
    for (const Output& output : outputs) {
        if (output.event) {
            listener.unitEvent(output.id, *output.event);
        } else if (output.text) {
            listener.unitText(output.id, *output.text);
        } else {
            listener.unitEnded(output.id, output.end);
        }
    }
}

} // namespace cli
