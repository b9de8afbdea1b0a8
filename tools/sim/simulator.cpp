#include "simulator.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace sim {

namespace {

int64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

// Longest an arrived byte waits before the unit takes it.
constexpr Micros kInputBatch = 500;

std::string errorText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// A UART takes bytes from a sender up to about 2 % off its own rate; a
// divisor's rounding (wine's custom divisor gives 109090 for 109000) is
// well inside the 1 % allowed here.
bool speedMatches(uint32_t speed, uint32_t expected) {
    const int64_t off = int64_t{speed} - int64_t{expected};
    return (off < 0 ? -off : off) * 100 <= int64_t{expected};
}

// A custom divisor applies while the line is set to 38400, as in the
// kernel's serial drivers.
constexpr uint32_t kCustomDivisorSpeed = 38400;

} // namespace

Simulator::Simulator(const Options& options)
    : options_(options), unit_(options_.target, options_.faults, *this), startNs_(monotonicNs()) {}

Simulator::~Simulator() {
    if (socket_ >= 0) {
        ::close(socket_);
        std::error_code ec;
        std::filesystem::remove(socketPath_, ec);
    }
    if (signals_ >= 0) {
        ::close(signals_);
    }
    if (opens_ >= 0) {
        ::close(opens_);
    }
    if (log_ != nullptr) {
        std::fclose(log_);
    }
}

Micros Simulator::now() const {
    return (monotonicNs() - startNs_) / 1000;
}

bool Simulator::setUp(std::string& error) {
    std::error_code ec;
    if (options_.outDir.empty()) {
        char templ[] = "/tmp/zkunit-sim.XXXXXX";
        if (mkdtemp(templ) == nullptr) {
            error = errorText("cannot create a temporary directory");
            return false;
        }
        dir_ = templ;
        std::fprintf(stderr, "zkunit-sim: writing to %s\n", dir_.c_str());
    } else {
        dir_ = options_.outDir;
        std::filesystem::create_directories(dir_, ec);
        if (ec) {
            error = "cannot create " + dir_.string() + ": " + ec.message();
            return false;
        }
    }

    log_ = std::fopen((dir_ / "events.log").c_str(), "w");
    if (log_ == nullptr) {
        error = errorText("cannot write " + (dir_ / "events.log").string());
        return false;
    }

    socketPath_ = dir_ / "modemline.sock";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath_.string().size() >= sizeof addr.sun_path) {
        error = "socket path too long: " + socketPath_.string();
        return false;
    }
    std::strcpy(addr.sun_path, socketPath_.c_str());
    std::filesystem::remove(socketPath_, ec);
    socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socket_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        error = errorText("cannot bind " + socketPath_.string());
        return false;
    }

    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    if (sigprocmask(SIG_BLOCK, &mask, nullptr) != 0 ||
        (signals_ = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK)) < 0) {
        error = errorText("cannot watch signals");
        return false;
    }
    std::signal(SIGPIPE, SIG_IGN);

    if (!line_.open(error)) {
        return false;
    }
    // Each open of the slave is an event: a reset pulse too soon after it
    // reaches a unit whose adapter has not settled yet.
    opens_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (opens_ < 0 || inotify_add_watch(opens_, line_.path().c_str(), IN_OPEN) < 0) {
        error = errorText("cannot watch the line's opens");
        return false;
    }
    return true;
}

void Simulator::event(Micros at, const std::string& text) {
    if (log_ == nullptr) {
        return;
    }
    std::fprintf(log_, "%lld %s\n", static_cast<long long>(at < 0 ? 0 : at / kMillisecond),
                 text.c_str());
    std::fflush(log_);
}

uint32_t Simulator::lineSpeed() const {
    const uint32_t set = line_.speed();
    return set == kCustomDivisorSpeed && customSpeed_ != 0 ? customSpeed_ : set;
}

void Simulator::send(const std::vector<uint8_t>& bytes) {
    out_.push(bytes.data(), bytes.size(), now(), byteTime(lineSpeed()));
}

