// The YMODEM sender: CRC-16/XMODEM, the block formats and the batch
// transmitter that sends one image to a receiver waiting on a serial link (1K
// blocks, CRC-16). It uses the link and nothing else; whoever runs it hears of
// progress and answers for cancel through an Observer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

class SerialLink;

namespace ymodem {

// Transfer result codes of Ymodem_Transmit.
inline constexpr uint32_t kOk = 0;
inline constexpr uint32_t kNoAck = 3;        // a block unanswered, or the receiver aborted
inline constexpr uint32_t kNameTooLong = 4;  // name and size do not fit the header block
inline constexpr uint32_t kNoHeaderAck = 12; // the header never acknowledged
inline constexpr uint32_t kCancelled = 100;
inline constexpr uint32_t kTooLarge = 255; // more data blocks than the limit

inline constexpr size_t kPacketSize = 1027; // head (3) + 1024-byte data field

// Data blocks an image of `size` bytes takes: 1024-byte blocks while 1024 or
// more bytes remain, 128-byte blocks for the rest.
constexpr uint64_t blockCount(uint64_t size) {
    return size / 1024 + (size % 1024 + 127) / 128;
}

// One CRC step: shifts `byte` into the low end of the register (which
// therefore trails the message by 16 bits).
uint16_t UpdateCRC16(uint16_t crc, uint8_t byte);
// CRC-16/XMODEM of `size` (>= 1) bytes from `idx` on.
uint16_t Cal_CRC16(const uint8_t* bytes, uint32_t idx, uint32_t size);
// Header block (block 0) into `packet` (kPacketSize bytes): name, NUL, size
// text, zeros. Whatever is handed in, nothing goes beyond the data field.
uint32_t Ymodem_PrepareIntialPacket(uint8_t* packet, std::string_view name,
                                    std::string_view sizeText);
// Data block `number` into `packet` from `data` at offset `idx`, with
// `remaining` (>= 1) image bytes left from there.
void Ymodem_PreparePacket(const uint8_t* data, uint32_t idx, uint8_t* packet, uint8_t number,
                          uint32_t remaining);

// What the transmitter tells whoever runs it, on the transmitter's thread.
class Observer {
public:
    virtual ~Observer() = default;
    // Before each data block's first copy: `value` image bytes of `max` sent;
    // 100 of 100 once the batch has ended well.
    virtual void progress(uint32_t value, uint32_t max) = 0;
    // Polled after every reply read but the final EOT's; true ends the
    // transfer with kCancelled, after log("Process Canceled.").
    virtual bool cancelRequested() = 0;
    virtual void log(std::string_view line) = 0;
};

// Sends `size` bytes of `data` under `name` as a YMODEM batch of one file to a
// receiver waiting on the open `link`. An image that needs more than
// `maxBlocks` data blocks, or whose name and size text overfill the header
// block, is refused before anything is sent. Returns a result code (k...).
uint32_t Ymodem_Transmit(SerialLink& link, const uint8_t* data, std::string_view name,
                         uint32_t size, uint32_t maxBlocks, Observer& observer);

} // namespace ymodem
