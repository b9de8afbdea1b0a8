// Each unit's run on a thread of its own, over a port object of its own. A
// run that throws ends without an outcome, as a loader process that died.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "station/Launcher.h"

namespace station {

class ThreadLauncher : public Launcher {
public:
    using LinkFactory = std::function<std::unique_ptr<SerialLink>(const std::string& port)>;

    // Each run gets a link from `links` and appends its record as `settings`
    // say. `wake`, when given, is called on a run's thread each time it has
    // something to deliver.
    ThreadLauncher(LinkFactory links, RunSettings settings, std::function<void()> wake = {});
    // Cancels the runs still going and waits for them.
    ~ThreadLauncher() override;

    void start(UnitId id, const FlashJob& job) override;
    void answer(UnitId id) override;
    void cancel(UnitId id, Cancel how) override;
    void remove(UnitId id) override;
    void deliver(Listener& listener) override;

    // Waits until there is something to deliver, at most `timeout`.
    bool wait(std::chrono::milliseconds timeout);

private:
    struct Run {
        std::unique_ptr<SerialLink> link;
        std::atomic<bool> cancel{false};
        std::atomic<bool> waiting{false}; // for the operator's answer
        std::thread thread;
    };
    class Events;
    struct Output {
        UnitId id;
        std::optional<RunEvent> event; // else the end
        RunEnd end;
    };

    void post(Output output);
    Run* find(UnitId id);

    const LinkFactory links_;
    const RunSettings settings_;
    const std::function<void()> wake_;
    std::map<UnitId, std::unique_ptr<Run>> runs_; // the runner's thread only
    std::mutex mutex_;                            // guards outputs_
    std::condition_variable posted_;
    std::deque<Output> outputs_;
};

} // namespace station