bool Simulator::save(const std::vector<uint8_t>& image) {
    // Written aside and renamed, so a reader never sees half an image.
    const auto target = dir_ / "received.bin";
    const auto temp = dir_ / "received.bin.part";
    std::FILE* f = std::fopen(temp.c_str(), "wb");
    if (f == nullptr) {
        std::fprintf(stderr, "zkunit-sim: cannot write %s: %s\n", temp.c_str(),
                     std::strerror(errno));
        return false;
    }
    const bool written = std::fwrite(image.data(), 1, image.size(), f) == image.size();
    const bool closed = std::fclose(f) == 0;
    std::error_code ec;
    if (written && closed) {
        std::filesystem::rename(temp, target, ec);
    }
    if (!written || !closed || ec) {
        std::fprintf(stderr, "zkunit-sim: cannot write %s\n", target.c_str());
        return false;
    }
    return true;
}

void Simulator::hangUp() {
    line_.hangUp();
    in_.clear();
    out_.clear();
}

void Simulator::readLine(Micros at) {
    uint8_t buf[4096];
    const ssize_t n = ::read(line_.master(), buf, sizeof buf);
    if (n <= 0) {
        // With our own slave open this only happens on a transient error;
        // back off rather than spin on it.
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        masterQuietUntil_ = at + 50 * kMillisecond;
        return;
    }
    lastHeard_ = at;
    const uint32_t speed = lineSpeed();
    const uint32_t expected = expectedSpeed(options_.target);
    if (speed_ != speed) {
        speed_ = speed;
        event(at, "speed " + std::to_string(speed));
        if (!speedMatches(speed, expected)) {
            event(at, "wrong-speed " + std::to_string(speed) + " " + std::to_string(expected));
        }
    }
    if (!speedMatches(speed, expected)) {
        return; // garbage to a UART at another speed
    }
    in_.push(buf, static_cast<size_t>(n), at, byteTime(speed));
}

void Simulator::readModemLines() {
    char buf[128];
    for (;;) {
        sockaddr_un from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = ::recvfrom(socket_, buf, sizeof buf - 1, 0,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) {
            return;
        }
        buf[n] = '\0';
        if (std::strncmp(buf, "drain", 5) == 0) {
            drainRequested(from, fromLength);
            continue;
        }
        long long custom = 0;
        long long ns = 0;
        if (std::sscanf(buf, "custom-speed %lld %lld", &custom, &ns) == 2 && custom >= 0 &&
            custom <= UINT32_MAX) {
            advance((ns - startNs_) / 1000);
            customSpeed_ = static_cast<uint32_t>(custom);
            continue;
        }
        int level = -1;
        if (std::sscanf(buf, "dtr %d %lld", &level, &ns) != 2 || (level != 0 && level != 1)) {
            std::fprintf(stderr, "zkunit-sim: ignoring modem-line message '%s'\n", buf);
            continue;
        }
        const Micros at = (ns - startNs_) / 1000;
        advance(at); // what was on the line before the change reaches the unit first
        lastHeard_ = now();
        unit_.dtr(level == 1, at);
    }
}

void Simulator::drainRequested(const sockaddr_un& from, socklen_t length) {
    // The loader wrote before it asked: take in what it wrote first.
    for (int reads = 0; reads < 16 && line_.isOpen(); ++reads) {
        pollfd p{line_.master(), POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) {
            break;
        }
        readLine(now());
    }
    const Micros t = now();
    Micros at = t;
    if (const auto lag = options_.adapter.drainLagMs) {
        at = std::max(in_.freeAt(), t) + static_cast<Micros>(*lag) * kMillisecond;
    }
    drains_.push_back({at, from, length});
    answerDrains(t);
}

void Simulator::answerDrains(Micros at) {
    std::erase_if(drains_, [&](const Drain& d) {
        if (d.at > at) {
            return false;
        }
        // A loader that gave up waiting is no longer there: nothing to do.
        (void)::sendto(socket_, "drained", 7, MSG_NOSIGNAL,
                       reinterpret_cast<const sockaddr*>(&d.to), d.length);
        return true;
    });
}

