// The virtual unit's radio module, bootloader menu, reset rules, pacing and
// command line, on a clock of the test's own.
#include <gtest/gtest.h>

#include "FakeIo.h"
#include "line.h"
#include "options.h"
#include "radio.h"
#include "unit.h"

using namespace sim;

namespace {

void feed(Unit& unit, const std::string& text, Micros at) {
    for (char c : text) {
        unit.input(static_cast<uint8_t>(c), at);
    }
}

// Bytes at a time; a tick at each time and at `end`.
struct Burst {
    Micros at;
    std::string bytes;
};

TEST(SimRadioModule, EscapeGuardTimeAndCommands) {
    struct Case {
        const char* name;
        std::vector<Burst> bursts;
        Micros end;
        std::string answers;
        bool commandMode;
        bool linked;
    } cases[] = {
        {"+++ then a second of silence", {{0, "+++"}}, kSecond, "OK\r", true, false},
        {"+++ then too short a silence", {{0, "+++"}}, kSecond - 1, "", false, false},
        {"a byte inside the guard time",
         {{0, "+++"}, {500 * kMillisecond, "x"}},
         3 * kSecond,
         "",
         false,
         false},
        {"four pluses", {{0, "++++"}}, 3 * kSecond, "", false, false},
        {"pluses split over time still count",
         {{0, "+"}, {100, "++"}},
         2 * kSecond,
         "OK\r",
         true,
         false},
        {"the loader's sequence",
         {{0, "+++"}, {1250 * kMillisecond, "ATDLFFFE\r\nATCN\r\n"}},
         2 * kSecond,
         "OK\rOK\rOK\r",
         false,
         true},
        {"lower case and spaces",
         {{0, "+++"}, {1250 * kMillisecond, "at dl fffe\r\natcn\r"}},
         2 * kSecond,
         "OK\rOK\rOK\r",
         false,
         true},
        {"ATCN without a destination",
         {{0, "+++"}, {1250 * kMillisecond, "ATCN\r\n"}},
         2 * kSecond,
         "OK\rOK\r",
         false,
         false},
        {"another destination",
         {{0, "+++"}, {1250 * kMillisecond, "ATDL1234\r\nATCN\r\n"}},
         2 * kSecond,
         "OK\rOK\rOK\r",
         false,
         false},
        {"commands without the escape",
         {{0, "ATDLFFFE\r\nATCN\r\n"}},
         2 * kSecond,
         "",
         false,
         false},
        {"unknown and malformed commands",
         {{0, "+++"}, {1250 * kMillisecond, "ATXY\rBOOT\rATDLFFZE\r"}},
         2 * kSecond,
         "OK\rERROR\rERROR\rERROR\r",
         true,
         false},
        {"command mode times out",
         {{0, "+++"}, {1250 * kMillisecond, "ATDLFFFE\r"}},
         1250 * kMillisecond + RadioModule::kCommandTimeout,
         "OK\rOK\r",
         false,
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeIo io;
        Faults faults;
        RadioModule radio(faults, io);
        for (const auto& burst : c.bursts) {
            radio.tick(burst.at);
            for (char ch : burst.bytes) {
                radio.input(static_cast<uint8_t>(ch), burst.at);
            }
        }
        radio.tick(c.end);
        EXPECT_EQ(io.text(), c.answers);
        EXPECT_EQ(radio.commandMode(), c.commandMode);
        EXPECT_EQ(radio.linked(), c.linked);
    }
}

TEST(SimRadioModule, LogsTheCommandsAndPassesBytesOnlyWhenLinked) {
    FakeIo io;
    Faults faults;
    RadioModule radio(faults, io);
    EXPECT_FALSE(radio.input('B', 0));
    for (char ch : std::string("+++")) {
        radio.input(static_cast<uint8_t>(ch), kSecond);
    }
    radio.tick(2 * kSecond);
    for (char ch : std::string("ATDLFFFE\r\nATCN\r")) {
        EXPECT_FALSE(radio.input(static_cast<uint8_t>(ch), 3 * kSecond));
    }
    EXPECT_TRUE(radio.input('B', 3 * kSecond));
    EXPECT_EQ(io.events, (std::vector<std::string>{"at +++", "at ATDLFFFE", "at ATCN"}));
}

TEST(SimUnit, TransmitterAnswersOnlyAfterAResetPulse) {
    FakeIo io;
    Faults faults;
    Unit unit(Target::Transmitter, faults, io);
    feed(unit, "BOOT", 0);
    EXPECT_EQ(io.text(), "") << "the application runs until reset";
    unit.dtr(true, kSecond);
    feed(unit, "BOOT", kSecond + 100);
    EXPECT_EQ(io.text(), "") << "held in reset";
    unit.dtr(false, 2 * kSecond);
    feed(unit, "BOOT", 2 * kSecond + 100);
    EXPECT_EQ(io.text(), kBanner);
    EXPECT_EQ(io.events, (std::vector<std::string>{"dtr 1", "dtr 0", "boot", "banner"}));
}

TEST(SimUnit, ReceiverAnswersOnlyOverTheLinkedRadio) {
    FakeIo io;
    Faults faults;
    Unit unit(Target::Receiver, faults, io);
    feed(unit, "BOOT", 0);
    EXPECT_EQ(io.text(), "");
    feed(unit, "+++", kSecond);
    unit.tick(2 * kSecond);
    feed(unit, "ATDLFFFE\r\nATCN\r\n", 2 * kSecond + 250 * kMillisecond);
    EXPECT_EQ(io.text(), "OK\rOK\rOK\r");
    feed(unit, "BOOT", 3 * kSecond);
    EXPECT_EQ(io.text(), kBanner);

    // A reset pulse also resets the radio module: the link must be set up anew.
    unit.dtr(true, 4 * kSecond);
    unit.dtr(false, 4 * kSecond + 50 * kMillisecond);
    feed(unit, "BOOT", 5 * kSecond);
    EXPECT_EQ(io.text(), "");
}

TEST(SimBootloader, MenuAndBannerFaults) {
    Faults silent, wrongMode, split;
    silent.silent = true;
    wrongMode.wrongMode = true;
    split.splitBanner = true;
    struct Case {
        const char* name;
        Faults faults;
        std::string input;
        std::string immediate; // sent at once
        std::string later;     // sent by the timers afterwards
        std::vector<std::string> events;
        Bootloader::State state;
    } cases[] = {
        {"banner", {}, "BOOT", kBanner, "", {"boot", "banner"}, Bootloader::State::Menu},
        {"wake word among noise",
         {},
         "xxBOBOOTyy",
         kBanner,
         "",
         {"boot", "banner"},
         Bootloader::State::Menu},
        {"stray EOT and noise ignored", {}, "\x04zq", "", "", {}, Bootloader::State::Menu},
        {"receive", {}, "1", "", "C", {"receive"}, Bootloader::State::Receive},
        {"start application", {}, "2", "", "", {"start-app"}, Bootloader::State::Application},
        {"silent", silent, "BOOT12", "", "", {"boot"}, Bootloader::State::Menu},
        {"wrong mode",
         wrongMode,
         "BOOT",
         std::string("\0\xFF\xFF\xFF\x7E\0", 6),
         "",
         {"boot"},
         Bootloader::State::Menu},
        {"split banner",
         split,
         "BOOT",
         "\r\nVANT",
         std::string(kBanner).substr(6),
         {"boot", "banner"},
         Bootloader::State::Menu},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeIo io;
        Bootloader boot(c.faults, io);
        boot.reset();
        for (char ch : c.input) {
            boot.input(static_cast<uint8_t>(ch), 0);
        }
        EXPECT_EQ(io.text(), c.immediate);
        boot.tick(Bootloader::kSplitGap - 1);
        EXPECT_EQ(io.text(), "") << "nothing before the split gap";
        boot.tick(YmodemReceiver::kListen);
        EXPECT_EQ(io.text(), c.later);
        EXPECT_EQ(io.events, c.events);
        EXPECT_EQ(boot.state(), c.state);
        EXPECT_EQ(boot.applicationStarted(), c.state == Bootloader::State::Application);
    }
}

TEST(SimLine, PacingAtLineRate) {
    EXPECT_EQ(byteTime(115200), 87); // 86.8 us, rounded up
    EXPECT_EQ(byteTime(109000), 92);
    EXPECT_EQ(byteTime(0), byteTime(9600));

    PacedQueue q;
    const uint8_t bytes[] = {1, 2, 3};
    q.push(bytes, 3, 1000, 100);
    EXPECT_EQ(q.nextArrival(), 1100);
    uint8_t b = 0;
    EXPECT_FALSE(q.pop(1099, b)) << "faster than the line";
    EXPECT_EQ(q.arrived(1250, 10), (std::vector<uint8_t>{1, 2}));
    // Bytes put on a busy line queue behind the ones already on it.
    q.push(bytes, 1, 1150, 100);
    EXPECT_EQ(q.arrived(10000, 10), (std::vector<uint8_t>{1, 2, 3, 1}));
    ASSERT_TRUE(q.pop(1100, b));
    ASSERT_TRUE(q.pop(1200, b));
    ASSERT_TRUE(q.pop(1300, b));
    EXPECT_FALSE(q.pop(1399, b));
    ASSERT_TRUE(q.pop(1400, b));
    EXPECT_EQ(b, 1);
    // An idle line starts again from the time of the push.
    q.push(bytes, 1, 5000, 100);
    EXPECT_EQ(q.nextArrival(), 5100);
}

TEST(SimOptions, Parse) {
    struct Case {
        std::vector<std::string> args;
        bool ok;
    } cases[] = {
        {{}, true},
        {{"--target", "rx", "--out", "/tmp/x", "--once"}, true},
        {{"--target", "RX"}, false},
        {{"--target"}, false},
        {{"--nak-block", "0"}, false},
        {{"--nak-block", "3x"}, false},
        {{"--drop-ack", "4"}, false},
        {{"--drop-ack", "4:0"}, false},
        {{"--drop-ack", "4:2", "--drop-ack", "5:1"}, true},
        {{"--slow-flash", "-5"}, false},
        {{"--hangup-at", "2", "--can-at", "7", "--split-banner", "--silent", "--wrong-mode"}, true},
        {{"--bogus"}, false},
    };
    for (const auto& c : cases) {
        std::string error;
        const auto options = parseOptions(c.args, error);
        EXPECT_EQ(options.has_value(), c.ok) << (c.args.empty() ? "" : c.args[0]) << ": " << error;
        EXPECT_EQ(error.empty(), c.ok);
    }

    std::string error;
    const auto o = parseOptions({"--target", "rx", "--drop-ack", "4:2", "--drop-ack", "5:1",
                                 "--slow-flash", "250", "--nak-block", "3"},
                                error);
    ASSERT_TRUE(o);
    EXPECT_EQ(o->target, Target::Receiver);
    EXPECT_EQ(expectedSpeed(o->target), 109000u);
    EXPECT_EQ(expectedSpeed(Target::Transmitter), 115200u);
    EXPECT_EQ(o->faults.dropAcks, (std::map<uint32_t, uint32_t>{{4, 2}, {5, 1}}));
    EXPECT_EQ(o->faults.slowFlashMs, 250u);
    EXPECT_EQ(o->faults.nakBlocks, (std::set<uint32_t>{3}));
}

} // namespace
