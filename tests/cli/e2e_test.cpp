// The loader CLI against the virtual unit, end to end: every way a run can end.
#include "VirtualUnit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr auto kRunTimeout = 60s;

const char* const kAppTitle = "ZK Firmware Loader: ";

size_t countOf(const std::vector<UnitEvent>& events, const std::string& name) {
    return static_cast<size_t>(
        std::count_if(events.begin(), events.end(), [&](const auto& e) { return e.name == name; }));
}

long firstMs(const std::vector<UnitEvent>& events, const std::string& name) {
    for (const auto& e : events) {
        if (e.name == name) {
            return e.ms;
        }
    }
    return -1;
}

// A unit behind a USB-serial adapter model: the loader's drain returns its
// lag after the last byte has left, while the unit answers as soon as a block
// has arrived.
struct SuccessCase {
    const char* name;
    const char* unitOptions; // separated by spaces
    long resent = 0;         // blocks sent again because the unit dropped its answer
};

std::vector<std::string> words(const char* text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), {}};
}

void PrintTo(const SuccessCase& c, std::ostream* os) {
    *os << c.name;
}

class FlashSucceeds : public testing::TestWithParam<SuccessCase> {};

TEST_P(FlashSucceeds, ImageArrivesWholeAndTheApplicationStarts) {
    const SuccessCase& c = GetParam();
    const bool tx = std::string(c.unitOptions).find("--target rx") == std::string::npos;
    VirtualUnit unit(words(c.unitOptions));
    TempDir files;
    const auto image = testImage(tx ? 5000 : 3000);
    const std::string name = tx ? "fw.bin" : "unit.binrx";
    const auto file = files.write(name, image);

    auto loader = unit.startLoader({"--port", unit.path(), "--yes", file.string()});
    ASSERT_EQ(loader->wait(kRunTimeout), 0) << loader->output() << loader->error();

    std::vector<std::string> log{"Loaded '" + name + "' with " + std::to_string(image.size()) +
                                 " bytes for " + (tx ? "Halvo (Transmitter)" : "Morra (Receiver)")};
    if (tx) {
        log.insert(log.end(), {"Resetting TX Processor...", "Reset Complete."});
    }
    log.insert(log.end(), {"Waiting For Bootloader Start...", "Bootloader Started.",
                           "Sending Firmware File...", "Starting Application..."});
    EXPECT_EQ(lines(loader->output()), log);
    EXPECT_EQ(unit.received(), image); // no block skipped on a stale second ACK

    EXPECT_TRUE(unit.waitForEvent("start-app", 5s));
    const auto events = unit.events();
    std::string dtr;
    for (const auto& e : unit.events("dtr")) {
        dtr += e.args;
    }
    EXPECT_EQ(dtr, tx ? "10" : "1010");
    if (tx) {
        // The transmitter's reset: DTR held for half a second, and the
        // bootloader woken only after it.
        const auto pulse = unit.events("dtr");
        EXPECT_GE(pulse[1].ms - pulse[0].ms, 450);
        EXPECT_LE(pulse[1].ms - pulse[0].ms, 1500);
        EXPECT_GT(firstMs(events, "boot"), pulse[1].ms);
    }
    const auto speeds = unit.events("speed");
    ASSERT_FALSE(speeds.empty());
    EXPECT_EQ(speeds.front().args, tx ? "115200" : "109000");
    EXPECT_EQ(countOf(events, "wrong-speed"), 0u);
    // No block went out again for an answer lost, however late the drain
    // returns; a banner in pieces is recognised at once (one wake-up word).
    const auto blocks = unit.events("block");
    EXPECT_EQ(std::count_if(blocks.begin(), blocks.end(),
                            [](const auto& e) { return e.args.ends_with(" dup"); }),
              c.resent);
    EXPECT_EQ(countOf(events, "boot"), 1u);
    EXPECT_EQ(countOf(events, "receive"), 1u);
    // The start command follows the good transfer, and only once.
    EXPECT_EQ(countOf(events, "start-app"), 1u);
    EXPECT_GT(firstMs(events, "start-app"), firstMs(events, "saved"));
}

