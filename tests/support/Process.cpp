#include "Process.h"

#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <utility>

Process::Process(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& env) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    if ((pid_ = fork()) == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (const auto& [name, value] : env) {
            setenv(name.c_str(), value.c_str(), 1);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    reader_ = std::thread([this, out = out[0], err = err[0]] { readUntilClosed(out, err); });
}

Process::~Process() {
    wait(std::chrono::milliseconds(0));
    close(in_);
    reader_.join();
}

void Process::readUntilClosed(int out, int err) {
    pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        poll(fds, 2, -1);
        for (int i = 0; i < 2; ++i) {
            char buf[4096];
            const ssize_t n = fds[i].revents != 0 ? read(fds[i].fd, buf, sizeof buf) : -1;
            std::lock_guard lock(mutex_);
            if (n > 0) {
                // Lines as a Windows program ends them too: without the \r.
                std::string& text = i == 0 ? out_ : err_;
                for (ssize_t k = 0; k < n; ++k) {
                    if (buf[k] != '\r') {
                        text.push_back(buf[k]);
                    }
                }
            } else if (fds[i].revents != 0) {
                close(std::exchange(fds[i].fd, -1));
            }
            grown_.notify_all();
        }
    }
    std::lock_guard lock(mutex_);
    closed_ = true;
    grown_.notify_all();
}

bool Process::waitFor(const std::string& stream, const std::string& text,
                      std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    grown_.wait_for(lock, timeout,
                    [&] { return closed_ || stream.find(text) != std::string::npos; });
    return stream.find(text) != std::string::npos;
}

int Process::wait(std::chrono::milliseconds timeout) {
    bool killed = false;
    for (const auto deadline = std::chrono::steady_clock::now() + timeout; status_ < 0;) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = status;
        } else if ((killed = std::chrono::steady_clock::now() >= deadline)) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, &status_, 0);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    std::unique_lock lock(mutex_); // the last output is in once both streams are closed
    grown_.wait_for(lock, std::chrono::seconds(5), [&] { return closed_; });
    return killed ? -1 : WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}
