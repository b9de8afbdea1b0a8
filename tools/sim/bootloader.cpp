#include "bootloader.h"

#include <string_view>

namespace sim {

namespace {

constexpr std::string_view kWakeWord = "BOOT";
constexpr size_t kSplitAt = 6;                  // "\r\nVANT" | "OLK ..."
constexpr Micros kSplitGap = 60 * kMillisecond; // between the two halves of a split banner
// The wrong-mode sign with a little line noise around it.
const std::vector<uint8_t> kWrongMode{0x00, 0xFF, 0xFF, 0xFF, 0x7E, 0x00};

} // namespace

Bootloader::Bootloader(const Faults& faults, UnitIo& io)
    : faults_(faults), io_(io), receiver_(faults, io) {}

void Bootloader::reset() {
    inApplication_ = false;
    recent_.clear();
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
    io_.event(now, "banner");
    if (faults_.splitBanner) {
        io_.sendText(std::string_view(kBanner).substr(0, kSplitAt));
        bannerTailAt_ = now + kSplitGap;
    } else {
        io_.sendText(kBanner);
    }
}

void Bootloader::input(uint8_t byte, Micros now) {
    if (receiver_.active()) {
        receiver_.input(byte, now);
        return;
    }
    if (inApplication_) {
        return;
    }
    recent_.push_back(static_cast<char>(byte));
    if (recent_.size() > kWakeWord.size()) {
        recent_.erase(0, recent_.size() - kWakeWord.size());
    }
    if (recent_ == kWakeWord) {
        recent_.clear();
        answerBoot(now);
        return;
    }
    if (faults_.silent) {
        return;
    }
    if (byte == kEot && faults_.hangupAtEnd) { // the batch's last EOT
        io_.event(now, "hangup");
        hungUp_ = true;
        io_.hangUp();
        return;
    }
    if (byte == kEot) {
        // The batch's last EOT, after the closing block: acknowledged, so the
        // loader need not wait out its read.
        io_.send({kAck});
    } else if (byte == '1') {
        io_.event(now, "receive");
        recent_.clear();
        receiver_.start(now);
    } else if (byte == '2') {
        io_.event(now, "start-app");
        inApplication_ = true;
        appStarted_ = true;
    }
    // Anything else at the menu (line noise) is ignored.
}

void Bootloader::tick(Micros now) {
    if (bannerTailAt_ >= 0 && now >= bannerTailAt_) {
        io_.sendText(std::string_view(kBanner).substr(kSplitAt));
        bannerTailAt_ = -1;
    }
    receiver_.tick(now);
}

} // namespace sim
