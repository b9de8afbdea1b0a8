// A YMODEM receiver for tests, played on a pseudo-terminal's master while the
// sender runs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <poll.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Runs `sender`, splitting what it writes into frames (an STX block, an SOH
// block or one byte) and writing script(index, frame) in answer to each (empty:
// silence); returns the frames, an unfinished one last. An answer to a data
// block waits for the sender's input flush after it, which would drop it: in
// packet mode the master learns of each flush, and a flush report read after a
// block's first byte can only come from that block's flush (reports are read
// before pending data); if it merged into an earlier report, 60 ms must do.
inline std::vector<Bytes> receive(int master,
                                  const std::function<Bytes(size_t, const Bytes&)>& script,
                                  const std::function<void()>& sender) {
    int on = 1;
    ioctl(master, TIOCPKT, &on);
    std::atomic<bool> stopping{false};
    std::vector<Bytes> frames;
    Bytes frame;
    std::thread receiver([&] {
        using Clock = std::chrono::steady_clock;
        Bytes answer;
        bool flushed = false;    // since the current frame began
        bool awaitFlush = false; // the answer is to a data block
        Clock::time_point deadline;
        uint8_t buf[4096];
        for (;;) {
            if (!answer.empty() && (!awaitFlush || flushed || Clock::now() >= deadline)) {
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
            } else if (buf[0] != TIOCPKT_DATA) {
                flushed = flushed || (buf[0] & TIOCPKT_FLUSHREAD);
            } else {
                for (ssize_t i = 1; i < n; ++i) {
                    flushed = flushed && !frame.empty();
                    frame.push_back(buf[i]);
                    if (frame.size() == (frame[0] == 2 ? 1029u : frame[0] == 1 ? 133u : 1u)) {
                        frames.push_back(frame);
                        answer = script(frames.size() - 1, frame);
                        awaitFlush = frame.size() > 1 && frame[1] != 0;
                        deadline = Clock::now() + std::chrono::milliseconds(60);
                        frame.clear();
                    }
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
