#include <gtest/gtest.h>

#include <sstream>

#include "FakeSink.h"
#include "Pty.h"
#include "Reference.h"
#include "ScriptedReceiver.h"
#include "flash/ZKFW.h"
#include "serial/ZKSerial.h"

namespace {

using ref::Bytes;
using Progress = std::vector<std::pair<int32_t, int32_t>>;

const Bytes kAck{0x06};
const Bytes kNak{0x15};
const Bytes kCan{0x18};
const Bytes kCanCan{0x18, 0x18};
const Bytes kSilent{};
const std::vector<std::string> kCanceledLog{"Process Canceled.\n"};

// "H" header, "Z" closing block, "E" EOT, a number for a data block.
std::string label(const Bytes& frame) {
    if (frame.size() == 1) {
        return frame[0] == ref::kEot ? "E" : "?";
    }
    if (frame[1] == 0) {
        return frame[0] == ref::kStx ? "H" : "Z";
    }
    return std::to_string(frame[1]);
}

std::string labels(const std::vector<Bytes>& frames) {
    std::string out;
    for (const auto& frame : frames) {
        out += (out.empty() ? "" : " ") + label(frame);
    }
    return out;
}

// The wire a correct sender produces for the frame labels given.
Bytes expectedWire(const std::string& frameLabels, const std::string& name, const Bytes& image) {
    Bytes out;
    std::istringstream in(frameLabels);
    for (std::string l; in >> l;) {
        const Bytes frame = l == "H"   ? ref::header(name, static_cast<uint32_t>(image.size()))
                            : l == "Z" ? ref::closing()
                            : l == "E" ? Bytes{ref::kEot}
                                       : ref::dataBlock(image, static_cast<unsigned>(std::stoi(l)));
        out.insert(out.end(), frame.begin(), frame.end());
    }
    return out;
}

class Transmit : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(Serial_Open(pty.path().c_str(), 115200), 0) << Serial_ErrorText();
        fw.setUi(&sink);
    }
    void TearDown() override { Serial_Close(); }

    uint32_t send(const Bytes& image, ScriptedReceiver::Script script,
                  const std::string& name = "fw.bin") {
        ScriptedReceiver receiver(pty.master(), std::move(script));
        const uint32_t result =
            fw.Ymodem_Transmit(image.data(), name, static_cast<uint32_t>(image.size()));
        receiver.stop();
        frames = receiver.frames();
        wire = receiver.wire();
        frameTimes = receiver.frameTimes();
        return result;
    }

    Pty pty;
    FakeSink sink;
    ZKFW fw;
    std::vector<Bytes> frames;
    Bytes wire;
    std::vector<std::chrono::steady_clock::time_point> frameTimes;
};

// Exchanges with a receiver that answers the i-th frame with replies[i] (ACK
// after the list); the operator cancels when frame cancelAt comes in.
struct Exchange {
    const char* name;
    uint32_t size;
    std::vector<Bytes> replies;
    uint32_t result;
    const char* frames;
    Progress progress;
    int cancelAt = -1;
    std::string fileName = "fw.bin";
};

const Exchange kExchanges[] = {
    {"NakThenAck", 100, {kAck, kNak, kAck}, 0, "H 1 1 E Z E", {{0, 100}, {100, 100}}},
    {"LoneCanIsNoise", 100, {kAck, kCan, kAck}, 0, "H 1 1 E Z E", {{0, 100}, {100, 100}}},
    {"EmptyImage", 0, {}, 0, "H E Z E", {{100, 100}}},
    {"EotAnswersDoNotMatter",
     2048,
     {kAck, kAck, kAck, kSilent, kAck, kSilent},
     0,
     "H 1 2 E Z E",
     {{0, 2048}, {1024, 2048}, {100, 100}}},
    {"ThreeSilences", 100, {kAck, kSilent, kSilent, kSilent}, 3, "H 1 1 1", {{0, 100}}},
    {"SilencesCountedAcrossOtherBytes",
     100,
     {kAck, kSilent, kNak, kSilent, kSilent},
     3,
     "H 1 1 1 1",
     {{0, 100}}},
    {"ClosingSilencesShareTheFinalEotCount",
     100,
     {kAck, kAck, kAck, kSilent, kSilent, kAck, kSilent},
     3,
     "H 1 E Z Z Z E",
     {{0, 100}}},
    {"CanCanOnHeader", 100, {kCanCan}, 3, "H", {}, -1, std::string(1019, 'n')},
    {"CanCanOnDataBlock", 2048, {kAck, kAck, kCanCan}, 3, "H 1 2", {{0, 2048}, {1024, 2048}}},
    {"CanCanOnClosingBlock", 100, {kAck, kAck, kAck, kCanCan}, 3, "H 1 E Z", {{0, 100}}},
    {"CancelWinsOverHeaderAck", 100, {kAck}, 100, "H", {}, 0},
    {"CancelAfterBlockAck", 2048, {}, 100, "H 1", {{0, 2048}}, 1},
    {"CancelAfterFirstEot", 100, {}, 100, "H 1 E", {{0, 100}}, 2},
};

void PrintTo(const Exchange& x, std::ostream* os) {
    *os << x.name;
}

class TransmitExchange : public Transmit, public ::testing::WithParamInterface<Exchange> {};

