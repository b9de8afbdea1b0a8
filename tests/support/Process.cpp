#include "Process.h"

#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

Process::Process(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& env) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);

    std::map<std::string, std::string> merged;
    for (char** e = environ; *e != nullptr; ++e) {
        const char* eq = std::strchr(*e, '=');
        if (eq != nullptr) {
            merged[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
        }
    }
    for (const auto& [k, v] : env) {
        merged[k] = v;
    }
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : merged) {
        envStrings.push_back(k + "=" + v);
    }
    std::vector<char*> envp;
    for (auto& s : envStrings) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& a : args) {
        argp.push_back(a.data());
    }
    argp.push_back(nullptr);

    const int rc = posix_spawn(&pid_, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (rc != 0) {
        close(in[1]);
        close(out[0]);
        close(err[0]);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
    in_ = in[1];
    outReader_ = std::thread([this, fd = out[0]] { pump(fd, out_); });
    errReader_ = std::thread([this, fd = err[0]] { pump(fd, err_); });
}

Process::~Process() {
    if (!ended_) {
        signal(SIGKILL);
        wait(std::chrono::seconds(5));
    }
    closeInput();
    if (outReader_.joinable()) {
        outReader_.join();
    }
    if (errReader_.joinable()) {
        errReader_.join();
    }
}

void Process::pump(int fd, std::string& into) {
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        std::lock_guard lock(mutex_);
        into.append(buf, static_cast<size_t>(n));
    }
    close(fd);
}

void Process::writeInput(const std::string& text) {
    if (in_ >= 0) {
        (void)!::write(in_, text.data(), text.size());
    }
}

void Process::closeInput() {
    if (in_ >= 0) {
        close(in_);
        in_ = -1;
    }
}

void Process::signal(int sig) {
    if (!ended_ && pid_ > 0) {
        kill(pid_, sig);
    }
}

bool Process::waitFor(const std::string& text, const std::string& which,
                      std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard lock(mutex_);
            const std::string& s = which == "out" ? out_ : err_;
            if (s.find(text) != std::string::npos) {
                return true;
            }
        }
        if (!ended_ && waitpid(pid_, &status_, WNOHANG) == pid_) {
            ended_ = true;
        }
        if (ended_) {
            // Give the readers a moment to collect the last output.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::lock_guard lock(mutex_);
            const std::string& s = which == "out" ? out_ : err_;
            return s.find(text) != std::string::npos;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

bool Process::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    return waitFor(text, "out", timeout);
}

bool Process::waitForError(const std::string& text, std::chrono::milliseconds timeout) {
    return waitFor(text, "err", timeout);
}

int Process::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!ended_) {
        if (waitpid(pid_, &status_, WNOHANG) == pid_) {
            ended_ = true;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status_, 0);
            ended_ = true;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (outReader_.joinable()) {
        outReader_.join();
    }
    if (errReader_.joinable()) {
        errReader_.join();
    }
    if (WIFEXITED(status_)) {
        return WEXITSTATUS(status_);
    }
    return WIFSIGNALED(status_) ? 128 + WTERMSIG(status_) : -1;
}

std::string Process::output() {
    std::lock_guard lock(mutex_);
    return out_;
}

std::string Process::error() {
    std::lock_guard lock(mutex_);
    return err_;
}
