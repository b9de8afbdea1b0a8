// YMODEM sender: CRC-16/XMODEM, block framing and the batch transmitter that
// sends one image to the unit's bootloader (1K blocks, CRC-16).
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <optional>

#include "ymodem/Ymodem.h"

#include "serial/SerialLink.h"

namespace ymodem {

namespace {

constexpr uint8_t kSoh = 0x01; // lead byte of a 128-byte field
constexpr uint8_t kStx = 0x02; // lead byte of a 1024-byte field
constexpr uint8_t kEot = 0x04;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kCan = 0x18;
constexpr uint8_t kFill = 0x1A;

constexpr uint32_t kHeadSize = 3;
constexpr uint32_t kLongField = 1024;
constexpr uint32_t kShortField = 128;

constexpr uint32_t kHeaderTries = 12;
constexpr uint32_t kHeaderCopyEvery = 3; // the header goes out on tries 0, 3 and 6
constexpr uint32_t kHeaderCopies = 3;
constexpr uint32_t kHeaderWaitMs = 1000;
constexpr uint32_t kMaxSilences = 3;
constexpr uint32_t kMaxCopies = 10; // of one block without an ACK, silences included
constexpr uint32_t kCrcSize = 2;

constexpr uint16_t kPolynomial = 0x1021;

constexpr std::array<uint16_t, 256> makeCrcTable() {
    std::array<uint16_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i << 8;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? (crc << 1) ^ kPolynomial : crc << 1;
        }
        table[i] = static_cast<uint16_t>(crc);
    }
    return table;
}

constexpr std::array<uint16_t, 256> kCrcTable = makeCrcTable();

enum class Reply { Ack, Other, Silence, Abort };

// The receiver's answer to what was just sent: the first byte that arrives
// after it can have reached the receiver whole; none when nothing came. Bytes
// that came earlier answer something else (a second ACK of the previous block,
// the 'C' behind the header's ACK) and are dropped. The driver's drain is not
// waited for: an adapter reports it late, after a quick answer has arrived.
std::optional<uint8_t> readAnswer(SerialLink& link) {
    link.discardUntilSent();
    const uint8_t byte = link.readByte();
    if (link.lastReadEmpty()) {
        return std::nullopt;
    }
    return byte;
}

// A line that has gone (hung up, its adapter unplugged) ends the transfer at
// once instead of waiting out every try; the empty write that confirms it
// records why, as the next copy's write would.
bool lineGone(SerialLink& link) {
    if (link.lineLost() && !link.hasError()) {
        link.send(nullptr, 0);
    }
    return link.hasError();
}

// Reads the receiver's answer to a block. A CAN followed at once by a second
// CAN is the receiver aborting; a lone CAN is line noise and, like any other
// byte but ACK, only makes the block go out again (whatever it read behind the
// CAN is dropped, as the next copy's input flush would drop it).
Reply readReply(SerialLink& link) {
    const std::optional<uint8_t> byte = readAnswer(link);
    if (!byte) {
        return Reply::Silence;
    }
    if (*byte == kAck) {
        return Reply::Ack;
    }
    if (*byte == kCan) {
        const uint8_t second = link.readByte();
        if (!link.lastReadEmpty() && second == kCan) {
            return Reply::Abort;
        }
    }
    return Reply::Other;
}

// A packet buffer with room for the CRC behind the largest block.
using Packet = std::array<uint8_t, kPacketSize + kCrcSize>;

// Writes the block's head and field followed by its CRC (high byte first), in
// one write.
void sendBlock(SerialLink& link, Packet& packet, uint32_t field) {
    const uint16_t crc = Cal_CRC16(packet.data(), kHeadSize, field);
    packet[kHeadSize + field] = static_cast<uint8_t>(crc >> 8);
    packet[kHeadSize + field + 1] = static_cast<uint8_t>(crc);
    link.send(packet.data(), static_cast<int32_t>(kHeadSize + field + kCrcSize));
}

void sendEot(SerialLink& link) {
    const uint8_t eot = kEot;
    link.send(&eot, 1);
}

} // namespace

uint16_t UpdateCRC16(uint16_t crc, uint8_t byte) {
    uint32_t reg = crc;
    uint32_t in = byte | 0x100u; // the marker bit counts the 8 rounds
    do {
        reg <<= 1;
        in <<= 1;
        if (in & 0x100u) {
            reg |= 1u;
        }
        if (reg & 0x10000u) {
            reg ^= kPolynomial;
        }
        reg &= 0xFFFFu;
    } while (!(in & 0x10000u));
    return static_cast<uint16_t>(reg);
}

// Table-driven equivalent of UpdateCRC16 over the bytes followed by two zero
// bytes.
uint16_t Cal_CRC16(const uint8_t* bytes, uint32_t idx, uint32_t size) {
    uint16_t crc = 0;
    for (const uint8_t *p = bytes + idx, *end = p + size; p != end; ++p) {
        crc = static_cast<uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ *p) & 0xFFu]);
    }
    return crc;
}

