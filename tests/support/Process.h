// Runs a program for end-to-end tests: its standard input is a pipe the test
// writes to, its standard output and error are collected as it runs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

class Process {
public:
    // `env` is set on top of the test's own environment.
    Process(const std::vector<std::string>& argv,
            const std::map<std::string, std::string>& env = {});
    ~Process();

    void writeInput(const std::string& text) { (void)!::write(in_, text.data(), text.size()); }
    void signal(int sig) { ::kill(pid_, sig); }
    pid_t pid() const { return pid_; }

    // Waits until standard output (or error) holds `text`; false on time-out
    // or when the program closed it without writing it.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
        return waitFor(out_, text, timeout);
    }
    bool waitForError(const std::string& text, std::chrono::milliseconds timeout) {
        return waitFor(err_, text, timeout);
    }
    // Waits for the program to end; returns its exit status (128 + signal when
    // killed), or -1 on time-out (the program is then killed).
    int wait(std::chrono::milliseconds timeout);

    std::string output() { return copy(out_); }
    std::string error() { return copy(err_); }

private:
    bool waitFor(const std::string& stream, const std::string& text,
                 std::chrono::milliseconds timeout);
    void readUntilClosed(int out, int err);
    std::string copy(const std::string& stream) {
        std::lock_guard lock(mutex_);
        return stream;
    }

    pid_t pid_ = -1;
    int in_ = -1;
    int status_ = -1; // until the program has been reaped
    std::mutex mutex_;
    std::condition_variable grown_;
    std::string out_, err_;
    bool closed_ = false; // both streams at their end
    std::thread reader_;
};
