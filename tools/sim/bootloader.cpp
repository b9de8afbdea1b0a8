#include "bootloader.h"

#include <cstring>

namespace sim {

namespace {

constexpr const char* kWakeWord = "BOOT";
constexpr size_t kSplitAt = 6; // "\r\nVANT" | "OLK ..."
// The wrong-mode sign with a little line noise around it.
const std::vector<uint8_t> kWrongMode{0x00, 0xFF, 0xFF, 0xFF, 0x7E, 0x00};

std::vector<uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

} // namespace

Bootloader::Bootloader(const Faults& faults, UnitIo& io)
    : faults_(faults), io_(io), receiver_(faults, io) {}

void Bootloader::reset() {
    state_ = State::Menu;
    recent_.clear();
    bannerTail_.clear();
    bannerTailAt_ = -1;
    receiver_.stop();
}

void Bootloader::answerBoot(Micros now) {
    io_.event(now, "boot");
    if (faults_.silent) {
        return;
    }
    if (faults_.wrongMode) {
        io_.send(kWrongMode);
        return;
    }
    const std::string banner(kBanner);
    io_.event(now, "banner");
    if (faults_.splitBanner) {
        io_.send(bytesOf(banner.substr(0, kSplitAt)));
        bannerTail_ = banner.substr(kSplitAt);
        bannerTailAt_ = now + kSplitGap;
    } else {
        io_.send(bytesOf(banner));
    }
}

void Bootloader::input(uint8_t byte, Micros now) {
    switch (state_) {
    case State::Application:
        return;
    case State::Receive:
        receiver_.input(byte, now);
        if (!receiver_.active()) {
            state_ = State::Menu;
            recent_.clear();
        }
        return;
    case State::Menu:
        break;
    }
    recent_.push_back(static_cast<char>(byte));
    if (recent_.size() > std::strlen(kWakeWord)) {
        recent_.erase(0, recent_.size() - std::strlen(kWakeWord));
    }
    if (recent_ == kWakeWord) {
        recent_.clear();
        answerBoot(now);
        return;
    }
    if (faults_.silent) {
        return;
    }
    if (byte == '1') {
        io_.event(now, "receive");
        state_ = State::Receive;
        receiver_.start(now);
    } else if (byte == '2') {
        io_.event(now, "start-app");
        state_ = State::Application;
        appStarted_ = true;
    }
    // Anything else at the menu (a stray EOT, line noise) is ignored.
}

void Bootloader::tick(Micros now) {
    if (bannerTailAt_ >= 0 && now >= bannerTailAt_) {
        io_.send(bytesOf(bannerTail_));
        bannerTail_.clear();
        bannerTailAt_ = -1;
    }
    if (state_ == State::Receive) {
        receiver_.tick(now);
        if (!receiver_.active()) {
            state_ = State::Menu;
            recent_.clear();
        }
    }
}

Micros Bootloader::deadline() const {
    Micros next = bannerTailAt_;
    if (state_ == State::Receive) {
        next = earliest(next, receiver_.deadline());
    }
    return next;
}

} // namespace sim