TEST_P(TransmitExchange, ResultFramesProgressAndLog) {
    const Exchange& x = GetParam();
    const Bytes image = ref::image(x.size);
    auto replies = replySequence(x.replies);
    const int cancelAt = x.cancelAt;
    const uint32_t result = send(
        image,
        [&, replies](size_t index, const Bytes& frame) {
            if (static_cast<int>(index) == cancelAt) {
                sink.cancel = true;
            }
            return replies(index, frame);
        },
        x.fileName);
    EXPECT_EQ(result, x.result);
    EXPECT_EQ(labels(frames), x.frames);
    EXPECT_EQ(wire, expectedWire(x.frames, x.fileName, image));
    EXPECT_EQ(sink.progress(), x.progress);
    EXPECT_EQ(sink.lines(),
              x.result == ZKFW::kSendCancelled ? kCanceledLog : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Ymodem, TransmitExchange, ::testing::ValuesIn(kExchanges),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Transmit, SilentReceiverGetsThreeHeaderCopies) {
    const Bytes image = ref::image(1000);
    EXPECT_EQ(send(image, [](size_t, const Bytes&) { return Bytes{}; }), ZKFW::kSendNoHeaderAck);
    EXPECT_EQ(labels(frames), "H H H");
    EXPECT_EQ(wire, expectedWire("H H H", "fw.bin", image));
    // Copies go out before the 1st, 4th and 7th tries, each try waiting 1 s.
    ASSERT_EQ(frameTimes.size(), 3u);
    EXPECT_GE(frameTimes[1] - frameTimes[0], std::chrono::seconds(3));
    EXPECT_GE(frameTimes[2] - frameTimes[1], std::chrono::seconds(3));
    EXPECT_TRUE(sink.progress().empty());
}

TEST_F(Transmit, Image1025ByteForByte) {
    const Bytes image = ref::image(1025);
    ASSERT_EQ(send(image, replySequence({}), "a.bin"), ZKFW::kSendOk);
    ASSERT_EQ(wire.size(), 1029u + 1029 + 133 + 1 + 133 + 1);
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 1029), ref::header("a.bin", 1025));
    EXPECT_EQ(Bytes(wire.begin() + 3, wire.begin() + 14), ref::bytesOf(std::string_view("a.bin\0"
                                                                                        "1025\0",
                                                                                        11)));
    EXPECT_EQ(Bytes(wire.begin() + 1029, wire.begin() + 1032), (Bytes{0x02, 0x01, 0xFE}));
    EXPECT_EQ(Bytes(wire.begin() + 1032, wire.begin() + 2056),
              Bytes(image.begin(), image.end() - 1));
    EXPECT_EQ(Bytes(wire.begin() + 2058, wire.begin() + 2062),
              (Bytes{0x01, 0x02, 0xFD, image[1024]}));
    EXPECT_EQ(Bytes(wire.begin() + 2062, wire.begin() + 2189), Bytes(127, 0x1A));
    EXPECT_EQ(wire[2191], 0x04);
    EXPECT_EQ(Bytes(wire.begin() + 2192, wire.begin() + 2325), ref::closing());
    EXPECT_EQ(Bytes(wire.end() - 3, wire.end()), (Bytes{0x00, 0x00, 0x04}));
    EXPECT_EQ(wire, expectedWire("H 1 2 E Z E", "a.bin", image));
    EXPECT_EQ(sink.progress(), (Progress{{0, 1025}, {1024, 1025}, {100, 100}}));
    EXPECT_TRUE(sink.lines().empty());
}

TEST_F(Transmit, LargestImageGoesWhole) {
    const Bytes image = ref::image(196608);
    ASSERT_EQ(send(image, replySequence({})), ZKFW::kSendOk);
    std::string expected = "H";
    Progress progress;
    for (int32_t block = 1; block <= 192; ++block) {
        expected += " " + std::to_string(block);
        progress.emplace_back((block - 1) * 1024, 196608);
    }
    expected += " E Z E";
    progress.emplace_back(100, 100);
    EXPECT_EQ(labels(frames), expected);
    EXPECT_EQ(wire, expectedWire(expected, "fw.bin", image));
    EXPECT_EQ(sink.progress(), progress);
}

TEST_F(Transmit, RefusedBeforeAnythingIsSent) {
    const struct {
        uint32_t size;
        std::string name;
        uint32_t result;
    } cases[] = {
        {196609, "fw.bin", ZKFW::kSendTooLarge},
        {196607, "fw.bin", ZKFW::kSendTooLarge},
        {190337, "fw.bin", ZKFW::kSendTooLarge},
        {1025, std::string(1020, 'n'), ZKFW::kSendNameTooLong},
        {1025,
         [] { // 510 letters of 2 UTF-8 bytes each
             std::string s;
             for (int i = 0; i < 510; ++i) {
                 s += "\xC3\xA9";
             }
             return s;
         }(),
         ZKFW::kSendNameTooLong},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(send(ref::image(c.size), replySequence({}), c.name), c.result) << c.size;
        EXPECT_TRUE(wire.empty()) << c.size;
    }
    EXPECT_TRUE(sink.progress().empty());
    EXPECT_TRUE(sink.lines().empty());
}

} // namespace
