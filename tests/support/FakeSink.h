// A status sink for tests: records log lines and progress reports, and lets
// the test (or its receiver thread) raise cancel and busy.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "flash/StatusSink.h"

class FakeSink : public StatusSink {
public:
    void log(const std::string& text, const std::string& cr) override {
        std::lock_guard lock(mutex_);
        lines_.push_back(text + cr);
    }
    void showAlertWithMessage(const std::string& message,
                              const std::optional<std::string>&) override {
        std::lock_guard lock(mutex_);
        alerts_.push_back(message);
    }
    void setProgress(int32_t value, int32_t max) override {
        std::lock_guard lock(mutex_);
        progress_.emplace_back(value, max);
    }
    bool cancelRequest() override { return cancel.load(); }
    bool busy() override { return busyFlag.load(); }

    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    std::vector<std::string> alerts() const {
        std::lock_guard lock(mutex_);
        return alerts_;
    }
    std::vector<std::pair<int32_t, int32_t>> progress() const {
        std::lock_guard lock(mutex_);
        return progress_;
    }

    std::atomic<bool> cancel{false};
    std::atomic<bool> busyFlag{false};

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::vector<std::string> alerts_;
    std::vector<std::pair<int32_t, int32_t>> progress_;
};
