// Runs a program for end-to-end tests: its standard input is a pipe the test
// writes to, its standard output and error are collected as it runs.
#pragma once

#include <chrono>
#include <csignal>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class Process {
public:
    Process(const std::vector<std::string>& argv,
            const std::map<std::string, std::string>& env = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    void writeInput(const std::string& text);
    void closeInput();
    void signal(int sig);

    // Waits until standard output (or error) holds `text`; false on time-out
    // or when the program ended without writing it.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout);
    bool waitForError(const std::string& text, std::chrono::milliseconds timeout);

    // Waits for the program to end; returns its exit status (128 + signal when
    // killed), or -1 on time-out (the program is then killed).
    int wait(std::chrono::milliseconds timeout);

    std::string output();
    std::string error();
    pid_t pid() const { return pid_; }

private:
    bool waitFor(const std::string& text, const std::string& which,
                 std::chrono::milliseconds timeout);
    void pump(int fd, std::string& into);

    pid_t pid_ = -1;
    int in_ = -1;
    int status_ = -1;
    bool ended_ = false;
    std::mutex mutex_;
    std::string out_;
    std::string err_;
    std::thread outReader_;
    std::thread errReader_;
};
