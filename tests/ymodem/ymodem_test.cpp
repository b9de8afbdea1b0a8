// The YMODEM sender: CRC-16 and block framing, and the transmitter against a
// scripted receiver on a pseudo-terminal.
#include "FakeSink.h"
#include "Pty.h"
#include "ScriptedReceiver.h"
#include "flash/ZKFW.h"
#include "serial/ZKSerial.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

namespace {

using Progress = std::vector<std::pair<int32_t, int32_t>>;
using namespace std::chrono_literals;

Bytes image(size_t size) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) {
        out[i] = static_cast<uint8_t>(i * 131 + (i >> 8));
    }
    return out;
}

// A block as it must be on the wire: head, field, CRC (high byte first).
Bytes block(uint8_t lead, uint8_t number, Bytes field) {
    const uint16_t crc = ZKFW::Cal_CRC16(field.data(), 0, static_cast<uint32_t>(field.size()));
    field.insert(field.begin(), {lead, number, static_cast<uint8_t>(255 - number)});
    field.insert(field.end(), {static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)});
    return field;
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
        EXPECT_EQ(ZKFW::Cal_CRC16(packet.data(), 3, static_cast<uint32_t>(message.size())), crc)
            << message;
    }
    // The step only shifts the byte in; two zero steps after the message make
    // the CRC, as the table's does, over every byte value.
    EXPECT_EQ(ZKFW::UpdateCRC16(0, 0x61), 0x0061);
    const Bytes message = image(1024);
    uint16_t stepped = 0;
    for (const uint8_t b : message) {
        stepped = ZKFW::UpdateCRC16(stepped, b);
    }
    EXPECT_EQ(ZKFW::Cal_CRC16(message.data(), 0, 1024),
              ZKFW::UpdateCRC16(ZKFW::UpdateCRC16(stepped, 0), 0));
}

// Overlong input is cut to the field, the name keeping its terminator, and
// nothing lands beyond the packet.
TEST(HeaderBlock, NameTerminatorSizeTextAndZeros) {
    const struct {
        std::string name, sizeText;
        Bytes field;
    } cases[] = {
        {"a.bin", "1000", headerField("a.bin", "1000")},
        {"B\xC3\xBCro", "1000", headerField("B\xC3\xBCro", "1000")}, // 4 letters, 5 bytes
        {std::string(1019, 'x'), "1025", headerField(std::string(1019, 'x'), "1025")}, // full
        {std::string(2000, 'x'), "196608", headerField(std::string(1023, 'x'), "")},
    };
    for (const auto& c : cases) {
        Bytes packet(ZKFW::kPacketSize + 64, 0xEE);
        EXPECT_EQ(ZKFW::Ymodem_PrepareIntialPacket(packet.data(), c.name, c.sizeText), 0u);
        Bytes expected{0x02, 0x00, 0xFF};
        expected.insert(expected.end(), c.field.begin(), c.field.end());
        expected.resize(packet.size(), 0xEE);
        EXPECT_EQ(packet, expected) << c.name.size() << " " << c.sizeText;
    }
}

TEST(DataBlock, LeadNumberFieldAndFill) {
    const struct {
        uint32_t remaining;
        Bytes head;
        size_t imageBytes, fill;
    } cases[] = {
        {1024, {0x02, 1, 0xFE}, 1024, 0},
        {1023, {0x01, 2, 0xFD}, 128, 0},
        {128, {0x01, 192, 0x3F}, 128, 0},
        {100, {0x01, 7, 0xF8}, 100, 28},
    };
    const uint32_t offset = 5;
    for (const auto& c : cases) {
        const Bytes data = image(offset + c.remaining);
        Bytes packet(ZKFW::kPacketSize, 0xEE);
        ZKFW::Ymodem_PreparePacket(data.data(), offset, packet.data(), c.head[1], c.remaining);
        Bytes expected = c.head;
        expected.insert(expected.end(), data.begin() + offset,
                        data.begin() + offset + static_cast<long>(c.imageBytes));
        expected.resize(expected.size() + c.fill, 0x1A);
        expected.resize(packet.size(), 0xEE); // a short field leaves the rest alone
        EXPECT_EQ(packet, expected) << c.remaining;
    }
}

TEST(BlockLimit, BlocksNotBytes) {
    const struct {
        uint64_t size, blocks;
        bool fits;
    } cases[] = {
        {0, 0, true},         {1023, 8, true},      {1025, 2, true},     {190336, 192, true},
        {190337, 193, false}, {196607, 199, false}, {196608, 192, true}, {196609, 193, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ZKFW::blockCount(c.size), c.blocks) << c.size;
        EXPECT_EQ(ZKFW::fitsInMemory(c.size), c.fits) << c.size;
    }
}

