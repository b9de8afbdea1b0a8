// A YMODEM receiver for tests, played on a pseudo-terminal's master while the
// sender runs.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Runs `sender`, splitting what it writes into frames (an STX block, an SOH
// block or one byte) and writing script(index, frame) in answer to each (empty:
// silence); returns the frames, an unfinished one last. A pseudo-terminal
// passes bytes on at once, so an answer waits until its frame would have
// arrived whole on a line of `speed` bit/s: a receiver cannot answer sooner.
inline std::vector<Bytes> receive(int master, uint32_t speed,
                                  const std::function<Bytes(size_t, const Bytes&)>& script,
                                  const std::function<void()>& sender) {
    using Clock = std::chrono::steady_clock;
    const auto byteTime = std::chrono::nanoseconds(10'000'000'000LL / speed);
    std::atomic<bool> stopping{false};
    std::vector<Bytes> frames;
    Bytes frame;
    std::thread receiver([&] {
        Bytes answer;
        Clock::time_point lineFree; // when the last byte read has arrived at line speed
        Clock::time_point answerAt;
        uint8_t buf[4096];
        for (;;) {
            if (!answer.empty() && Clock::now() >= answerAt) {
                (void)!::write(master, answer.data(), answer.size()); // a byte or two: whole
                answer.clear();
            }
            pollfd p{master, POLLIN, 0};
            const ssize_t n =
                poll(&p, 1, answer.empty() ? 5 : 1) > 0 ? ::read(master, buf, sizeof buf) : 0;
            if (n <= 0) {
                if (stopping) {
                    return;
                }
                continue;
            }
            const auto now = Clock::now();
            for (ssize_t i = 0; i < n; ++i) {
                lineFree = std::max(lineFree, now) + byteTime;
                frame.push_back(buf[i]);
                if (frame.size() == (frame[0] == 2 ? 1029u : frame[0] == 1 ? 133u : 1u)) {
                    frames.push_back(frame);
                    answer = script(frames.size() - 1, frame);
                    answerAt = lineFree;
                    frame.clear();
                }
            }
        }
    });
    sender();
    stopping = true;
    receiver.join();
    if (!frame.empty()) {
        frames.push_back(frame);
    }
    return frames;
}
