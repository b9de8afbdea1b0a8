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
    LoaderOutputs::Streams streams;
    Clock::time_point started;
    std::optional<Clock::time_point> killAt;
};

} // namespace

struct ChildLauncher::Impl {
    const Options options;
    std::deque<Child> children; // running
    LoaderOutputs outputs;

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

    // Takes in what `fd` (out or err) holds, each whole line; at the end of
    // both streams the loader is reaped.
    void read(Child& child, int& fd) {
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            return;
        }
        outputs.take(child.id, child.streams, &fd == &child.out,
                     std::string_view(buffer, n > 0 ? static_cast<size_t>(n) : 0), n <= 0);
        if (n <= 0) {
            closeFd(fd);
        }
    }

    void reap(Child& child) {
        int wstatus = 0;
        while (waitpid(child.pid, &wstatus, 0) < 0 && errno == EINTR) {
        }
        closeFd(child.in);
        const int status = WIFEXITED(wstatus)     ? WEXITSTATUS(wstatus)
                           : WIFSIGNALED(wstatus) ? 128 + WTERMSIG(wstatus)
                                                  : kExitFlashFailed;
        outputs.ended(child.id, child.streams, status,
                      std::chrono::duration<double>(Clock::now() - child.started).count());
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
        impl_->outputs.notStarted(id,
                                  std::string("cannot start a loader: ") + std::strerror(errno));
        impl_->children.pop_back();
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
    impl_->outputs.deliver(listener);
}

} // namespace cli
