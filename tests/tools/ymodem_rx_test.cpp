// The virtual unit's YMODEM receiver, driven block by block on a clock of the
// test's own.
#include <gtest/gtest.h>

#include <functional>

#include "FakeIo.h"
#include "ymodem_rx.h"

using namespace sim;

namespace {

const std::vector<uint8_t> kAckOnly{kAck};
const std::vector<uint8_t> kNakOnly{kNak};
const std::vector<uint8_t> kAckAndAsk{kAck, kCrcRequest};
const std::vector<uint8_t> kNothing{};

TEST(SimCrc16, KnownValues) {
    struct Case {
        std::vector<uint8_t> bytes;
        uint16_t crc;
    } cases[] = {
        {{'1', '2', '3', '4', '5', '6', '7', '8', '9'}, 0x31C3},
        {{'a', 'b', 'c'}, 0x9DD6},
        {std::vector<uint8_t>(128, 0), 0x0000},
        {{0xFF}, 0x1EF0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(crc16(c.bytes), c.crc) << c.bytes.size() << " bytes";
    }
}

TEST(SimBlockCheck, Table) {
    const auto good = makeBlock(5, patternField(1024, 1));
    const auto goodShort = makeBlock(200, patternField(128, 2));
    auto badCrc = good;
    badCrc.back() ^= 0x01;
    auto badData = goodShort;
    badData[60] ^= 0x80;
    auto badComplement = good;
    badComplement[2] = 0x00;
    auto truncated = good;
    truncated.pop_back();
    auto wrongLead = goodShort;
    wrongLead[0] = kStx; // claims 1024 bytes but carries 128

    struct Case {
        const char* name;
        std::vector<uint8_t> block;
        BlockCheck expected;
    } cases[] = {
        {"good 1024", good, BlockCheck::Ok},
        {"good 128", goodShort, BlockCheck::Ok},
        {"CRC byte flipped", badCrc, BlockCheck::BadCrc},
        {"data byte flipped", badData, BlockCheck::BadCrc},
        {"complement wrong", badComplement, BlockCheck::BadNumber},
        {"one byte short", truncated, BlockCheck::BadNumber},
        {"lead byte does not fit the length", wrongLead, BlockCheck::BadNumber},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(checkBlock(c.block), c.expected) << c.name;
    }
}

TEST(SimHeader, Parse) {
    auto field = [](const std::string& bytes) {
        std::vector<uint8_t> f(1024, 0);
        std::copy(bytes.begin(), bytes.end(), f.begin());
        return f;
    };
    struct Case {
        std::string bytes;
        std::string name;
        std::optional<uint64_t> size;
    } cases[] = {
        {std::string("a.bin\0001000", 10), "a.bin", 1000},
        {std::string("fw.binrx\000196608 13757 100644", 29), "fw.binrx", 196608},
        {std::string("x\0000", 3), "x", 0},
        {std::string("nosize\0", 7), "nosize", std::nullopt},
        {std::string("bad\00012ab", 8), "bad", std::nullopt},
        {std::string("ctl\x01name\0009", 11), "ctl?name", 9},
        {std::string(), "", std::nullopt},
    };
    for (const auto& c : cases) {
        const FileHeader h = parseHeader(field(c.bytes));
        EXPECT_EQ(h.name, c.name);
        EXPECT_EQ(h.size, c.size) << c.name;
    }
}

// One exchange: bytes from the sender, what the receiver answers, and the
// event it logs for them ("" for none).
struct Step {
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> reply;
    std::string event;
};

struct Scenario {
    const char* name;
    Faults faults;
    std::vector<Step> steps;
    std::optional<std::vector<uint8_t>> saved; // the image, once the batch ended
    bool activeAfter = false;
};

Faults withFaults(const std::function<void(Faults&)>& set) {
    Faults f;
    set(f);
    return f;
}

TEST(SimYmodemReceiver, Scenarios) {
    const auto f1 = patternField(1024, 1);
    const auto f2 = patternField(1024, 2);
    const auto f3 = patternField(128, 3);
    const auto b1 = makeBlock(1, f1);
    const auto b2 = makeBlock(2, f2);
    const auto b3 = makeBlock(3, f3);
    const auto header = headerBlock("fw.bin", "2100");
    std::vector<uint8_t> image(f1);
    image.insert(image.end(), f2.begin(), f2.end());
    image.insert(image.end(), f3.begin(), f3.begin() + 52);
    auto corrupt = [](std::vector<uint8_t> b, size_t at) {
        b[at] ^= 0x10;
        return b;
    };
    const std::vector<Step> tail{{b3, kAckOnly, "block 3 128 ok"},
                                 {{kEot}, kAckOnly, "eot"},
                                 {closingBlock(), kAckOnly, "saved 2100"}};
    auto withTail = [&](std::vector<Step> steps) {
        steps.insert(steps.end(), tail.begin(), tail.end());
        return steps;
    };

    const Scenario scenarios[] = {
        {"clean transfer, truncated to the header's size",
         {},
         withTail({{header, kAckAndAsk, "header fw.bin 2100"},
                   {b1, kAckOnly, "block 1 1024 ok"},
                   {b2, kAckOnly, "block 2 1024 ok"}}),
         image},
        {"bad CRC is NAKed, the resent copy taken",
         {},
         withTail({{header, kAckAndAsk, "header fw.bin 2100"},
                   {corrupt(b1, 500), kNakOnly, "block 1 1024 bad-crc"},
                   {b1, kAckOnly, "block 1 1024 ok"},
                   {b2, kAckOnly, "block 2 1024 ok"}}),
         image},
        {"bad complement is NAKed",
         {},
         withTail({{header, kAckAndAsk, "header fw.bin 2100"},
                   {b1, kAckOnly, "block 1 1024 ok"},
                   {corrupt(b2, 2), kNakOnly, "block 2 1024 bad-number"},
                   {b2, kAckOnly, "block 2 1024 ok"}}),
         image},
        {"duplicate is ACKed again and not stored twice",
         {},
         withTail({{header, kAckAndAsk, "header fw.bin 2100"},
                   {b1, kAckOnly, "block 1 1024 ok"},
                   {b1, kAckOnly, "block 1 1024 dup"},
                   {b2, kAckOnly, "block 2 1024 ok"}}),
         image},
        {"a block out of order is NAKed",
         {},
         withTail({{header, kAckAndAsk, "header fw.bin 2100"},
                   {b1, kAckOnly, "block 1 1024 ok"},
                   {b3, kNakOnly, "block 3 128 bad-number"},
                   {b2, kAckOnly, "block 2 1024 ok"}}),
         image},
        {"a repeated header is answered again",
         {},
         withTail({{header, kAckAndAsk, "header fw.bin 2100"},
                   {header, kAckAndAsk, "block 0 1024 dup"},
                   {b1, kAckOnly, "block 1 1024 ok"},
                   {b2, kAckOnly, "block 2 1024 ok"}}),
         image},
        {"data before the header is refused",
         {},
         {{b1, kNakOnly, "block 1 1024 bad-number"}},
         std::nullopt,
         true},
        {"an empty batch ends without a file",
         {},
         {{closingBlock(), kAckOnly, "end"}},
         std::nullopt},
        {"--nak-block 2", withFaults([](Faults& f) { f.nakBlocks = {2}; }),
         withTail({{header, kAckAndAsk, "header fw.bin 2100"},
                   {b1, kAckOnly, "block 1 1024 ok"},
                   {b2, kNakOnly, "block 2 1024 nak"},
                   {b2, kAckOnly, "block 2 1024 ok"}}),
         image},
        {"--drop-ack 1:2", withFaults([](Faults& f) {
             f.dropAcks = {{1, 2}};
         }),
         withTail({{header, kAckAndAsk, "header fw.bin 2100"},
                   {b1, kNothing, "block 1 1024 dropped"},
                   {b1, kNothing, "block 1 1024 dropped"},
                   {b1, kAckOnly, "block 1 1024 dup"},
                   {b2, kAckOnly, "block 2 1024 ok"}}),
         image},
        {"--can-at 2",
         withFaults([](Faults& f) { f.canAt = 2; }),
         {{header, kAckAndAsk, "header fw.bin 2100"},
          {b1, kAckOnly, "block 1 1024 ok"},
          {b2, {kCan, kCan}, "block 2 1024 can"},
          {b2, kNothing, "block 2 1024 can"}}, // swallowed while the line is purged
         std::nullopt},
        {"--hangup-at 2",
         withFaults([](Faults& f) { f.hangupAt = 2; }),
         {{header, kAckAndAsk, "header fw.bin 2100"},
          {b1, kAckOnly, "block 1 1024 ok"},
          {b2, kNothing, "hangup"}},
         std::nullopt},
    };

    for (const auto& s : scenarios) {
        SCOPED_TRACE(s.name);
        FakeIo io;
        YmodemReceiver rx(s.faults, io);
        Micros t = 0;
        rx.start(t);
        t += 10 * kMillisecond;
        for (size_t i = 0; i < s.steps.size(); ++i) {
            const Step& step = s.steps[i];
            for (uint8_t b : step.bytes) {
                rx.input(b, t);
            }
            rx.tick(t);
            EXPECT_EQ(io.take(), step.reply) << "step " << i;
            EXPECT_EQ(io.lastEvent(), step.event) << "step " << i;
            t += 20 * kMillisecond;
        }
        rx.tick(t + 2 * kSecond); // past any purge
        EXPECT_EQ(io.saved, s.saved);
        EXPECT_EQ(rx.active(), s.activeAfter);
        EXPECT_EQ(io.hungUp, s.faults.hangupAt.has_value());
    }
}

TEST(SimYmodemReceiver, ListensThenAsksEverySecondButNotDuringABlock) {
    FakeIo io;
    Faults faults;
    YmodemReceiver rx(faults, io);
    rx.start(0);
    rx.tick(YmodemReceiver::kListen - 1);
    EXPECT_EQ(io.take(), kNothing) << "asked before listening";
    rx.tick(YmodemReceiver::kListen);
    EXPECT_EQ(io.take(), std::vector<uint8_t>{kCrcRequest});
    rx.tick(YmodemReceiver::kListen + kSecond - 1);
    EXPECT_EQ(io.take(), kNothing);
    rx.tick(YmodemReceiver::kListen + kSecond);
    EXPECT_EQ(io.take(), std::vector<uint8_t>{kCrcRequest});

    // Half a header arrives: no 'C' may cut across it.
    const auto header = headerBlock("a", "1");
    const Micros t = YmodemReceiver::kListen + kSecond + 900 * kMillisecond;
    for (size_t i = 0; i < 500; ++i) {
        rx.input(header[i], t);
    }
    rx.tick(t + 200 * kMillisecond);
    EXPECT_EQ(io.take(), kNothing);
    for (size_t i = 500; i < header.size(); ++i) {
        rx.input(header[i], t + 300 * kMillisecond);
    }
    EXPECT_EQ(io.take(), kAckAndAsk);
}

TEST(SimYmodemReceiver, GivesUpAskingAndReturnsToTheMenu) {
    FakeIo io;
    Faults faults;
    YmodemReceiver rx(faults, io);
    rx.start(0);
    Micros t = 0;
    for (int i = 0; i < 100 && rx.active(); ++i) {
        t = rx.deadline();
        ASSERT_GE(t, 0);
        rx.tick(t);
    }
    EXPECT_FALSE(rx.active());
    EXPECT_EQ(io.take(), std::vector<uint8_t>(30, kCrcRequest));
    EXPECT_GE(t, 29 * kSecond);
}

TEST(SimYmodemReceiver, SlowFlashHoldsTheAnswerAndTheInput) {
    FakeIo io;
    Faults faults;
    faults.slowFlashMs = 300;
    YmodemReceiver rx(faults, io);
    rx.start(0);
    for (uint8_t b : headerBlock("a", "1024")) {
        rx.input(b, 0);
    }
    EXPECT_EQ(io.take(), kAckAndAsk) << "the header is not written to flash";
    const Micros t = 100 * kMillisecond;
    for (uint8_t b : makeBlock(1, patternField(1024, 9))) {
        rx.input(b, t);
    }
    EXPECT_TRUE(rx.busy(t));
    EXPECT_EQ(rx.deadline(), t + 300 * kMillisecond);
    rx.tick(t + 299 * kMillisecond);
    EXPECT_EQ(io.take(), kNothing);
    EXPECT_TRUE(rx.busy(t + 299 * kMillisecond));
    rx.tick(t + 300 * kMillisecond);
    EXPECT_EQ(io.take(), kAckOnly);
    EXPECT_FALSE(rx.busy(t + 300 * kMillisecond));
}

TEST(SimYmodemReceiver, RefusesMoreThanTheFlashHolds) {
    FakeIo io;
    Faults faults;
    YmodemReceiver rx(faults, io);
    rx.start(0);
    for (uint8_t b : headerBlock("big", "200000")) {
        rx.input(b, 0);
    }
    io.take();
    const auto field = patternField(1024, 4);
    for (uint32_t n = 1; n <= 193; ++n) {
        for (uint8_t b : makeBlock(static_cast<uint8_t>(n), field)) {
            rx.input(b, n);
        }
    }
    EXPECT_EQ(io.events.back(), "block 193 1024 can");
    EXPECT_EQ(io.events[io.events.size() - 2], "block 192 1024 ok");
    auto sent = io.take();
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[sent.size() - 1], kCan);
    EXPECT_EQ(sent[sent.size() - 2], kCan);
}

} // namespace
