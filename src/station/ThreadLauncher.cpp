#include "station/ThreadLauncher.h"

namespace station {

// A run's events, queued for the runner; a prompt holds the run until the
// operator answers it.
class ThreadLauncher::Events : public RunEvents {
public:
    Events(ThreadLauncher& launcher, UnitId id, Run& run)
        : launcher_(launcher), id_(id), run_(run) {}

    void event(const RunEvent& event) override {
        if (event.kind == RunEvent::Kind::Finished) {
            return; // the end says it
        }
        if (event.kind == RunEvent::Kind::Prompt) {
            run_.waiting.store(true);
        }
        launcher_.post({id_, event, {}});
    }
    bool cancelRequested() override { return run_.cancel.load(); }
    bool busy() override { return run_.waiting.load(); }

private:
    ThreadLauncher& launcher_;
    const UnitId id_;
    Run& run_;
};

ThreadLauncher::ThreadLauncher(LinkFactory links, RunSettings settings, std::function<void()> wake)
    : links_(std::move(links)), settings_(std::move(settings)), wake_(std::move(wake)) {}

ThreadLauncher::~ThreadLauncher() {
    for (const auto& [id, run] : runs_) {
        run->cancel.store(true);
        run->waiting.store(false);
    }
    for (const auto& [id, run] : runs_) {
        run->thread.join();
    }
}

void ThreadLauncher::start(UnitId id, const FlashJob& job) {
    auto owned = std::make_unique<Run>();
    Run* run = owned.get();
    run->link = links_(job.port);
    runs_[id] = std::move(owned);
    // The end is posted once the run is done with the line, so that joining
    // the thread when it is delivered does not wait.
    run->thread = std::thread([this, id, run, job] {
        Events events(*this, id, *run);
        const auto started = run->link->now();
        RunEnd end;
        try {
            FlashResult result = runFlash(job, *run->link, events, settings_);
            end.outcome = result.outcome;
            end.failure = result.failure;
            end.record = std::move(result.record);
        } catch (const std::exception& e) {
            // The run died; the station and the other units go on.
            end.why = std::string("the run stopped: ") + e.what();
        }
        end.seconds = std::chrono::duration<double>(run->link->now() - started).count();
        post({id, std::nullopt, std::move(end)});
    });
}

ThreadLauncher::Run* ThreadLauncher::find(UnitId id) {
    const auto found = runs_.find(id);
    return found == runs_.end() ? nullptr : found->second.get();
}

void ThreadLauncher::answer(UnitId id) {
    if (Run* run = find(id)) {
        run->waiting.store(false);
    }
}

void ThreadLauncher::cancel(UnitId id, Cancel) {
    if (Run* run = find(id)) {
        run->cancel.store(true);
        run->waiting.store(false); // nobody is left to answer
    }
}

void ThreadLauncher::remove(UnitId id) {
    // A thread cannot be ended from outside: the run cancels at its next
    // checkpoint, which a line that is gone brings at once.
    cancel(id, Cancel::Interrupt);
}

void ThreadLauncher::post(Output output) {
    {
        std::lock_guard lock(mutex_);
        outputs_.push_back(std::move(output));
    }
    posted_.notify_all();
    if (wake_) {
        wake_();
    }
}

bool ThreadLauncher::wait(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return posted_.wait_for(lock, timeout, [this] { return !outputs_.empty(); });
}

void ThreadLauncher::deliver(Listener& listener) {
    std::deque<Output> outputs;
    {
        std::lock_guard lock(mutex_);
        outputs.swap(outputs_);
    }
    for (Output& output : outputs) {
        if (output.event) {
            listener.unitEvent(output.id, *output.event);
            continue;
        }
        if (const auto found = runs_.find(output.id); found != runs_.end()) {
            found->second->thread.join();
            runs_.erase(found);
        }
        listener.unitEnded(output.id, output.end);
    }
}

} // namespace station