INSTANTIATE_TEST_SUITE_P(
    DrainLags, FlashSucceeds,
    testing::Values(
        SuccessCase{"Tx0ms", "--drain-lag 0"}, SuccessCase{"Rx2ms", "--target rx --drain-lag 2"},
        SuccessCase{"Tx4ms", "--drain-lag 4"}, SuccessCase{"Rx10ms", "--target rx --drain-lag 10"},
        SuccessCase{"Tx20ms", "--drain-lag 20"},
        // The second ACK arrives while the next block is on the
        // wire; that block's real answer is a NAK.
        SuccessCase{"TxDoubleAck", "--drain-lag 4 --double-ack 2 --nak-block 3"},
        SuccessCase{"RxDoubleAck", "--target rx --double-ack 1 --nak-block 2"},
        SuccessCase{"SplitBannerAndDroppedAck", "--split-banner --drop-ack 4:1 --drain-lag 4", 1}),
    [](const auto& info) { return std::string(info.param.name); });

// Runs that end before or during the transfer, and what each leaves behind;
// each with the exit status 1.
struct FailureCase {
    const char* name;
    const char* unitOptions; // separated by spaces
    size_t size;             // of the image; more than 192 KiB is refused untouched
    const char* lastLogLine;
    const char* alert = nullptr; // expected on standard error
    long naks = 0;               // copies the unit refused
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class FlashFails : public testing::TestWithParam<FailureCase> {};

TEST_P(FlashFails, EndsWithItsReportAndNoStartCommand) {
    const FailureCase& c = GetParam();
    const std::vector<std::string> options = words(c.unitOptions);
    VirtualUnit unit(options);
    TempDir files;
    const bool rx = std::find(options.begin(), options.end(), "rx") != options.end();
    const auto file = files.write(rx ? "fw.binrx" : "fw.bin", testImage(c.size));
    auto loader = unit.startLoader({"--port", unit.path(), "--yes", file.string()});
    EXPECT_EQ(loader->wait(kRunTimeout), 1) << loader->output() << loader->error();
    auto log = lines(loader->output());
    // The serial link's diagnostics share standard output with the log.
    std::erase_if(log, [](const std::string& line) {
        return line.rfind("tcdrain error on close", 0) == 0 || line.rfind("ZKSerial error", 0) == 0;
    });
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), c.lastLogLine);
    if (c.alert != nullptr) {
        EXPECT_NE(loader->error().find(std::string(kAppTitle) + c.alert), std::string::npos)
            << loader->error();
    }
    EXPECT_EQ(unit.events("start-app").size(), 0u);
    const auto blocks = unit.events("block");
    EXPECT_EQ(std::count_if(blocks.begin(), blocks.end(),
                            [](const auto& e) { return e.args.ends_with(" nak"); }),
              c.naks);
    if (c.size > 196608) {
        std::this_thread::sleep_for(200ms);
        EXPECT_TRUE(unit.events("dtr").empty());
        EXPECT_TRUE(unit.events("speed").empty());
    }
}

constexpr const char* kWrongMode =
    "Morra is not in the correct mode.  Press FW button AFTER power up (within 2 seconds).";