void Simulator::advance(Micros until) {
    // Bytes and timers reach the unit in the order of their times, so a late
    // wake-up changes nothing: a byte that arrived inside a guard time still
    // spoils it, and a timer that ran out before a byte still runs first.
    for (int step = 0; step < 100000 && line_.isOpen(); ++step) {
        const Micros timer = unit_.deadline();
        const Micros arrival = in_.nextArrival();
        const bool timerDue = timer >= 0 && timer <= until;
        const bool byteDue = arrival >= 0 && arrival <= until;
        if (timerDue && (!byteDue || timer <= arrival)) {
            unitTime_ = std::max(unitTime_, timer);
            unit_.tick(unitTime_);
            continue;
        }
        if (!byteDue || unit_.busy(std::max(unitTime_, arrival))) {
            return; // nothing due, or the unit takes no input until its timer
        }
        uint8_t byte = 0;
        in_.pop(until, byte);
        unitTime_ = std::max(unitTime_, arrival);
        unit_.input(byte, unitTime_);
    }
}

void Simulator::writeLine(Micros at) {
    std::vector<uint8_t> due;
    for (uint8_t byte = 0; due.size() < 4096 && out_.pop(at, byte);) {
        due.push_back(byte);
    }
    if (!due.empty()) {
        line_.write(due);
    }
}

int Simulator::run() {
    std::printf("%s\nready\n", line_.path().c_str());
    std::fflush(stdout);

    for (;;) {
        Micros t = now();
        advance(t);
        writeLine(t);
        answerDrains(t);

        if (unit_.hungUp()) {
            return kExitFailed;
        }
        if (options_.once && unit_.applicationStarted()) {
            return kExitOk;
        }
        if (options_.once && t >= lastHeard_ + kIdleLimit) {
            std::fprintf(stderr, "zkunit-sim: nothing heard for %lld s\n",
                         static_cast<long long>(kIdleLimit / kSecond));
            return kExitFailed;
        }

        Micros deadline = earliest(unit_.deadline(), out_.nextArrival());
        for (const Drain& d : drains_) {
            deadline = earliest(deadline, d.at);
        }
        if (!unit_.busy(t) && !in_.empty()) {
            // Arrived bytes are taken in batches, like a UART FIFO: fewer wake-ups.
            deadline = earliest(deadline, std::max(in_.nextArrival(), t + kInputBatch));
        }
        if (options_.once) {
            deadline = earliest(deadline, lastHeard_ + kIdleLimit);
        }
        const bool masterQuiet = masterQuietUntil_ >= 0 && t < masterQuietUntil_;
        if (masterQuiet) {
            deadline = earliest(deadline, masterQuietUntil_);
        }

        pollfd fds[4] = {{signals_, POLLIN, 0},
                         {socket_, POLLIN, 0},
                         {masterQuiet ? -1 : line_.master(), POLLIN, 0},
                         {opens_, POLLIN, 0}};
        timespec timeout{};
        timespec* wait = nullptr;
        if (deadline >= 0) {
            const Micros left = deadline > t ? deadline - t : 0;
            timeout.tv_sec = left / kSecond;
            timeout.tv_nsec = (left % kSecond) * 1000;
            wait = &timeout;
        }
        if (ppoll(fds, 4, wait, nullptr) < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::fprintf(stderr, "zkunit-sim: poll failed: %s\n", std::strerror(errno));
            return kExitFailed;
        }
        if (fds[0].revents & POLLIN) {
            return options_.once ? kExitFailed : kExitOk;
        }
        if (fds[1].revents & POLLIN) {
            readModemLines();
        }
        if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) {
            readLine(now());
        }
        if (fds[3].revents & POLLIN) {
            alignas(inotify_event) char buf[4096];
            const ssize_t n = ::read(opens_, buf, sizeof buf);
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
                event(now(), "open");
            }
        }
    }
}

} // namespace sim
