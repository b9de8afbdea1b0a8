#include "ymodem_rx.h"

#include <algorithm>
#include <string>

namespace sim {

namespace {

constexpr size_t kHead = 3; // lead byte, number, complement
constexpr size_t kCrcSize = 2;
constexpr Micros kListen = 250 * kMillisecond; // after the receive command, before asking
constexpr Micros kByteTimeout = kSecond;       // a block that stops arriving is dropped
constexpr Micros kRequestEvery = kSecond;
constexpr int kMaxRequests = 30;             // 'C' asks for the header before giving up
constexpr Micros kDataSilence = 3 * kSecond; // NAK when the sender goes quiet
constexpr int kMaxTimeouts = 10;
constexpr Micros kEndSilence = kSecond; // after EOT: ask for the next header
constexpr int kMaxEndRequests = 3;
constexpr Micros kPurgeQuiet = kSecond;
constexpr Micros kSecondAck = 5 * kMillisecond;

// True when `copy` of data `block` is among the first copies a fault names.
bool firstCopies(const std::map<uint32_t, uint32_t>& fault, uint32_t block, uint32_t copy) {
    const auto found = fault.find(block);
    return found != fault.end() && copy <= found->second;
}

// Bytes a block takes on the line for a lead byte, 0 for any other byte.
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

struct FileHeader {
    std::string name;             // empty: the batch ends
    std::optional<uint64_t> size; // none when the header carries no size
};

// The header block's data field: name, NUL, decimal size, then a space or
// NUL. Control bytes in the name read as '?'.
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
    secondAckAt_ = -1;
    size_.reset();
    image_.clear();
    expected_ = 1;
    copies_.clear();
}

void YmodemReceiver::stop() {
    phase_ = Phase::Idle;
    packet_.clear();
    flashDoneAt_ = -1;
    secondAckAt_ = -1;
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

bool YmodemReceiver::answerDropped(uint32_t block, uint32_t copy) const {
    return firstCopies(faults_.dropAcks, block, copy);
}

void YmodemReceiver::acknowledge(bool twice, Micros now) {
    reply(kAck);
    if (twice) {
        secondAckAt_ = now + kSecondAck;
    }
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
    } else if (byte == kEot) {
        onEot(now);
    } else if (byte == kCan && sawCan_) {
        phase_ = Phase::Purge; // the sender gave up
    }
    // Two CANs in a row cancel; anything else between blocks is line noise.
    sawCan_ = byte == kCan && !sawCan_;
}

void YmodemReceiver::onBlock(Micros now) {
    const std::vector<uint8_t> block = std::move(packet_);
    packet_.clear();
    const uint8_t number = block[1];
    const auto field =
        std::span<const uint8_t>(block).subspan(kHead, block.size() - kHead - kCrcSize);
    const uint16_t crc = static_cast<uint16_t>(block[block.size() - 2] << 8 | block.back());

    const bool numberOk = static_cast<uint8_t>(number ^ block[2]) == 0xFF;
    if (!numberOk || crc16(field) != crc) {
        blockEvent(now, number, field.size(), numberOk ? "bad-crc" : "bad-number");
        reply(kNak);
    } else if (number == 0 && phase_ == Phase::Data && expected_ == 1) {
        blockEvent(now, 0, field.size(), "dup"); // our ACK of the header was lost
        io_.send({kAck, kCrcRequest});
    } else if (number == 0 && phase_ != Phase::Data) {
        onHeader(field, now);
    } else if (phase_ == Phase::WaitHeader) {
        blockEvent(now, number, field.size(), "bad-number");
        reply(kNak);
    } else {
        onDataBlock(number, field, now); // after EOT only a repeat of the last block fits
    }
}

void YmodemReceiver::onHeader(std::span<const uint8_t> field, Micros now) {
    const FileHeader header = parseHeader(field);
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
    size_ = header.size;
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
        } else if (faults_.canAt == index || image_.size() + field.size() > kFlashSize) {
            blockEvent(now, index, field.size(), "can");
            abort(now);
        } else if (firstCopies(faults_.nakBlocks, index, copy)) {
            blockEvent(now, index, field.size(), "nak");
            reply(kNak);
        } else {
            image_.insert(image_.end(), field.begin(), field.end());
            ++expected_;
            timeouts_ = 0;
            const bool silent = answerDropped(index, copy);
            const bool twice = faults_.doubleAcks.count(index) > 0;
            blockEvent(now, index, field.size(), silent ? "dropped" : "ok");
            if (faults_.slowFlashMs > 0) {
                flashDoneAt_ = now + static_cast<Micros>(faults_.slowFlashMs) * kMillisecond;
                ackWhenWritten_ = !silent;
                ackTwice_ = twice;
            } else if (!silent) {
                acknowledge(twice, now);
            }
        }
    } else if (previous >= 1 && number == static_cast<uint8_t>(previous)) {
        // A repeat of the block we have: our answer was lost or dropped.
        const bool silent = answerDropped(previous, ++copies_[previous]);
        blockEvent(now, previous, field.size(), silent ? "dropped" : "dup");
        if (!silent) {
            reply(kAck);
        }
    } else {
        blockEvent(now, number, field.size(), "bad-number");
        reply(kNak);
    }
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
    if (size_ && *size_ < image.size()) {
        image.resize(*size_);
    }
    if (io_.save(image)) {
        io_.event(now, "saved " + std::to_string(image.size()));
    }
}

void YmodemReceiver::tick(Micros now) {
    const Micros due = deadline();
    if (due < 0 || now < due) {
        return;
    }
    lastActivity_ = now;
    if (secondAckAt_ >= 0 && now >= secondAckAt_) {
        secondAckAt_ = -1;
        reply(kAck);
    } else if (phase_ == Phase::Purge) {
        phase_ = Phase::Idle;
    } else if (flashDoneAt_ >= 0) { // the block is written: answer it
        flashDoneAt_ = -1;
        if (ackWhenWritten_) {
            acknowledge(ackTwice_, now);
        }
    } else if (!packet_.empty()) { // the rest of the block never came
        packet_.clear();
        if (phase_ != Phase::WaitHeader) {
            reply(kNak);
        }
    } else if (phase_ == Phase::Data) { // the sender went quiet
        if (++timeouts_ >= kMaxTimeouts) {
            abort(now);
        } else {
            reply(kNak);
        }
    } else if (phase_ == Phase::WaitHeader && ++requests_ > kMaxRequests) {
        phase_ = Phase::Idle; // nobody sends: back to the menu
    } else if (phase_ == Phase::AfterEot && ++requests_ > kMaxEndRequests) {
        save(now); // no closing block came: keep the file
        phase_ = Phase::Idle;
    } else {
        reply(kCrcRequest); // ask for the (next) header
        nextRequest_ = now + kRequestEvery;
    }
}

// tick acts exactly when this time has come.
Micros YmodemReceiver::deadline() const {
    return earliest(secondAckAt_, receiveDeadline());
}

Micros YmodemReceiver::receiveDeadline() const {
    if (phase_ == Phase::Idle) {
        return -1;
    }
    if (phase_ == Phase::Purge) {
        return lastInput_ + kPurgeQuiet;
    }
    if (flashDoneAt_ >= 0) {
        return flashDoneAt_;
    }
    if (!packet_.empty()) {
        return lastInput_ + kByteTimeout;
    }
    if (phase_ == Phase::WaitHeader) {
        return nextRequest_;
    }
    return lastActivity_ + (phase_ == Phase::Data ? kDataSilence : kEndSilence);
}

} // namespace sim
