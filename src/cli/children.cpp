#include "cli/children.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace cli {

namespace {

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

} // namespace

bool ChildLoader::start(const std::vector<std::string>& args) {
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
    started = Clock::now();
    pid = fork();
    if (pid == 0) {
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
    if (pid < 0) {
        close(inPipe[1]), close(outPipe[0]), close(errPipe[0]);
        errno = forkError;
        return false;
    }
    in = inPipe[1];
    out = outPipe[0];
    err = errPipe[0];
    return true;
}

void ChildLoader::read(int& fd, const LineHandler& onLine) {
    if (fd < 0) {
        return; // ended earlier in the same round of polling
    }
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) {
        return;
    }
    const bool events = &fd == &out;
    std::string& line = events ? outLine : errLine;
    if (n > 0) {
        line.append(buffer, static_cast<size_t>(n));
    }
    for (size_t end; (end = line.find('\n')) != std::string::npos; line.erase(0, end + 1)) {
        onLine(events, line.substr(0, end));
    }
    if (n <= 0) {
        if (!line.empty()) {
            onLine(events, line);
            line.clear();
        }
        closeFd(fd);
        if (out < 0 && err < 0) {
            reap();
        }
    }
}

void ChildLoader::reap() {
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    ended = Clock::now();
    status = WIFEXITED(wstatus)     ? WEXITSTATUS(wstatus)
             : WIFSIGNALED(wstatus) ? 128 + WTERMSIG(wstatus)
                                    : kExitFlashFailed;
    closeFd(in);
}

void ChildLoader::answer() {
    // A line is the answer; the end of the input would cancel the child's run.
    if (in >= 0) {
        const ssize_t written = write(in, "\n", 1);
        static_cast<void>(written); // a child that has gone needs no answer
    }
}

void ChildLoader::signal(int sig) const {
    if (running()) {
        kill(pid, sig);
    }
}

void ChildLoader::pollable(std::vector<pollfd>& fds, std::vector<int*>& owners) {
    for (int* fd : {&out, &err}) {
        if (*fd >= 0) {
            fds.push_back({*fd, POLLIN, 0});
            owners.push_back(fd);
        }
    }
}

std::vector<std::string> childArgs(const Options& options, const std::string& port,
                                   const std::vector<std::string>& extra) {
    std::vector<std::string> args{"--json", "--port", port};
    if (options.yes) {
        args.push_back("--yes");
    }
    if (options.noRecord) {
        args.push_back("--no-record");
    } else if (!options.record.empty()) {
        args.push_back("--record=" + options.record);
    }
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back("--");
    args.push_back(options.firmware);
    return args;
}

void writePrefixed(std::FILE* to, const std::string& prefix, const std::string& text) {
    size_t start = 0;
    do {
        const size_t end = text.find('\n', start);
        std::fprintf(to, "%s: %s\n", prefix.c_str(), text.substr(start, end - start).c_str());
        start = end == std::string::npos ? end : end + 1;
    } while (start != std::string::npos);
    std::fflush(to);
}

} // namespace cli
