// Sends the largest image (196,608 bytes) to a receiver whose line runs at
// 115200 bit/s and compares the time taken with what the bytes need on such a
// line plus the header's fixed one-second wait.
//
// The receiver is a thread on a pseudo-terminal's master. A pseudo-terminal
// has no line speed of its own, so the thread paces both directions: it takes
// the sender's bytes no faster than the line would deliver them and answers
// each block with ACK only once the ACK's own byte time has passed.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Pty.h"
#include "serial/ZKSerial.h"
#include "ymodem/Ymodem.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kLineSpeed = 115200;
constexpr double kBitsPerByte = 10; // start bit, 8 data bits, stop bit
constexpr std::chrono::nanoseconds kByteTime{static_cast<int64_t>(1e9 * kBitsPerByte / kLineSpeed)};
constexpr uint32_t kMaxBlocks = 192;
constexpr uint32_t kImageSize = kMaxBlocks * 1024;
constexpr double kHeaderWaitSeconds = 1.0;
constexpr double kTargetRatio = 1.05;

class Quiet : public ymodem::Observer {
public:
    void progress(uint32_t, uint32_t) override {}
    bool cancelRequested() override { return false; }
    void log(std::string_view) override {}
};

// A receiver on a line of kLineSpeed that acknowledges every frame.
class PacedReceiver {
public:
    explicit PacedReceiver(int master) : master_(master), thread_([this] { run(); }) {}
    ~PacedReceiver() { stop(); }

    void stop() {
        if (thread_.joinable()) {
            stopping_ = true;
            thread_.join();
        }
    }
    size_t received() const { return received_; }
    size_t answered() const { return answered_; }

private:
    void run() {
        const uint8_t ack = 0x06;
        Clock::time_point lineFree{}; // when the incoming line has delivered its last byte
        size_t frameLength = 0;
        size_t frameBytes = 0;
        uint8_t buf[4096];
        while (!stopping_) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 5) <= 0) {
                continue;
            }
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) {
                continue;
            }
            // The bytes start down the line once they are written and the
            // line is free; each takes one byte time.
            lineFree = std::max(lineFree, Clock::now());
            for (ssize_t i = 0; i < n; ++i) {
                lineFree += kByteTime;
                ++received_;
                if (frameBytes++ == 0) {
                    frameLength = buf[i] == 0x02 ? 1029 : buf[i] == 0x01 ? 133 : 1;
                }
                if (frameBytes == frameLength) {
                    frameBytes = 0;
                    std::this_thread::sleep_until(lineFree + kByteTime);
                    if (::write(master_, &ack, 1) == 1) {
                        ++answered_;
                    }
                }
            }
        }
    }

    int master_;
    std::atomic<bool> stopping_{false};
    size_t received_ = 0;
    size_t answered_ = 0;
    std::thread thread_;
};

} // namespace

int main() {
    Pty pty;
    if (Serial_Open(pty.path().c_str(), kLineSpeed) < 0) {
        std::fprintf(stderr, "%s", Serial_ErrorText());
        return 1;
    }
    std::vector<uint8_t> image(kImageSize);
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(i * 131 + (i >> 8));
    }
    Quiet observer;

    PacedReceiver receiver(pty.master());
    const auto start = Clock::now();
    const uint32_t result = ymodem::Ymodem_Transmit(Serial_DefaultPort(), image.data(), "bench.bin",
                                                    kImageSize, kMaxBlocks, observer);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    receiver.stop();
    Serial_Close();

    const size_t wireBytes = receiver.received() + receiver.answered();
    const double limit =
        static_cast<double>(wireBytes) * kBitsPerByte / kLineSpeed + kHeaderWaitSeconds;
    const double ratio = seconds / limit;
    std::printf("image:             %u bytes, result %u\n", kImageSize, result);
    std::printf("bytes on the wire: %zu (%zu sent, %zu answers)\n", wireBytes, receiver.received(),
                receiver.answered());
    std::printf("limit:             %.3f s (%zu x %.0f / %u + %.1f s)\n", limit, wireBytes,
                kBitsPerByte, kLineSpeed, kHeaderWaitSeconds);
    std::printf("measured:          %.3f s\n", seconds);
    std::printf("ratio:             %.4f (target %.2f)\n", ratio, kTargetRatio);
    return result == ymodem::kOk && ratio <= kTargetRatio ? 0 : 1;
}
