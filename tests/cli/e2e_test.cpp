// The loader CLI against the virtual unit, end to end: every way a run can end.
#include "VirtualUnit.h"

#include <gtest/gtest.h>

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

struct SuccessCase {
    const char* target;
    const char* file;
    size_t size;
    uint32_t speed;
    std::vector<std::string> log;
    std::vector<std::string> dtr;
};

void PrintTo(const SuccessCase& c, std::ostream* os) {
    *os << c.target;
}

class FlashSucceeds : public testing::TestWithParam<SuccessCase> {};

TEST_P(FlashSucceeds, ImageArrivesWholeAndTheApplicationStarts) {
    const SuccessCase& c = GetParam();
    VirtualUnit unit({"--target", c.target});
    TempDir files;
    const auto image = testImage(c.size);
    const auto file = files.write(c.file, image);

    auto loader = unit.startLoader({"--port", unit.path(), "--yes", file.string()});
    ASSERT_EQ(loader->wait(kRunTimeout), 0) << loader->output() << loader->error();

    EXPECT_EQ(lines(loader->output()), c.log);
    EXPECT_EQ(unit.received(), image);

    EXPECT_TRUE(unit.waitForEvent("start-app", 5s));
    const auto events = unit.events();
    std::vector<std::string> dtr;
    for (const auto& e : unit.events("dtr")) {
        dtr.push_back(e.args);
    }
    EXPECT_EQ(dtr, c.dtr);
    if (dtr.size() == 2) {
        // The transmitter's reset: DTR held for half a second, and the
        // bootloader woken only after it.
        const auto pulse = unit.events("dtr");
        EXPECT_GE(pulse[1].ms - pulse[0].ms, 450);
        EXPECT_LE(pulse[1].ms - pulse[0].ms, 1500);
        EXPECT_GT(firstMs(events, "boot"), pulse[1].ms);
    }
    const auto speeds = unit.events("speed");
    ASSERT_FALSE(speeds.empty());
    EXPECT_EQ(speeds.front().args, std::to_string(c.speed));
    EXPECT_EQ(countOf(events, "wrong-speed"), 0u);
    // The start command follows the good transfer, and only once.
    EXPECT_EQ(countOf(events, "start-app"), 1u);
    EXPECT_GT(firstMs(events, "start-app"), firstMs(events, "saved"));
}

INSTANTIATE_TEST_SUITE_P(
    BothTargets, FlashSucceeds,
    testing::Values(SuccessCase{"tx",
                                "fw.bin",
                                5000,
                                115200,
                                {"Loaded 'fw.bin' with 5000 bytes for Halvo (Transmitter)",
                                 "Resetting TX Processor...", "Reset Complete.",
                                 "Waiting For Bootloader Start...", "Bootloader Started.",
                                 "Sending Firmware File...", "Starting Application..."},
                                {"1", "0"}},
                    SuccessCase{"rx",
                                "unit.binrx",
                                3000,
                                109000,
                                {"Loaded 'unit.binrx' with 3000 bytes for Morra (Receiver)",
                                 "Waiting For Bootloader Start...", "Bootloader Started.",
                                 "Sending Firmware File...", "Starting Application..."},
                                {"1", "0", "1", "0"}}),
    [](const auto& info) { return std::string(info.param.target); });

TEST(FlashSequence, ReceiverWaitsForTheOperatorBeforeRadioCommands) {
    VirtualUnit unit({"--target", "rx"});
    TempDir files;
    const auto file = files.write("unit.binrx", testImage(2000));
    auto loader = unit.startLoader({"--port", unit.path(), file.string()});
    ASSERT_TRUE(loader->waitForError(
        std::string(kAppTitle) + "Set Telvo Controller Radio Mode to Tether/RX FW\n", 10s))
        << loader->error();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(unit.events("at").size(), 0u) << "radio commands sent before the prompt was answered";
    loader->writeInput("\n");
    ASSERT_EQ(loader->wait(kRunTimeout), 0) << loader->output() << loader->error();
    std::vector<std::string> at;
    for (const auto& e : unit.events("at")) {
        at.push_back(e.args);
    }
    EXPECT_EQ(at, (std::vector<std::string>{"+++", "ATDLFFFE", "ATCN"}));
    EXPECT_EQ(unit.received().size(), 2000u);
}

// Runs that end before or during the transfer, and what each leaves behind.
struct FailureCase {
    const char* name;
    std::vector<std::string> unitOptions;
    const char* file;
    size_t size;
    int exitStatus;
    const char* lastLogLine;
    const char* alert; // expected on standard error, or nullptr
    bool touchesUnit = true;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class FlashFails : public testing::TestWithParam<FailureCase> {};

TEST_P(FlashFails, EndsWithItsReportAndNoStartCommand) {
    const FailureCase& c = GetParam();
    VirtualUnit unit(c.unitOptions);
    TempDir files;
    const auto file = files.write(c.file, testImage(c.size));
    auto loader = unit.startLoader({"--port", unit.path(), "--yes", file.string()});
    EXPECT_EQ(loader->wait(kRunTimeout), c.exitStatus) << loader->output() << loader->error();
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
    if (!c.touchesUnit) {
        std::this_thread::sleep_for(200ms);
        EXPECT_TRUE(unit.events("dtr").empty());
        EXPECT_TRUE(unit.events("speed").empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Endings, FlashFails,
    testing::Values(
        FailureCase{"WrongModeTx",
                    {"--target", "tx", "--wrong-mode"},
                    "fw.bin",
                    100,
                    1,
                    "Waiting For Bootloader Start...",
                    "Morra is not in the correct mode.  Press FW button AFTER power up (within 2 "
                    "seconds)."},
        FailureCase{"WrongModeRx",
                    {"--target", "rx", "--wrong-mode"},
                    "fw.binrx",
                    100,
                    1,
                    "Waiting For Bootloader Start...",
                    "Morra is not in the correct mode."},
        FailureCase{
            "SilentBlock", {"--drop-ack", "2:3"}, "fw.bin", 5000, 1, "File Send Error!", nullptr},
        FailureCase{
            "ReceiverAbort", {"--can-at", "2"}, "fw.bin", 5000, 1, "File Send Error!", nullptr},
        FailureCase{"HangUp",
                    {"--hangup-at", "2"},
                    "fw.bin",
                    5000,
                    1,
                    "File Send Error!",
                    "Write Error - "},
        FailureCase{
            "TooLarge", {}, "fw.bin", 196609, 1, "File Too Large for Memory!", nullptr, false},
        // 193 blocks, though below 192 KiB.
        FailureCase{"TooManyBlocks",
                    {},
                    "fw.bin",
                    190337,
                    1,
                    "File Too Large for Memory!",
                    nullptr,
                    false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FlashSequence, RecoversFromNakAndSplitBanner) {
    VirtualUnit unit({"--split-banner", "--nak-block", "3", "--drop-ack", "4:1"});
    TempDir files;
    const auto image = testImage(6000);
    const auto file = files.write("fw.bin", image);
    auto loader = unit.startLoader({"--port", unit.path(), file.string()});
    ASSERT_EQ(loader->wait(kRunTimeout), 0) << loader->output() << loader->error();
    EXPECT_EQ(unit.received(), image);
    EXPECT_EQ(unit.events("receive").size(), 1u);
    // The split banner is recognised at once: no second wake-up word.
    EXPECT_EQ(unit.events("boot").size(), 1u);
}

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
    VirtualUnit unit({"--slow-flash", "150"});
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