uint32_t Ymodem_PrepareIntialPacket(uint8_t* packet, std::string_view fn, std::string_view len) {
    std::memset(packet, 0, kPacketSize);
    packet[0] = kStx;
    packet[1] = 0x00;
    packet[2] = 0xFF;
    // Whatever the caller hands in, nothing goes beyond the data field: the
    // name keeps room for its terminator and the size text takes what is left.
    const size_t nameBytes = std::min<size_t>(fn.size(), kLongField - 1);
    const size_t lenBytes = std::min<size_t>(len.size(), kLongField - 1 - nameBytes);
    if (nameBytes > 0) {
        std::memcpy(packet + kHeadSize, fn.data(), nameBytes);
    }
    if (lenBytes > 0) {
        std::memcpy(packet + kHeadSize + nameBytes + 1, len.data(), lenBytes);
    }
    return 0;
}

void Ymodem_PreparePacket(const uint8_t* data, uint32_t idx, uint8_t* packet, uint8_t pktNo,
                          uint32_t size) {
    const uint32_t field = size >= kLongField ? kLongField : kShortField;
    const uint32_t copy = std::min(field, size);
    packet[0] = field == kLongField ? kStx : kSoh;
    packet[1] = pktNo;
    packet[2] = static_cast<uint8_t>(~pktNo);
    std::memcpy(packet + kHeadSize, data + idx, copy);
    if (copy < field) {
        std::memset(packet + kHeadSize + copy, kFill, field - copy);
    }
}

uint32_t Ymodem_Transmit(SerialLink& link, const uint8_t* data, std::string_view fn,
                         uint32_t fnSize, uint32_t maxBlocks, Observer& observer) {
    // Refuse up front what the unit cannot take whole: a refusal after the
    // last block would leave a truncated image in the unit.
    if (blockCount(fnSize) > maxBlocks) {
        return kTooLarge;
    }
    char sizeText[16];
    const int sizeLength = std::snprintf(sizeText, sizeof sizeText, "%i", static_cast<int>(fnSize));
    const std::string_view len(sizeText, static_cast<size_t>(sizeLength));
    if (fn.size() + len.size() > kLongField - 1) {
        return kNameTooLong;
    }

    auto cancelled = [&observer] {
        if (!observer.cancelRequested()) {
            return false;
        }
        observer.log("Process Canceled.");
        return true;
    };

    Packet packet;
    Ymodem_PrepareIntialPacket(packet.data(), fn, len);

    // Sends the block in the packet buffer until it is acknowledged (empty
    // result) or the transfer ends (its result code). Replies other than ACK
    // make the block go out again, up to kMaxCopies copies in all, so that a
    // unit that refuses every copy cannot keep the loader; silences are also
    // counted in `silences`.
    auto sendUntilAcked = [&](uint32_t field, uint32_t& silences) -> std::optional<uint32_t> {
        for (uint32_t copies = 1;; ++copies) {
            link.flushInput();
            sendBlock(link, packet, field);
            const Reply reply = readReply(link);
            if (cancelled()) {
                return kCancelled;
            }
            if (reply == Reply::Abort || lineGone(link)) {
                return kNoAck;
            }
            if (reply == Reply::Ack) {
                return std::nullopt;
            }
            if ((reply == Reply::Silence && ++silences == kMaxSilences) || copies == kMaxCopies) {
                return kNoAck;
            }
        }
    };

    // Header: three copies, each followed by three one-second tries; a try
    // sees only a reply that arrived after its own input flush.
    bool headerAcked = false;
    for (uint32_t t = 0; t < kHeaderTries && !headerAcked; ++t) {
        link.flushInput();
        if (t % kHeaderCopyEvery == 0 && t / kHeaderCopyEvery < kHeaderCopies) {
            sendBlock(link, packet, kLongField);
        }
        link.delayMs(kHeaderWaitMs);
        const Reply reply = readReply(link);
        if (cancelled()) {
            return kCancelled;
        }
        if (reply == Reply::Abort || lineGone(link)) {
            return kNoAck;
        }
        headerAcked = reply == Reply::Ack;
    }
    link.flushInput(); // whatever the receiver sent behind its ACK
    if (!headerAcked) {
        return kNoHeaderAck;
    }

    uint32_t offset = 0;
    uint32_t remaining = fnSize;
    uint8_t blockNumber = 1; // the refusal above keeps it at or below maxBlocks
    while (remaining > 0) {
        observer.progress(offset, fnSize);
        Ymodem_PreparePacket(data, offset, packet.data(), blockNumber, remaining);
        const uint32_t field = remaining >= kLongField ? kLongField : kShortField;
        uint32_t silences = 0;
        if (const auto ended = sendUntilAcked(field, silences)) {
            return *ended;
        }
        offset += field;
        remaining = remaining > field ? remaining - field : 0;
        ++blockNumber;
    }

    // End of the file; its answer means nothing to us.
    sendEot(link);
    (void)readAnswer(link);
    if (cancelled()) {
        return kCancelled;
    }
    link.flushInput();

    // Closing block (empty header): ends the batch. Its silences and the final
    // EOT's share one count.
    packet[0] = kSoh;
    packet[1] = 0x00;
    packet[2] = 0xFF;
    std::memset(packet.data() + kHeadSize, 0, kShortField);
    uint32_t silences = 0;
    if (const auto ended = sendUntilAcked(kShortField, silences)) {
        return *ended;
    }

    link.flushInput();
    sendEot(link);
    if (!readAnswer(link) && ++silences == kMaxSilences) {
        return kNoAck;
    }
    observer.progress(100, 100);
    return kOk;
}

} // namespace ymodem