INSTANTIATE_TEST_SUITE_P(
    Endings, FlashFails,
    testing::Values(
        FailureCase{"WrongModeTx", "--wrong-mode", 100, "Waiting For Bootloader Start...",
                    kWrongMode},
        FailureCase{"WrongModeRx", "--target rx --wrong-mode --drain-lag 4", 100,
                    "Waiting For Bootloader Start...", kWrongMode},
        FailureCase{"SilentBlock", "--drop-ack 2:3 --drain-lag 4", 5000, "File Send Error!"},
        FailureCase{"NakForEver", "--nak-block 2:100 --drain-lag 10", 5000, "File Send Error!",
                    nullptr, 10},
        FailureCase{"ReceiverAbort", "--can-at 2 --drain-lag 2", 5000, "File Send Error!"},
        FailureCase{"HangUp", "--hangup-at 2 --drain-lag 4", 5000, "File Send Error!",
                    "Write Error - "},
        // The image is in, but the start command cannot be written.
        FailureCase{"HangUpBeforeStart", "--hangup-at-end --drain-lag 4", 5000,
                    "Sending Firmware File...", "Write Error - Input/output error(5)."},
        FailureCase{"TooLarge", "", 196609, "File Too Large for Memory!"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FlashSequence, NoBannerAfterFifteenWakeUps) {
    VirtualUnit unit({"--target", "tx", "--silent"});
    TempDir files;
    const auto file = files.write("fw.bin", testImage(100));
    auto loader = unit.startLoader({"--port", unit.path(), file.string()});
    EXPECT_EQ(loader->wait(kRunTimeout), 1);
    const auto log = lines(loader->output());
    EXPECT_EQ(log.back(), "Bootloader Didn't Respond!");
    EXPECT_NE(loader->error().find(std::string(kAppTitle) +
                                   "Ensure FTDI VCP USB driver 2.2.18 or later is installed"),
              std::string::npos);
    EXPECT_EQ(unit.events("boot").size(), 15u);
}

TEST(FlashSequence, CancelDuringTheTransfer) {
    VirtualUnit unit({"--slow-flash", "150", "--drain-lag", "4"});
    TempDir files;
    const auto file = files.write("fw.bin", testImage(40 * 1024));
    auto loader = unit.startLoader({"--port", unit.path(), file.string()});
    ASSERT_TRUE(loader->waitForOutput("Sending Firmware File...\n", 20s));
    std::this_thread::sleep_for(2000ms);
    loader->signal(SIGTERM);
    EXPECT_EQ(loader->wait(kRunTimeout), 130);
    EXPECT_EQ(lines(loader->output()).back(), "Process Canceled.");
    EXPECT_TRUE(unit.events("saved").empty());
    EXPECT_TRUE(unit.events("start-app").empty());
}

TEST(FlashSequence, OpenFailureForAMissingPort) {
    TempDir files;
    const auto file = files.write("fw.bin", testImage(10));
    Process loader({ZK_CLI_PATH, "--port", "/dev/zk-no-such-port", file.string()});
    EXPECT_EQ(loader.wait(10s), 1);
    const std::string text =
        "Error opening serial port /dev/zk-no-such-port - No such file or directory(2).";
    EXPECT_EQ(loader.error(), std::string(kAppTitle) + text + "\n");
    EXPECT_NE(loader.output().find("ZKSerial error [" + text + "\n]"), std::string::npos);
}

// A second loader is refused the port that the first holds while it waits for
// the bootloader; then the first is cancelled there.
TEST(FlashSequence, PortHeldByAnotherLoaderThenCancelledInTheWait) {
    VirtualUnit unit({"--silent"});
    TempDir files;
    const auto file = files.write("fw.bin", testImage(10));
    auto first = unit.startLoader({"--port", unit.path(), file.string()});
    ASSERT_TRUE(first->waitForOutput("Waiting For Bootloader Start...\n", 10s));
    auto second = unit.startLoader({"--port", unit.path(), file.string()});
    EXPECT_EQ(second->wait(10s), 1);
    EXPECT_NE(second->error().find("Error locking serial port " + unit.path() +
                                   " - Resource temporarily unavailable(11)."),
              std::string::npos)
        << second->error();
    first->signal(SIGINT);
    EXPECT_EQ(first->wait(kRunTimeout), 130);
    EXPECT_EQ(lines(first->output()).back(), "Process Canceled.");
    EXPECT_TRUE(unit.events("receive").empty());
    EXPECT_LT(unit.events("boot").size(), 15u);
}

struct UsageCase {
    const char* name;
    std::vector<std::string> args;
    int exitStatus;
    const char* error;
};

void PrintTo(const UsageCase& c, std::ostream* os) {
    *os << c.name;
}

class Usage : public testing::TestWithParam<UsageCase> {};

TEST_P(Usage, RefusedBeforeAnyPortIsOpened) {
    const UsageCase& c = GetParam();
    std::vector<std::string> argv{ZK_CLI_PATH};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Process cli(argv);
    EXPECT_EQ(cli.wait(10s), c.exitStatus);
    EXPECT_NE(cli.error().find(c.error), std::string::npos) << cli.error();
}

INSTANTIATE_TEST_SUITE_P(
    Cli, Usage,
    testing::Values(UsageCase{"NoArguments", {}, 2, "no firmware file given"},
                    UsageCase{"UnknownOption", {"--fast", "x.bin"}, 2, "unknown option --fast"},
                    UsageCase{"MissingFile",
                              {"--port", "/dev/null", "/nonexistent/fw.bin"},
                              2,
                              "cannot read '/nonexistent/fw.bin': No such file or directory"},
                    UsageCase{"Directory",
                              {"--port", "/dev/null", "/tmp"},
                              2,
                              "cannot read '/tmp': Is a directory"},
                    UsageCase{"EndlessDevice",
                              {"--port", "/dev/null", "/dev/zero"},
                              2,
                              "cannot read '/dev/zero': not a regular file"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
