// The YMODEM sender: CRC-16 and block framing, and the transmitter against a
// scripted receiver on a virtual line.
#include "serial/port_system.h"
#include "virtual_link.h"
#include "ymodem/Ymodem.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <map>
#include <sstream>

namespace {

using Bytes = std::vector<uint8_t>;
using Progress = std::vector<std::pair<uint32_t, uint32_t>>;

Bytes image(size_t size) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) {
        out[i] = static_cast<uint8_t>(i * 131 + (i >> 8));
    }
    return out;
}

// A block as it must be on the wire: head, field, CRC (high byte first).
Bytes block(uint8_t lead, uint8_t number, const Bytes& field) {
    const uint16_t crc = ymodem::Cal_CRC16(field.data(), 0, static_cast<uint32_t>(field.size()));
    Bytes out{lead, number, static_cast<uint8_t>(255 - number)};
    out.insert(out.end(), field.begin(), field.end());
    out.push_back(static_cast<uint8_t>(crc >> 8));
    out.push_back(static_cast<uint8_t>(crc));
    return out;
}

// The header's field: name, NUL, size text, zeros to 1024 bytes.
Bytes headerField(const std::string& name, const std::string& sizeText) {
    Bytes field(name.begin(), name.end());
    field.push_back(0);
    field.insert(field.end(), sizeText.begin(), sizeText.end());
    field.resize(1024, 0);
    return field;
}

TEST(Crc16, PublishedVectorsAndTheStep) {
    const std::pair<std::string, uint16_t> cases[] = {
        {"123456789", 0x31C3}, {"abc", 0x9DD6}, {std::string(128, '\0'), 0x0000}};
    for (const auto& [message, crc] : cases) {
        Bytes packet{0xAA, 0xBB, 0xCC}; // behind a block's head
        packet.insert(packet.end(), message.begin(), message.end());
        EXPECT_EQ(ymodem::Cal_CRC16(packet.data(), 3, static_cast<uint32_t>(message.size())), crc)
            << message;
    }
    // The step only shifts the byte in; two zero steps after the message make
    // the CRC, as the table's does, over every byte value.
    EXPECT_EQ(ymodem::UpdateCRC16(0, 0x61), 0x0061);
    const Bytes message = image(1024);
    uint16_t stepped = 0;
    for (const uint8_t b : message) {
        stepped = ymodem::UpdateCRC16(stepped, b);
    }
    EXPECT_EQ(ymodem::Cal_CRC16(message.data(), 0, 1024),
              ymodem::UpdateCRC16(ymodem::UpdateCRC16(stepped, 0), 0));
}

// Overlong input is cut to the field, the name keeping its terminator, and
// nothing lands beyond the packet.
TEST(HeaderBlock, NameTerminatorSizeTextAndZeros) {
    const struct {
        std::string name, sizeText;
        Bytes field;
    } cases[] = {
        {std::string(1019, 'x'), "1025", headerField(std::string(1019, 'x'), "1025")}, // full
        {std::string(2000, 'x'), "196608", headerField(std::string(1023, 'x'), "")},
    };
    for (const auto& c : cases) {
        Bytes packet(ymodem::kPacketSize + 64, 0xEE);
        ymodem::Ymodem_PrepareIntialPacket(packet.data(), c.name, c.sizeText);
        Bytes expected{0x02, 0x00, 0xFF};
        expected.insert(expected.end(), c.field.begin(), c.field.end());
        expected.resize(packet.size(), 0xEE);
        EXPECT_EQ(packet, expected) << c.name.size() << " " << c.sizeText;
    }
}

// The limit is on blocks, not bytes: 1024-byte blocks while 1024 bytes remain,
// then 128-byte ones. (How they are laid out is checked on the wire below.)
TEST(DataBlock, Count) {
    const std::pair<uint64_t, uint64_t> counts[] = {
        {0, 0}, {1023, 8}, {1025, 2}, {190336, 192}, {190337, 193}, {196607, 199}, {196608, 192}};
    for (const auto& [size, blocks] : counts) {
        EXPECT_EQ(ymodem::blockCount(size), blocks) << size;
    }
}

