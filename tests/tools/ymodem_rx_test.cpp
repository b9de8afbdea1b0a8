// The virtual unit's YMODEM receiver, block by block on the test's own clock: a
// receiver that took a bad block would hide the loader's framing faults.
#include <gtest/gtest.h>

#include "FakeIo.h"
#include "ymodem_rx.h"

using namespace sim;

namespace {

const std::string kAckS(1, kAck), kNakS(1, kNak), kAckAndAsk{kAck, kCrcRequest};

void feed(YmodemReceiver& rx, const std::vector<uint8_t>& bytes, Micros at) {
    for (uint8_t b : bytes) {
        rx.input(b, at);
    }
}

// Each block the sender puts on the line, the receiver's answer and the event
// it logs; every run ends with block 3, EOT and the closing block.
TEST(SimYmodemReceiver, ValidatesEachBlock) {
    const auto f1 = patternField(1024, 1), f2 = patternField(1024, 2), f3 = patternField(128, 3);
    const auto b1 = makeBlock(1, f1), b2 = makeBlock(2, f2), b3 = makeBlock(3, f3);
    const auto header = headerBlock("fw.bin", "2100");
    auto corrupt = [](std::vector<uint8_t> b, size_t at) {
        b[at] ^= 0x10;
        return b;
    };
    struct Step {
        std::vector<uint8_t> bytes;
        std::string reply;
        std::string event;
    };
    const Step hdr{header, kAckAndAsk, "header fw.bin 2100"}, ok1{b1, kAckS, "block 1 1024 ok"},
        ok2{b2, kAckS, "block 2 1024 ok"};
    const struct {
        const char* name;
        std::vector<Step> steps;
    } cases[] = {
        {"good", {hdr, ok1, ok2}},
        {"bad CRC in the data", {hdr, {corrupt(b1, 500), kNakS, "block 1 1024 bad-crc"}, ok1, ok2}},
        {"bad CRC byte", {hdr, ok1, {corrupt(b2, 1028), kNakS, "block 2 1024 bad-crc"}, ok2}},
        {"bad complement", {hdr, ok1, {corrupt(b2, 2), kNakS, "block 2 1024 bad-number"}, ok2}},
        {"wrong number", {hdr, ok1, {b3, kNakS, "block 3 128 bad-number"}, ok2}},
        {"duplicate kept once", {hdr, ok1, {b1, kAckS, "block 1 1024 dup"}, ok2}},
        {"header again (its ACK lost)", {hdr, {header, kAckAndAsk, "block 0 1024 dup"}, ok1, ok2}},
        {"data before the header", {{b1, kNakS, "block 1 1024 bad-number"}, hdr, ok1, ok2}},
    };
    std::vector<uint8_t> image(f1);
    image.insert(image.end(), f2.begin(), f2.end());
    image.insert(image.end(), f3.begin(), f3.begin() + 52); // cut to the header's size
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeIo io;
        Faults faults;
        YmodemReceiver rx(faults, io);
        rx.start(0);
        auto steps = c.steps;
        steps.insert(steps.end(),
                     {{b3, kAckS, "block 3 128 ok"},
                      {{kEot}, kAckS, "eot"},
                      {makeBlock(0, std::vector<uint8_t>(128, 0)), kAckS, "saved 2100"}});
        Micros t = 0;
        for (size_t i = 0; i < steps.size(); ++i) {
            t += 20 * kMillisecond;
            feed(rx, steps[i].bytes, t);
            EXPECT_EQ(io.take(), steps[i].reply) << "step " << i;
            EXPECT_EQ(io.events.back(), steps[i].event) << "step " << i;
        }
        EXPECT_EQ(io.saved, image);
        EXPECT_FALSE(rx.active());
    }
}

} // namespace
