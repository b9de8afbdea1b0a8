#include "virtual_link.h"

#include <algorithm>
#include <cerrno>

namespace sim {

namespace {

// The real port's read budget (11 waits of 50 ms) and a text read's quiet gap.
constexpr Micros kReadBudget = 550 * kMillisecond;
constexpr Micros kTextQuiet = 20 * kMillisecond;
constexpr size_t kTextMost = 1023;

} // namespace

std::vector<std::string> VirtualLink::eventsNamed(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const Event& e : events_) {
        if (e.text.starts_with(prefix)) {
            found.push_back(e.text);
        }
    }
    return found;
}

std::chrono::steady_clock::duration VirtualLink::now() const {
    return std::chrono::microseconds(now_);
}

int32_t VirtualLink::open(const std::string& path, uint32_t speed) {
    close();
    clearError();
    setLineLost(hungUp_);
    const auto refused = refused_.find(path);
    if (refused != refused_.end() && refused->second.second != 0) {
        --refused->second.second;
        fail("Error opening serial port " + path, refused->second.first);
        diagnose("ZKSerial error [" + failureText(*failure()) + "]");
        return -1;
    }
    open_ = true;
    speed_ = speed;
    event(now_, "open");
    return 3;
}

void VirtualLink::send(const uint8_t* bytes, int32_t length) {
    if (!open_ || hungUp_) {
        fail("Write Error", open_ ? EIO : EBADF);
        return;
    }
    const size_t count = length > 0 ? static_cast<size_t>(length) : 0;
    toPeer_.push(bytes, count, now_, byteTime(speed_));
    bytesWritten_ += count;
}

void VirtualLink::write(const uint8_t* bytes, int32_t length) {
    send(bytes, length);
    advance(std::max(now_, toPeer_.freeAt())); // the drain: the last byte has left
}

void VirtualLink::discardUntilSent() {
    const Micros sent = toPeer_.freeAt();
    advance(std::max(now_, sent));
    uint8_t byte = 0;
    while (fromPeer_.nextArrival() >= 0 && fromPeer_.nextArrival() < sent &&
           fromPeer_.pop(sent, byte)) {
    }
}

void VirtualLink::flushInput() {
    advance(now_);
    uint8_t byte = 0;
    while (fromPeer_.pop(now_, byte)) {
    }
}

void VirtualLink::setDTR(bool on) {
    if (!open_) {
        fail("Fail on set DTR", EBADF);
        return;
    }
    advance(now_); // what was on the line before the change reaches the unit first
    if (peer_ != nullptr) {
        peer_->dtr(on, now_);
    }
}

bool VirtualLink::waitForInput(Micros budget) {
    const Micros end = now_ + budget;
    for (;;) {
        advance(now_);
        if (fromPeer_.nextArrival() >= 0 && fromPeer_.nextArrival() <= now_) {
            return true;
        }
        if (now_ >= end) {
            return false;
        }
        Micros next = earliest(fromPeer_.nextArrival(), toPeer_.nextArrival());
        next = earliest(next, peer_ != nullptr ? peer_->deadline() : -1);
        advance(next > now_ && next < end ? next : end);
    }
}

std::string_view VirtualLink::take(size_t most) {
    uint8_t byte = 0;
    while (lastRead_.size() < most && fromPeer_.pop(now_, byte)) {
        lastRead_.push_back(static_cast<char>(byte));
    }
    return lastRead_;
}

bool VirtualLink::readable() {
    if (hungUp_) {
        setLineLost(true); // as a hung-up line reads: at once, nothing
        return false;
    }
    if (!open_) {
        advance(now_ + kReadBudget); // as a closed port reads: the whole budget
        return false;
    }
    return waitForInput(kReadBudget);
}

uint8_t VirtualLink::readByte() {
    lastRead_.clear();
    if (!readable()) {
        return 0;
    }
    return static_cast<uint8_t>(take(1)[0]);
}

std::string_view VirtualLink::readText() {
    lastRead_.clear();
    if (!readable()) {
        return lastRead_;
    }
    // Bytes keep being read while they come no more than kTextQuiet apart.
    while (take(kTextMost).size() < kTextMost && waitForInput(kTextQuiet)) {
    }
    return lastRead_;
}

void VirtualLink::send(const std::vector<uint8_t>& bytes) {
    if (!hungUp_) {
        fromPeer_.push(bytes.data(), bytes.size(), peerTime_, byteTime(speed_));
    }
}

void VirtualLink::event(Micros at, const std::string& text) {
    events_.push_back({at, text});
}

bool VirtualLink::save(const std::vector<uint8_t>& image) {
    saved_.push_back(image);
    return true;
}

void VirtualLink::hangUp() {
    hungUp_ = true;
    toPeer_.clear();
    fromPeer_.clear();
}

void VirtualLink::advance(Micros until) {
    // Bytes and timers reach the peer in the order of their times.
    while (peer_ != nullptr && !hungUp_) {
        const Micros timer = peer_->deadline();
        const Micros arrival = toPeer_.nextArrival();
        const bool timerDue = timer >= 0 && timer <= until;
        const bool byteDue = arrival >= 0 && arrival <= until;
        if (timerDue && (!byteDue || timer <= arrival)) {
            peerTime_ = std::max(peerTime_, timer);
            peer_->tick(peerTime_);
            continue;
        }
        if (!byteDue || peer_->busy(std::max(peerTime_, arrival))) {
            break;
        }
        uint8_t byte = 0;
        toPeer_.pop(until, byte);
        peerTime_ = std::max(peerTime_, arrival);
        if (!expectedSpeed_ || *expectedSpeed_ == speed_) {
            peer_->input(byte, peerTime_);
        }
    }
    now_ = std::max(now_, until);
}

} // namespace sim
