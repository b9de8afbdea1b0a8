// The bootloader's YMODEM receiver, as a small MCU runs it: one file per
// batch, CRC-16 blocks of 128 or 1024 bytes, answers only after a block has
// fully arrived and been written to flash.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "options.h"
#include "unit_io.h"

namespace sim {

inline constexpr uint8_t kSoh = 0x01;
inline constexpr uint8_t kStx = 0x02;
inline constexpr uint8_t kEot = 0x04;
inline constexpr uint8_t kAck = 0x06;
inline constexpr uint8_t kNak = 0x15;
inline constexpr uint8_t kCan = 0x18;
inline constexpr uint8_t kCrcRequest = 'C';

// Flash the unit has for an image: 192 blocks of 1024 bytes.
inline constexpr size_t kFlashSize = 192 * 1024;

// CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection, no final XOR).
uint16_t crc16(std::span<const uint8_t> bytes);

class YmodemReceiver {
public:
    YmodemReceiver(const Faults& faults, UnitIo& io);

    // The bootloader was told to receive.
    void start(Micros now);
    // The unit was reset: whatever was in progress is gone.
    void stop();
    void input(uint8_t byte, Micros now);
    void tick(Micros now);
    // When tick wants to run next; negative when nothing is pending.
    Micros deadline() const;
    // True while flash is being written: input waits on the line meanwhile.
    bool busy(Micros now) const;
    // False once the transfer has ended and the bootloader is back at its menu.
    bool active() const { return phase_ != Phase::Idle; }
    bool hungUp() const { return hungUp_; }

private:
    enum class Phase {
        Idle,
        WaitHeader, // asking for the header with 'C'
        Data,       // header acknowledged; data blocks and EOT
        AfterEot,   // EOT acknowledged; waiting for the closing block
        Purge,      // aborted; swallowing input until the line is quiet
    };

    void onBlock(Micros now);
    void onHeader(std::span<const uint8_t> field, Micros now);
    void onDataBlock(uint8_t number, std::span<const uint8_t> field, Micros now);
    void onEot(Micros now);
    void reply(uint8_t byte);
    // ACKs a data block, and once more kSecondAck later if it is to be
    // acknowledged twice.
    void acknowledge(bool twice, Micros now);
    void abort(Micros now);
    bool answerDropped(uint32_t block, uint32_t copy) const;
    // When the receiving state wants tick next (the second ACK aside).
    Micros receiveDeadline() const;
    void save(Micros now);
    void blockEvent(Micros now, uint32_t index, size_t length, const char* what);

    const Faults& faults_;
    UnitIo& io_;
    Phase phase_ = Phase::Idle;
    std::vector<uint8_t> packet_; // the block being received
    size_t packetLength_ = 0;
    Micros lastInput_ = 0;
    Micros lastActivity_ = 0; // last byte in or answer out
    Micros nextRequest_ = -1; // next 'C'
    int requests_ = 0;
    int timeouts_ = 0;
    bool sawCan_ = false;
    Micros flashDoneAt_ = -1;
    bool ackWhenWritten_ = false;
    bool ackTwice_ = false; // the block being written is to be acknowledged twice
    Micros secondAckAt_ = -1;
    std::optional<uint64_t> size_; // the file's size as its header gave it
    std::vector<uint8_t> image_;
    uint32_t expected_ = 1;               // next data block, counted from 1
    std::map<uint32_t, uint32_t> copies_; // data block -> copies seen
    bool hungUp_ = false;
};

} // namespace sim
