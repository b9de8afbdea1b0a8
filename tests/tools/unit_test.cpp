// What the loader's end-to-end runs rely on the virtual unit for, on the test's
// own clock: a unit that took commands without the guard time, banners without
// a reset, or bytes faster than the line would hide the loader's faults.
#include <gtest/gtest.h>

#include "FakeIo.h"
#include "line.h"
#include "radio.h"
#include "unit.h"

using namespace sim;

namespace {

template <typename Part> void type(Part& part, const std::string& text, Micros at) {
    for (char c : text) {
        part.input(static_cast<uint8_t>(c), at);
    }
}

// "+++" at 0, then commands after the guard time, then a last tick at `end`.
TEST(SimRadioModule, EscapeGuardTimeAndCommands) {
    constexpr Micros kAfter = 1250 * kMillisecond;
    const struct {
        const char* name;
        std::string first, commands;
        Micros end;
        std::string answers;
        bool commandMode, linked;
    } cases[] = {
        {"a second of quiet", "+++", "", kSecond, "OK\r", true, false},
        {"quiet too short", "+++", "", kSecond - 1, "", false, false},
        {"a byte after +++", "+++x", "", 3 * kSecond, "", false, false},
        {"no escape", "ATDLFFFE\rATCN\r", "", 2 * kSecond, "", false, false},
        {"the bootloader", "+++", "at dl fffe\rATCN\r", 2 * kSecond, "OK\rOK\rOK\r", false, true},
        {"another address", "+++", "ATDL1234\rATCN\r", 2 * kSecond, "OK\rOK\rOK\r", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeIo io;
        Faults faults;
        RadioModule radio(faults, io);
        type(radio, c.first, 0);
        if (!c.commands.empty()) {
            radio.tick(kAfter);
            type(radio, c.commands, kAfter);
        }
        radio.tick(c.end);
        EXPECT_EQ(io.take(), c.answers);
        EXPECT_EQ(radio.commandMode(), c.commandMode);
        EXPECT_EQ(radio.linked(), c.linked);
    }
}

// The loader always resets the unit first, so no loader run shows that a unit
// not reset (or held in reset) keeps quiet.
TEST(SimUnit, BootloaderOnlyAfterAResetAndOverTheLinkedRadio) {
    FakeIo io;
    Faults faults;
    auto banner = [&](Unit& unit, Micros at) {
        type(unit, "BOOT", at);
        return io.take() == kBanner;
    };
    Unit tx(Target::Transmitter, faults, io);
    EXPECT_FALSE(banner(tx, 0)) << "the application runs until reset";
    tx.dtr(true, kSecond);
    tx.dtr(false, 2 * kSecond);
    EXPECT_TRUE(banner(tx, 2 * kSecond));
    tx.dtr(true, 3 * kSecond);
    EXPECT_FALSE(banner(tx, 3 * kSecond)) << "held in reset";

    Unit rx(Target::Receiver, faults, io);
    EXPECT_FALSE(banner(rx, 0)) << "the radio is not linked yet";
    type(rx, "+++", kSecond);
    rx.tick(3 * kSecond);
    type(rx, "ATDLFFFE\rATCN\r", 3 * kSecond);
    EXPECT_EQ(io.take(), "OK\rOK\rOK\r");
    EXPECT_TRUE(banner(rx, 4 * kSecond));
    rx.dtr(true, 5 * kSecond);
    rx.dtr(false, 6 * kSecond);
    EXPECT_FALSE(banner(rx, 7 * kSecond)) << "a reset also unlinks the radio";
}

// Bytes reach the far end no sooner than the line carries them, and queue
// behind the ones still on it.
TEST(SimLine, NeverFasterThanTheLine) {
    EXPECT_EQ(byteTime(115200), 87); // 86.8 us, rounded up
    EXPECT_EQ(byteTime(0), byteTime(9600));
    PacedQueue q;
    const uint8_t bytes[] = {1, 2, 3};
    q.push(bytes, 3, 1000, 100);
    q.push(bytes, 1, 1150, 100);
    uint8_t b = 0;
    for (const Micros at : {1100, 1200, 1300, 1400}) {
        EXPECT_FALSE(q.pop(at - 1, b)) << at;
        EXPECT_TRUE(q.pop(at, b)) << at;
    }
    q.push(bytes, 1, 5000, 100); // an idle line starts from the push
    EXPECT_EQ(q.nextArrival(), 5100);
}

} // namespace