// The wire a correct sender produces for the frames named (all but the last are 1024-byte ones in
// the images used here); "H" header, "Z" closing block, "E" EOT, "." a read
// that followed no frame.
Bytes expectedWire(const std::string& frames, const std::string& name, const Bytes& data) {
    Bytes out;
    std::istringstream in(frames);
    for (std::string f; in >> f;) {
        Bytes frame{0x04};
        if (f == ".") {
            continue;
        } else if (f == "H") {
            frame = block(0x02, 0, headerField(name, std::to_string(data.size())));
        } else if (f == "Z") {
            frame = block(0x01, 0, Bytes(128, 0));
        } else if (f != "E") {
            const size_t number = std::stoul(f);
            const size_t at = (number - 1) * 1024;
            const size_t field = data.size() - at >= 1024 ? 1024 : 128;
            Bytes part(data.begin() + static_cast<long>(at),
                       data.begin() + static_cast<long>(std::min(data.size(), at + field)));
            part.resize(field, 0x1A);
            frame = block(field == 1024 ? 0x02 : 0x01, static_cast<uint8_t>(number), part);
        }
        out.insert(out.end(), frame.begin(), frame.end());
    }
    return out;
}

struct Exchange {
    const char* name;
    uint32_t size;
    // The receiver's answer to the i-th frame: A ACK, N NAK, C CAN, X CAN CAN,
    // - silence, H hang-up (the adapter unplugged); ACK once they are used up.
    std::string replies;
    uint32_t result;
    std::string frames; // as in expectedWire: each frame is followed by one read
    Progress progress;
    int cancelAt = -1; // the operator cancels when this frame comes in
    std::string fileName = "fw.bin";
};

// An image of whole 1024-byte blocks to a receiver that acknowledges all.
Exchange sentWhole(const char* name, uint32_t blocks) {
    Exchange x{name, blocks * 1024, "", 0, "H", {}};
    for (uint32_t n = 1; n <= blocks; ++n) {
        x.frames += " " + std::to_string(n);
        x.progress.emplace_back((n - 1) * 1024, x.size);
    }
    x.frames += " E Z E";
    x.progress.emplace_back(100, 100);
    return x;
}

const Exchange kExchanges[] = {
    // Twelve one-second tries; the header goes out before the 1st, 4th and
    // 7th, and a reply other than ACK is a failed try.
    {"HeaderGoesOnTriesZeroThreeSix", 1000, "N-N", 12, "H . . H . . H . . . . .", {}},
    {"HeaderAckOnItsSecondCopy", 100, "N", 0, "H . . H 1 E Z E", {{0, 100}, {100, 100}}},
    {"NakAndLoneCanResendTheBlock", 100, "ANCA", 0, "H 1 1 1 E Z E", {{0, 100}, {100, 100}}},
    {"Image1025ByteForByte", 1025, "", 0, "H 1 2 E Z E", {{0, 1025}, {1024, 1025}, {100, 100}}},
    {"EmptyImageWithEotsUnanswered", 0, "A-A-", 0, "H E Z E", {{100, 100}}},
    {"ThreeSilencesAcrossANak", 1023, "A-N--", 3, "H 1 1 1 1", {{0, 1023}}},
    // A receiver that refuses every copy gets ten, silences included.
    {"TenCopiesAtMost", 100, "ANNNNNN-NN-", 3, "H 1 1 1 1 1 1 1 1 1 1", {{0, 100}}},
    // The first EOT's silence counts for nothing; the closing block's and the
    // final EOT's share one count.
    {"ClosingSilencesShareTheFinalEotCount", 100, "AA---A-", 3, "H 1 E Z Z Z E", {{0, 100}}},
    {"CanCanOnHeaderWithTheLongestName", 100, "X", 3, "H", {}, -1, std::string(1020, 'n')},
    {"CanCanOnDataBlock", 2048, "AAX", 3, "H 1 2", {{0, 2048}, {1024, 2048}}},
    {"CancelWinsOverHeaderAck", 100, "", 100, "H", {}, 0},
    // A line gone ends the transfer at once, not after the header's twelve tries.
    {"HangUpOnTheHeader", 100, "H", 3, "H", {}},
    {"CancelAfterBlockAck", 2048, "", 100, "H 1", {{0, 2048}}, 1},
    {"CancelAfterFirstEot", 100, "", 100, "H 1 E", {{0, 100}}, 2},
    sentWhole("LargestImageGoesWhole", 192),
    {"TooLarge196609", 196609, "", 255, "", {}},
    // 1020 bytes but 1018 letters, and "1025": one byte too many.
    {"NameTooLong", 1025, "", 4, "", {}, -1, std::string(1016, 'n') + "\xC3\xA9\xC3\xA9"},
};