// "H" header, "Z" closing block, "E" EOT, a number for that data block.
std::string labels(const std::vector<Bytes>& frames) {
    std::string out;
    for (const Bytes& f : frames) {
        out += out.empty() ? "" : " ";
        out += f.size() == 1  ? (f[0] == 0x04 ? "E" : "?")
               : f[1] != 0    ? std::to_string(f[1])
               : f[0] == 0x02 ? "H"
                              : "Z";
    }
    return out;
}

// The wire a correct sender produces for the frames named (all data blocks
// but the last are 1024-byte ones in the images used here).
Bytes expectedWire(const std::string& frames, const std::string& name, const Bytes& data) {
    Bytes out;
    std::istringstream in(frames);
    for (std::string f; in >> f;) {
        Bytes frame{0x04};
        if (f == "H") {
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
    // - silence; ACK once they are used up.
    std::string replies;
    uint32_t result;
    std::string frames;
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
    {"SilentReceiverGetsThreeHeaderCopies", 1000, "---", 12, "H H H", {}},
    {"NakThenAck", 100, "ANA", 0, "H 1 1 E Z E", {{0, 100}, {100, 100}}},
    {"LoneCanIsNoise", 100, "ACA", 0, "H 1 1 E Z E", {{0, 100}, {100, 100}}},
    {"Image1025ByteForByte", 1025, "", 0, "H 1 2 E Z E", {{0, 1025}, {1024, 1025}, {100, 100}}},
    {"EmptyImageWithEotsUnanswered", 0, "A-A-", 0, "H E Z E", {{100, 100}}},
    {"ThreeSilencesAcrossANak", 100, "A-N--", 3, "H 1 1 1 1", {{0, 100}}},
    // A receiver that refuses every copy gets ten, silences included.
    {"TenCopiesAtMost", 100, "ANNNNNN-NN-", 3, "H 1 1 1 1 1 1 1 1 1 1", {{0, 100}}},
    // The first EOT's silence counts for nothing; the closing block's and the
    // final EOT's share one count.
    {"ClosingSilencesShareTheFinalEotCount", 100, "AA---A-", 3, "H 1 E Z Z Z E", {{0, 100}}},
    {"CanCanOnHeaderWithTheLongestName", 100, "X", 3, "H", {}, -1, std::string(1020, 'n')},
    {"CanCanOnDataBlock", 2048, "AAX", 3, "H 1 2", {{0, 2048}, {1024, 2048}}},
    {"CancelWinsOverHeaderAck", 100, "", 100, "H", {}, 0},
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

class Transmit : public testing::TestWithParam<Exchange> {};

TEST_P(Transmit, ResultFramesProgressAndLog) {
    const Exchange& x = GetParam();
    Pty pty;
    // A fast line keeps the largest image's run short.
    constexpr uint32_t kSpeed = 1'000'000;
    ASSERT_GE(Serial_Open(pty.path().c_str(), kSpeed), 0) << Serial_ErrorText();
    FakeSink sink;
    ZKFW fw;
    fw.setUi(&sink);
    const Bytes data = image(x.size);
    std::vector<std::chrono::steady_clock::time_point> times;
    uint32_t result = 0;
    const auto start = std::chrono::steady_clock::now();
    const std::vector<Bytes> frames = receive(
        pty.master(), kSpeed,
        [&](size_t index, const Bytes&) {
            times.push_back(std::chrono::steady_clock::now());
            if (static_cast<int>(index) == x.cancelAt) {
                sink.cancel = true;
            }
            const std::map<char, Bytes> answers{
                {'A', {0x06}}, {'N', {0x15}}, {'C', {0x18}}, {'X', {0x18, 0x18}}, {'-', {}}};
            return answers.at(index < x.replies.size() ? x.replies[index] : 'A');
        },
        [&] { result = fw.Ymodem_Transmit(data.data(), x.fileName, x.size); });
    Serial_Close();
    Bytes wire;
    for (const Bytes& f : frames) {
        wire.insert(wire.end(), f.begin(), f.end());
    }
    EXPECT_EQ(result, x.result);
    EXPECT_EQ(labels(frames), x.frames);
    EXPECT_EQ(wire, expectedWire(x.frames, x.fileName, data));
    EXPECT_EQ(sink.progress(), x.progress);
    EXPECT_EQ(sink.lines(), x.result == ZKFW::kSendCancelled
                                ? std::vector<std::string>{"Process Canceled.\n"}
                                : std::vector<std::string>{});
    // Header copies go out before the 1st, 4th and 7th of 12 tries, each a
    // second's wait and a read (of 550 ms when silent).
    if (result == ZKFW::kSendNoHeaderAck) {
        for (size_t i = 1; i < times.size(); ++i) {
            EXPECT_GE(times[i] - times[i - 1], 3s) << "header copy " << i;
        }
        EXPECT_GE(std::chrono::steady_clock::now() - start, 18s); // 11 tries take 17
    }
}

INSTANTIATE_TEST_SUITE_P(Ymodem, Transmit, testing::ValuesIn(kExchanges),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
