#include "ymodem_rx.h"

#include <algorithm>

namespace sim {

namespace {

constexpr size_t kHead = 3; // lead byte, number, complement
constexpr size_t kCrcSize = 2;
constexpr Micros kByteTimeout = kSecond; // a block that stops arriving is dropped
constexpr Micros kRequestEvery = kSecond;
constexpr int kMaxRequests = 30;             // 'C' asks for the header before giving up
constexpr Micros kDataSilence = 3 * kSecond; // NAK when the sender goes quiet
constexpr int kMaxTimeouts = 10;
constexpr Micros kEndSilence = kSecond; // after EOT: ask for the next header
constexpr int kMaxEndRequests = 3;
constexpr Micros kPurgeQuiet = kSecond;

} // namespace

uint16_t crc16(std::span<const uint8_t> bytes) {
    uint16_t crc = 0;
    for (uint8_t byte : bytes) {
        crc = static_cast<uint16_t>(crc ^ (byte << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    }
    return crc;
}

size_t blockLength(uint8_t lead) {
    switch (lead) {
    case kSoh:
        return kHead + 128 + kCrcSize;
    case kStx:
        return kHead + 1024 + kCrcSize;
    default:
        return 0;
    }
}

BlockCheck checkBlock(std::span<const uint8_t> block) {
    if (block.empty() || blockLength(block[0]) != block.size()) {
        return BlockCheck::BadNumber;
    }
    if (static_cast<uint8_t>(block[1] ^ block[2]) != 0xFF) {
        return BlockCheck::BadNumber;
    }
    const auto field = block.subspan(kHead, block.size() - kHead - kCrcSize);
    const uint16_t sent = static_cast<uint16_t>(block[block.size() - 2] << 8 | block.back());
    return crc16(field) == sent ? BlockCheck::Ok : BlockCheck::BadCrc;
}

FileHeader parseHeader(std::span<const uint8_t> field) {
    FileHeader header;
    size_t i = 0;
    for (; i < field.size() && field[i] != 0; ++i) {
        const uint8_t c = field[i];
        header.name.push_back(c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c));
    }
    ++i; // the name's NUL
    uint64_t size = 0;
    size_t digits = 0;
    for (; i < field.size() && field[i] >= '0' && field[i] <= '9' && digits < 19; ++i, ++digits) {
        size = size * 10 + (field[i] - '0');
    }
    const bool ended = i >= field.size() || field[i] == 0 || field[i] == ' ';
    if (digits > 0 && ended) {
        header.size = size;
    }
    return header;
}

YmodemReceiver::YmodemReceiver(const Faults& faults, UnitIo& io) : faults_(faults), io_(io) {}

void YmodemReceiver::start(Micros now) {
    phase_ = Phase::WaitHeader;
    packet_.clear();
    lastInput_ = lastActivity_ = now;
    nextRequest_ = now + kListen;
    requests_ = 0;
    timeouts_ = 0;
    sawCan_ = false;
    flashDoneAt_ = -1;
    pendingReply_.reset();
    header_ = {};
    image_.clear();
    expected_ = 1;
    copies_.clear();
}

void YmodemReceiver::stop() {
    phase_ = Phase::Idle;
    packet_.clear();
    flashDoneAt_ = -1;
    pendingReply_.reset();
}

bool YmodemReceiver::busy(Micros now) const {
    return flashDoneAt_ >= 0 && now < flashDoneAt_;
}

void YmodemReceiver::reply(uint8_t byte) {
    io_.send({byte});
}

void YmodemReceiver::blockEvent(Micros now, uint32_t index, size_t length, const char* what) {
    io_.event(now, "block " + std::to_string(index) + " " + std::to_string(length) + " " + what);
}

void YmodemReceiver::input(uint8_t byte, Micros now) {
    lastInput_ = lastActivity_ = now;
    if (phase_ == Phase::Idle || phase_ == Phase::Purge) {
        return;
    }
    if (!packet_.empty()) {
        packet_.push_back(byte);
        if (packet_.size() == packetLength_) {
            onBlock(now);
        }
        return;
    }
    if (const size_t length = blockLength(byte)) {
        packet_.push_back(byte);
        packetLength_ = length;
        sawCan_ = false;
        return;
    }
    if (byte == kEot) {
        sawCan_ = false;
        onEot(now);
        return;
    }
    if (byte == kCan) {
        if (sawCan_) { // the sender gave up
            sawCan_ = false;
            phase_ = Phase::Purge;
        } else {
            sawCan_ = true;
        }
        return;
    }
    sawCan_ = false; // line noise between blocks
}

void YmodemReceiver::onBlock(Micros now) {
    const std::vector<uint8_t> block = std::move(packet_);
    packet_.clear();
    const uint8_t number = block[1];
    const auto field =
        std::span<const uint8_t>(block).subspan(kHead, block.size() - kHead - kCrcSize);

    const BlockCheck check = checkBlock(block);
    if (check != BlockCheck::Ok) {
        blockEvent(now, number, field.size(),
                   check == BlockCheck::BadCrc ? "bad-crc" : "bad-number");
        reply(kNak);
        return;
    }
    switch (phase_) {
    case Phase::WaitHeader:
        if (number == 0) {
            onHeader(parseHeader(field), now);
        } else {
            blockEvent(now, number, field.size(), "bad-number");
            reply(kNak);
        }
        break;
    case Phase::Data:
        if (number == 0 && expected_ == 1) { // our ACK of the header was lost
            blockEvent(now, 0, field.size(), "dup");
            io_.send({kAck, kCrcRequest});
        } else {
            onDataBlock(number, field, now);
        }
        break;
    case Phase::AfterEot:
        if (number == 0) {
            onHeader(parseHeader(field), now);
        } else {
            onDataBlock(number, field, now); // only a repeat of the last block fits
        }
        break;
    default:
        break;
    }
}

void YmodemReceiver::onHeader(const FileHeader& header, Micros now) {
    if (header.name.empty()) { // closing block: the batch is over
        reply(kAck);
        io_.event(now, "end");
        if (phase_ == Phase::AfterEot) {
            save(now);
        }
        phase_ = Phase::Idle;
        return;
    }
    if (phase_ == Phase::AfterEot) {
        save(now); // the previous file is complete; a second one replaces it
    }
    io_.event(now, "header " + header.name + " " +
                       (header.size ? std::to_string(*header.size) : std::string("?")));
    header_ = header;
    image_.clear();
    expected_ = 1;
    copies_.clear();
    timeouts_ = 0;
    phase_ = Phase::Data;
    io_.send({kAck, kCrcRequest});
}

void YmodemReceiver::onDataBlock(uint8_t number, std::span<const uint8_t> field, Micros now) {
    const uint32_t previous = expected_ - 1;
    if (phase_ == Phase::Data && number == static_cast<uint8_t>(expected_)) {
        const uint32_t index = expected_;
        const uint32_t copy = ++copies_[index];
        if (faults_.hangupAt == index) {
            io_.event(now, "hangup");
            hungUp_ = true;
            phase_ = Phase::Idle;
            io_.hangUp();
            return;
        }
        if (faults_.canAt == index || image_.size() + field.size() > kFlashSize) {
            blockEvent(now, index, field.size(), "can");
            abort(now);
            return;
        }
        if (copy == 1 && faults_.nakBlocks.count(index)) {
            blockEvent(now, index, field.size(), "nak");
            reply(kNak);
            return;
        }
        image_.insert(image_.end(), field.begin(), field.end());
        ++expected_;
        timeouts_ = 0;
        const auto drop = faults_.dropAcks.find(index);
        const bool silent = drop != faults_.dropAcks.end() && copy <= drop->second;
        blockEvent(now, index, field.size(), silent ? "dropped" : "ok");
        if (faults_.slowFlashMs > 0) {
            flashDoneAt_ = now + static_cast<Micros>(faults_.slowFlashMs) * kMillisecond;
            pendingReply_ = silent ? std::nullopt : std::optional<uint8_t>(kAck);
        } else if (!silent) {
            reply(kAck);
        }
        return;
    }
    if (previous >= 1 && number == static_cast<uint8_t>(previous)) {
        // A repeat of the block we have: our answer was lost or dropped.
        const uint32_t copy = ++copies_[previous];
        const auto drop = faults_.dropAcks.find(previous);
        if (drop != faults_.dropAcks.end() && copy <= drop->second) {
            blockEvent(now, previous, field.size(), "dropped");
            return;
        }
        blockEvent(now, previous, field.size(), "dup");
        reply(kAck);
        return;
    }
    blockEvent(now, number, field.size(), "bad-number");
    reply(kNak);
}

void YmodemReceiver::onEot(Micros now) {
    io_.event(now, "eot");
    reply(kAck);
    if (phase_ == Phase::Data || phase_ == Phase::AfterEot) {
        phase_ = Phase::AfterEot;
        requests_ = 0;
    }
}

void YmodemReceiver::abort(Micros now) {
    io_.send({kCan, kCan});
    phase_ = Phase::Purge;
    lastInput_ = now;
}

void YmodemReceiver::save(Micros now) {
    std::vector<uint8_t> image = image_;
    if (header_.size && *header_.size < image.size()) {
        image.resize(*header_.size);
    }
    if (io_.save(image)) {
        io_.event(now, "saved " + std::to_string(image.size()));
    }
}

void YmodemReceiver::tick(Micros now) {
    if (phase_ == Phase::Idle) {
        return;
    }
    if (phase_ == Phase::Purge) {
        if (now >= lastInput_ + kPurgeQuiet) {
            phase_ = Phase::Idle;
        }
        return;
    }
    if (flashDoneAt_ >= 0) {
        if (now < flashDoneAt_) {
            return;
        }
        flashDoneAt_ = -1;
        lastActivity_ = now;
        if (pendingReply_) {
            reply(*pendingReply_);
            pendingReply_.reset();
        }
    }
    if (!packet_.empty()) {
        if (now >= lastInput_ + kByteTimeout) { // the rest of the block never came
            packet_.clear();
            lastActivity_ = now;
            if (phase_ != Phase::WaitHeader) {
                reply(kNak);
            }
        }
        return;
    }
    switch (phase_) {
    case Phase::WaitHeader:
        if (now >= nextRequest_) {
            if (++requests_ > kMaxRequests) {
                phase_ = Phase::Idle;
                return;
            }
            reply(kCrcRequest);
            nextRequest_ = now + kRequestEvery;
        }
        break;
    case Phase::Data:
        if (now >= lastActivity_ + kDataSilence) {
            lastActivity_ = now;
            if (++timeouts_ >= kMaxTimeouts) {
                abort(now);
            } else {
                reply(kNak);
            }
        }
        break;
    case Phase::AfterEot:
        if (now >= lastActivity_ + kEndSilence) {
            lastActivity_ = now;
            if (++requests_ > kMaxEndRequests) {
                save(now);
                phase_ = Phase::Idle;
            } else {
                reply(kCrcRequest);
            }
        }
        break;
    default:
        break;
    }
}

Micros YmodemReceiver::deadline() const {
    switch (phase_) {
    case Phase::Idle:
        return -1;
    case Phase::Purge:
        return lastInput_ + kPurgeQuiet;
    default:
        break;
    }
    if (flashDoneAt_ >= 0) {
        return flashDoneAt_;
    }
    if (!packet_.empty()) {
        return lastInput_ + kByteTimeout;
    }
    switch (phase_) {
    case Phase::WaitHeader:
        return nextRequest_;
    case Phase::Data:
        return lastActivity_ + kDataSilence;
    case Phase::AfterEot:
        return lastActivity_ + kEndSilence;
    default:
        return -1;
    }
}

} // namespace sim