void PrintTo(const Exchange& x, std::ostream* os) {
    *os << x.name;
}

// Hears the transmitter, and writes the exchange as the receiver saw it: each
// frame, and "." for a read that followed no frame (every read but the final
// EOT's is followed by a cancel poll).
class Recorder : public ymodem::Observer {
public:
    void progress(uint32_t value, uint32_t max) override { reports.emplace_back(value, max); }
    bool cancelRequested() override {
        frames += framed ? "" : " .";
        framed = false;
        return cancel;
    }
    void log(std::string_view line) override { lines.emplace_back(line); }
    void frame(const Bytes& f, bool cancelNow) {
        frames += f.size() == 1 ? (f[0] == 0x04 ? " E" : " ?")
                  : f[1] != 0   ? " " + std::to_string(f[1])
                                : (f[0] == 0x02 ? " H" : " Z");
        framed = true;
        cancel = cancel || cancelNow;
    }

    std::string frames;
    bool framed = false, cancel = false;
    Progress reports;
    std::vector<std::string> lines;
};

// A receiver that splits what it hears into frames (an STX block, an SOH
// block or one byte) and answers each with script(index, frame); empty:
// silence. It answers once the frame has arrived whole, as a receiver must.
class ScriptedReceiver : public sim::Peer {
public:
    using Script = std::function<Bytes(size_t, const Bytes&)>;
    ScriptedReceiver(sim::VirtualLink& link, Script script)
        : link_(link), script_(std::move(script)) {
        link.attach(*this);
    }
    void input(uint8_t byte, sim::Micros) override {
        partial.push_back(byte);
        if (partial.size() == (partial[0] == 2 ? 1029u : partial[0] == 1 ? 133u : 1u)) {
            wire.insert(wire.end(), partial.begin(), partial.end());
            const Bytes answer = script_(frames++, partial);
            partial.clear();
            if (!answer.empty()) {
                link_.send(answer);
            }
        }
    }

    size_t frames = 0;
    Bytes wire; // every byte of the frames heard whole, and the unfinished one last
    Bytes partial;

private:
    sim::VirtualLink& link_;
    Script script_;
};

class Transmit : public testing::TestWithParam<Exchange> {};

TEST_P(Transmit, ResultFramesProgressAndLog) {
    const Exchange& x = GetParam();
    sim::VirtualLink link;
    ASSERT_GE(link.open("line", 115200), 0);
    Recorder recorder;
    const Bytes data = image(x.size);
    const std::map<char, Bytes> answers{{'A', {0x06}},       {'N', {0x15}}, {'C', {0x18}},
                                        {'X', {0x18, 0x18}}, {'-', {}},     {'H', {}}};
    ScriptedReceiver receiver(link, [&](size_t index, const Bytes& frame) {
        recorder.frame(frame, static_cast<int>(index) == x.cancelAt);
        const char reply = index < x.replies.size() ? x.replies[index] : 'A';
        if (reply == 'H') {
            link.hangUp();
        }
        return answers.at(reply);
    });
    const uint32_t result =
        ymodem::Ymodem_Transmit(link, data.data(), x.fileName, x.size, 192, recorder);
    link.delayMs(100); // whatever is still on the line arrives
    Bytes wire = receiver.wire;
    wire.insert(wire.end(), receiver.partial.begin(), receiver.partial.end());
    EXPECT_EQ(result, x.result);
    EXPECT_EQ(recorder.frames, x.frames.empty() ? "" : " " + x.frames);
    EXPECT_EQ(wire, expectedWire(x.frames, x.fileName, data));
    EXPECT_EQ(recorder.reports, x.progress);
    if (x.replies.find('H') != std::string::npos) {
        EXPECT_LT(link.time(), 2 * sim::kSecond);
        EXPECT_EQ(failureText(*link.failure()),
                  "Write Error - " + portsys::errorText(EIO) + "(" + std::to_string(EIO) + ").\n");
    }
    EXPECT_EQ(recorder.lines, x.result == ymodem::kCancelled
                                  ? std::vector<std::string>{"Process Canceled."}
                                  : std::vector<std::string>{});
}

std::string exchangeName(const testing::TestParamInfo<Exchange>& param) {
    return param.param.name;
}

INSTANTIATE_TEST_SUITE_P(Ymodem, Transmit, testing::ValuesIn(kExchanges), exchangeName);

} // namespace
