// The loader CLI against the virtual unit, end to end: every way a run can end,
// the record each run leaves, and several units from one command.
#include "VirtualUnit.h"
#include "flash/FlashRecord.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
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

// The run's record: one valid JSON object naming the port, the image and the outcome.
void expectRecord(const nlohmann::json& record, const std::string& port,
                  const std::vector<uint8_t>& image, const std::string& outcome) {
    ASSERT_TRUE(record.is_object()) << record;
    EXPECT_EQ(record["port"], port);
    EXPECT_EQ(record["outcome"], outcome);
    EXPECT_EQ(record["size"], image.size());
    EXPECT_EQ(record["sha256"], sha256Hex(image.data(), image.size()));
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
    EXPECT_NE(loader->error().find("Sent " + std::to_string(image.size()) + " bytes in "),
              std::string::npos)
        << loader->error();
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
    const auto refused = std::count_if(blocks.begin(), blocks.end(), [](const auto& e) {
        return e.args.ends_with(" dup") || e.args.ends_with(" nak");
    });
    const auto records = unit.records();
    ASSERT_EQ(records.size(), 1u);
    expectRecord(records[0], unit.path(), image, "success");
    EXPECT_EQ(records[0]["target"], tx ? "TX" : "RX");
    // Header, data blocks of 1024 and 128 bytes (the copies sent again are all
    // of 1024), EOT, closing block, EOT.
    const size_t size = image.size();
    EXPECT_EQ(records[0]["wire_bytes"], 1029 + size / 1024 * 1029 +
                                            (size % 1024 + 127) / 128 * 133 + 135 +
                                            static_cast<size_t>(refused) * 1029);
    EXPECT_GT(records[0]["transfer_seconds"], 0.0);
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
    const char* outcome;         // in the run's record
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
    const auto image = testImage(c.size);
    const auto file = files.write(rx ? "fw.binrx" : "fw.bin", image);
    auto loader = unit.startLoader({"--port", unit.path(), "--yes", file.string()});
    EXPECT_EQ(loader->wait(kRunTimeout), 1) << loader->output() << loader->error();
    const auto records = unit.records();
    ASSERT_EQ(records.size(), 1u);
    expectRecord(records[0], unit.path(), image, c.outcome);
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
    testing::Values(FailureCase{"WrongModeTx", "--wrong-mode", 100,
                                "Waiting For Bootloader Start...", "wrong mode", kWrongMode},
                    FailureCase{"WrongModeRx", "--target rx --wrong-mode --drain-lag 4", 100,
                                "Waiting For Bootloader Start...", "wrong mode", kWrongMode},
                    FailureCase{"SilentBlock", "--drop-ack 2:3 --drain-lag 4", 5000,
                                "File Send Error!", "send error"},
                    FailureCase{"NakForEver", "--nak-block 2:100 --drain-lag 10", 5000,
                                "File Send Error!", "send error", nullptr, 10},
                    FailureCase{"ReceiverAbort", "--can-at 2 --drain-lag 2", 5000,
                                "File Send Error!", "send error"},
                    FailureCase{"HangUp", "--hangup-at 2 --drain-lag 4", 5000, "File Send Error!",
                                "send error", "Write Error - "},
                    // The image is in, but the start command cannot be written.
                    FailureCase{"HangUpBeforeStart", "--hangup-at-end --drain-lag 4", 5000,
                                "Sending Firmware File...", "serial failure",
                                "Write Error - Input/output error(5)."},
                    FailureCase{"TooLarge", "", 196609, "File Too Large for Memory!", "too large"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FlashSequence, NoBannerAfterFifteenWakeUps) {
    VirtualUnit unit({"--target", "tx", "--silent"});
    TempDir files;
    const auto file = files.write("fw.bin", testImage(100));
    auto loader = unit.startLoader({"--port", unit.path(), file.string()});
    EXPECT_EQ(loader->wait(kRunTimeout), 1);
    const auto log = lines(loader->output());
    EXPECT_EQ(log.back(), "Bootloader Didn't Respond!");
    EXPECT_NE(loader->error().find(
                  std::string(kAppTitle) +
                  "Ensure the USB-serial adapter is listed by zkflash-cli --list and that its "
                  "cable is plugged in firmly.\n\nDisconnect all cables"),
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
    EXPECT_EQ(loader->wait(kRunTimeout), 143);
    EXPECT_EQ(lines(loader->output()).back(), "Process Canceled.");
    EXPECT_TRUE(unit.events("saved").empty());
    EXPECT_TRUE(unit.events("start-app").empty());
    ASSERT_EQ(unit.records().size(), 1u);
    EXPECT_EQ(unit.records()[0]["outcome"], "cancelled");
}

TEST(FlashSequence, OpenFailureForAMissingPort) {
    TempDir files;
    const auto file = files.write("fw.bin", testImage(10));
    const auto record = files.path() / "records" / "flashes.jsonl";
    Process loader({ZK_CLI_PATH, "--port", "/dev/zk-no-such-port", "--record", record.string(),
                    file.string()});
    EXPECT_EQ(loader.wait(10s), 1);
    const std::string text =
        "Error opening serial port /dev/zk-no-such-port - No such file or directory(2).";
    EXPECT_EQ(loader.error(), std::string(kAppTitle) + text + "\n");
    EXPECT_NE(loader.output().find("ZKSerial error [" + text + "\n]"), std::string::npos);
    std::ifstream in(record);
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    const auto json = nlohmann::json::parse(line);
    expectRecord(json, "/dev/zk-no-such-port", testImage(10), "serial failure");
    EXPECT_EQ(json["serial_error"], text);
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
                                   " - Resource temporarily unavailable(11).\n" + unit.path() +
                                   " is held by "),
              std::string::npos)
        << second->error();
    // The unit holds its end too; the hint names the loader among the holders.
    EXPECT_NE(second->error().find("zkflash-cli (pid " + std::to_string(first->pid()) + ")"),
              std::string::npos);
    first->signal(SIGINT);
    EXPECT_EQ(first->wait(kRunTimeout), 130);
    EXPECT_EQ(lines(first->output()).back(), "Process Canceled.");
    EXPECT_TRUE(unit.events("receive").empty());
    EXPECT_LT(unit.events("boot").size(), 15u);
}

// Several units from one command, each in a loader of its own.
struct SeveralCase {
    const char* name;
    std::vector<std::vector<std::string>> units; // the options of each unit
    const char* file;
    std::vector<std::string> args;
    int exitStatus;
    std::vector<std::string> outcomes; // of each unit
    bool timeAgainstOne = false;       // also flash one unit alone and compare
};

void PrintTo(const SeveralCase& c, std::ostream* os) {
    *os << c.name;
}

class SeveralUnits : public testing::TestWithParam<SeveralCase> {};

TEST_P(SeveralUnits, EachUnitRunsOnItsOwn) {
    const SeveralCase& c = GetParam();
    TempDir files;
    const auto image = testImage(20000);
    const auto file = files.write(c.file, image).string();
    std::chrono::duration<double> one{};
    if (c.timeAgainstOne) {
        VirtualUnit unit({});
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(unit.startLoader({"--port", unit.path(), "--yes", file})->wait(kRunTimeout), 0);
        one = std::chrono::steady_clock::now() - start;
    }
    std::vector<std::unique_ptr<VirtualUnit>> owned;
    std::vector<const VirtualUnit*> units;
    std::vector<std::string> args = c.args;
    for (const auto& options : c.units) {
        units.push_back(owned.emplace_back(std::make_unique<VirtualUnit>(options)).get());
        args.insert(args.end(), {"--port", units.back()->path()});
    }
    args.push_back(file);
    const auto start = std::chrono::steady_clock::now();
    auto loader = VirtualUnit::startLoader(units, args);
    const std::string prompt = "Set Telvo Controller Radio Mode to Tether/RX FW";
    if (c.exitStatus == 130) {
        for (const auto* unit : units) {
            ASSERT_TRUE(
                loader->waitForOutput(unit->path() + ": Waiting For Bootloader Start...\n", 20s));
        }
        loader->signal(SIGINT);
    } else if (std::find(c.args.begin(), c.args.end(), "--yes") == c.args.end()) {
        ASSERT_TRUE(loader->waitForError(prompt, 20s)) << loader->error();
        std::this_thread::sleep_for(1500ms); // every unit has come to the prompt by now
        for (const auto* unit : units) {
            EXPECT_TRUE(unit->events("at").empty()) << "radio commands before the answer";
        }
        loader->writeInput("\n");
    }
    EXPECT_EQ(loader->wait(kRunTimeout), c.exitStatus) << loader->output() << loader->error();
    const std::chrono::duration<double> all = std::chrono::steady_clock::now() - start;
    if (c.timeAgainstOne) {
        // Generous on a shared machine: bench/several_e2e.sh measures it closely.
        EXPECT_LE(all.count(), 1.5 * one.count()) << "one unit took " << one.count() << " s";
    }
    const std::string out = loader->output();
    const std::string err = loader->error();
    // The prompt is asked once for all; Enter released every receiver.
    const size_t asked = err.find(prompt);
    EXPECT_EQ(asked != std::string::npos, std::string(c.file).ends_with(".binrx")) << err;
    EXPECT_TRUE(asked == std::string::npos || err.find(prompt, asked + 1) == std::string::npos)
        << err;
    const auto records = units.front()->records();
    ASSERT_EQ(records.size(), units.size());
    // A silent unit holds none of the others back.
    for (const auto& done : records) {
        for (const auto& silent : records) {
            if (done["outcome"] == "success" && silent["outcome"] == "no banner") {
                EXPECT_LT(done["ended"], silent["ended"]);
            }
        }
    }
    const bool json = std::find(c.args.begin(), c.args.end(), "--json") != c.args.end();
    for (size_t i = 0; i < units.size(); ++i) {
        const std::string& port = units[i]->path();
        const auto record = std::find_if(records.begin(), records.end(), [&](const auto& r) {
            return r.value("port", "") == port;
        });
        ASSERT_NE(record, records.end()) << port;
        expectRecord(*record, port, image, c.outcomes[i]);
        if (c.outcomes[i] == "success") {
            EXPECT_EQ(units[i]->received(), image) << port;
        }
        std::vector<std::string> at;
        for (const auto& e : units[i]->events("at")) {
            at.push_back(e.args);
        }
        const std::vector<std::string> radio{"+++", "ATDLFFFE", "ATCN"};
        EXPECT_EQ(at, asked == std::string::npos ? std::vector<std::string>{} : radio);
        if (json) {
            EXPECT_NE(out.find("\"port\":\"" + port + "\""), std::string::npos) << out;
        } else {
            EXPECT_NE(out.find(port + ": Loaded '" + c.file + "' with 20000 bytes"),
                      std::string::npos)
                << out;
            // The table: port, adapter serial (none on a pseudo-terminal), outcome, seconds.
            EXPECT_NE(out.find("\n" + port + "  -  "), std::string::npos) << out;
        }
    }
    if (json) {
        for (const auto& line : lines(out)) {
            EXPECT_TRUE(nlohmann::json::parse(line, nullptr, false).contains("port")) << line;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(OneCommand, SeveralUnits,
                         testing::Values(SeveralCase{"FourAtOnce",
                                                     {{}, {}, {}, {}},
                                                     "fw.bin",
                                                     {"--yes"},
                                                     0,
                                                     {"success", "success", "success", "success"},
                                                     true},
                                         SeveralCase{
                                             "OneOfFourSilent",
                                             {{}, {"--silent"}, {}, {}},
                                             "fw.bin",
                                             {"--yes", "--quiet"},
                                             1,
                                             {"success", "no banner", "success", "success"}},
                                         SeveralCase{"ReceiversAskedOnce",
                                                     {{"--target", "rx"}, {"--target", "rx"}},
                                                     "fw.binrx",
                                                     {"--json"},
                                                     0,
                                                     {"success", "success"}},
                                         SeveralCase{"CtrlCCancelsAll",
                                                     {{"--silent"}, {"--silent"}},
                                                     "fw.bin",
                                                     {"--yes"},
                                                     130,
                                                     {"cancelled", "cancelled"}}),
                         [](const auto& info) { return std::string(info.param.name); });

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
