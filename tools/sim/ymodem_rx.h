// The bootloader's YMODEM receiver, as a small MCU runs it: one file per
// batch, CRC-16 blocks of 128 or 1024 bytes, answers only after a block has
// fully arrived and been written to flash.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
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

enum class BlockCheck { Ok, BadNumber, BadCrc };

// Checks a whole block as it came off the line: lead byte (SOH or STX), block
// number and its complement, data field, CRC high byte first.
BlockCheck checkBlock(std::span<const uint8_t> block);

// Bytes a block takes on the line for a lead byte, 0 for any other byte.
size_t blockLength(uint8_t lead);

struct FileHeader {
    std::string name;             // empty: the batch ends
    std::optional<uint64_t> size; // none when the header carries no size
};

// Reads the header block's data field: name, NUL, decimal size, then a space
// or NUL. Control bytes in the name read as '?'.
FileHeader parseHeader(std::span<const uint8_t> field);

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

    // Time the receiver listens after the receive command before it asks.
    static constexpr Micros kListen = 250 * kMillisecond;

private:
    enum class Phase {
        Idle,
        WaitHeader, // asking for the header with 'C'
        Data,       // header acknowledged; data blocks and EOT
        AfterEot,   // EOT acknowledged; waiting for the closing block
        Purge,      // aborted; swallowing input until the line is quiet
    };

    void onBlock(Micros now);
    void onHeader(const FileHeader& header, Micros now);
    void onDataBlock(uint8_t number, std::span<const uint8_t> field, Micros now);
    void onEot(Micros now);
    void reply(uint8_t byte);
    void abort(Micros now);
    void finish(Micros now);
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
    std::optional<uint8_t> pendingReply_; // sent when flash is written
    FileHeader header_;
    std::vector<uint8_t> image_;
    uint32_t expected_ = 1;               // next data block, counted from 1
    std::map<uint32_t, uint32_t> copies_; // data block -> copies seen
    bool hungUp_ = false;
};

} // namespace sim
