#include "ScriptedReceiver.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr uint8_t kSoh = 0x01;
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kAck = 0x06;

// How long an answer to a data block waits for the sender's input flush when
// no flush report can be told apart (see run()).
constexpr std::chrono::milliseconds kFlushWait{60};

size_t frameLength(uint8_t lead) {
    return lead == kStx ? 1029 : lead == kSoh ? 133 : 1;
}

void writeAll(int fd, const ScriptedReceiver::Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<size_t>(n);
    }
}

} // namespace

ScriptedReceiver::ScriptedReceiver(int master, Script script)
    : master_(master), script_(std::move(script)) {
    // Packet mode: the master also learns of every input flush on the slave.
    int on = 1;
    ioctl(master_, TIOCPKT, &on);
    thread_ = std::thread([this] { run(); });
}

ScriptedReceiver::~ScriptedReceiver() {
    stop();
}

void ScriptedReceiver::stop() {
    if (thread_.joinable()) {
        stopping_ = true;
        thread_.join();
    }
}

// The sender flushes its input after writing a data block, so an answer that
// comes before that flush is lost. A flush report read after the block's
// first byte can only come from that flush (pending reports are read before
// pending data); when it was merged into the report before the block, the
// answer goes after kFlushWait instead.
void ScriptedReceiver::run() {
    using Clock = std::chrono::steady_clock;
    Bytes frame;
    Bytes answer;
    bool flushedSinceFrameStart = false;
    bool answering = false;
    bool awaitFlush = false;
    Clock::time_point deadline;
    uint8_t buf[4096];
    for (;;) {
        if (answering && (!awaitFlush || flushedSinceFrameStart || Clock::now() >= deadline)) {
            writeAll(master_, answer);
            answering = false;
        }
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, answering ? 1 : 5) <= 0) {
            if (stopping_) {
                return;
            }
            continue;
        }
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0) {
            if (stopping_) {
                return;
            }
            continue;
        }
        if (buf[0] != TIOCPKT_DATA) {
            flushedSinceFrameStart = flushedSinceFrameStart || (buf[0] & TIOCPKT_FLUSHREAD);
            continue;
        }
        for (ssize_t i = 1; i < n; ++i) {
            wire_.push_back(buf[i]);
            if (frame.empty()) {
                flushedSinceFrameStart = false;
            }
            frame.push_back(buf[i]);
            if (frame.size() == frameLength(frame[0])) {
                const auto now = Clock::now();
                frames_.push_back(frame);
                frameTimes_.push_back(now);
                answer = script_(frames_.size() - 1, frame);
                answering = !answer.empty();
                awaitFlush = frame.size() > 1 && frame[1] != 0; // a data block
                deadline = now + kFlushWait;
                frame.clear();
            }
        }
    }
}

ScriptedReceiver::Script replySequence(std::vector<ScriptedReceiver::Bytes> replies) {
    return [replies = std::move(replies)](size_t index, const ScriptedReceiver::Bytes&) {
        return index < replies.size() ? replies[index] : ScriptedReceiver::Bytes{kAck};
    };
}
