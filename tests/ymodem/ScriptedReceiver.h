// A YMODEM receiver for tests, played on a pseudo-terminal's master: splits
// what the sender writes into frames (STX blocks, SOH blocks, single bytes)
// and answers each one as its script says.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

class ScriptedReceiver {
public:
    using Bytes = std::vector<uint8_t>;
    // Called on the receiver thread with the frame's index and bytes; returns
    // the answer to write (empty: stay silent).
    using Script = std::function<Bytes(size_t index, const Bytes& frame)>;

    ScriptedReceiver(int master, Script script);
    ~ScriptedReceiver();
    ScriptedReceiver(const ScriptedReceiver&) = delete;
    ScriptedReceiver& operator=(const ScriptedReceiver&) = delete;

    // Takes in what is still on the line, then ends the thread. The results
    // below are valid after it.
    void stop();

    const Bytes& wire() const { return wire_; }
    const std::vector<Bytes>& frames() const { return frames_; }
    const std::vector<std::chrono::steady_clock::time_point>& frameTimes() const {
        return frameTimes_;
    }

private:
    void run();

    int master_;
    Script script_;
    std::atomic<bool> stopping_{false};
    Bytes wire_;
    std::vector<Bytes> frames_;
    std::vector<std::chrono::steady_clock::time_point> frameTimes_;
    std::thread thread_;
};

// The answers of a receiver that replies to the i-th frame with replies[i],
// and with ACK once the list is used up.
ScriptedReceiver::Script replySequence(std::vector<ScriptedReceiver::Bytes> replies);
