// The loader CLI against the virtual unit, end to end: every way a run can end,
// the record each run leaves, and several units from one command.
#include "UsbTree.h"
#include "VirtualUnit.h"
#include "flash/FlashRecord.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

using namespace std::chrono_literals;

namespace {

constexpr auto kRunTimeout = 60s;
const std::string kAppTitle = "ZK Firmware Loader: ";

// The loader CLI on the units' lines: DTR reaches each unit on its own, the
// records go to the first unit's folder.
std::unique_ptr<Process> startLoader(const std::vector<const VirtualUnit*>& units,
                                     std::vector<std::string> args,
                                     std::map<std::string, std::string> env = {}) {
    std::string sockets;
    for (const VirtualUnit* unit : units) {
        sockets += (sockets.empty() ? "" : ":") + unit->path() + "=" +
                   (unit->dir() / "modemline.sock").string();
    }
    if (wineCli().empty()) {
        args.insert(args.begin(), ZK_CLI_PATH);
    } else {
        // The Windows loader finds its record file in the user's profile of
        // the wine prefix: each run names the unit's instead.
        const auto named = [&](const char* option) {
            return std::find(args.begin(), args.end(), option) != args.end();
        };
        if (!named("--record") && !named("--no-record") && !named("--report") &&
            !named("--doctor") && !named("--list")) {
            args.insert(args.begin(), {"--record", windowsPath(units.front()->dir() /
                                                               "state/zkflash/flashes.jsonl")});
        }
        const char* wine = std::getenv("ZK_E2E_WINE");
        args.insert(args.begin(), {wine != nullptr ? wine : "/usr/bin/wine", wineCli()});
    }
    env.insert({{"LD_PRELOAD", ZK_PRELOAD},
                {"ZK_MODEMLINE_SOCKET", sockets},
                {"XDG_STATE_HOME", (units.front()->dir() / "state").string()}});
    return std::make_unique<Process>(args, env);
}

size_t countOf(const std::vector<UnitEvent>& events, const std::string& name,
               const std::string& argsEnd = "") {
    return static_cast<size_t>(std::count_if(events.begin(), events.end(), [&](const auto& e) {
        return e.name == name && e.args.ends_with(argsEnd);
    }));
}

long firstMs(const std::vector<UnitEvent>& events, const std::string& name) {
    const auto found =
        std::find_if(events.begin(), events.end(), [&](const auto& e) { return e.name == name; });
    return found == events.end() ? -1 : found->ms;
}

// The run's record: one valid JSON object naming the port, the image and the outcome.
void expectRecord(const nlohmann::json& record, const std::string& port,
                  const std::vector<uint8_t>& image, const std::string& outcome) {
    ASSERT_TRUE(record.is_object()) << record;
    EXPECT_EQ(record["port"], port);
    EXPECT_EQ(record["outcome"], outcome);
    if (image.size() > 196608) { // refused, and read only as far as that takes
        EXPECT_TRUE(record["size"].is_null() && record["sha256"].is_null()) << record;
        return;
    }
    EXPECT_EQ(record["size"], image.size());
    EXPECT_EQ(record["sha256"], sha256Hex(image.data(), image.size()));
}

std::vector<std::string> words(const char* text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), {}};
}

template <typename Case> std::string caseName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// A unit behind a USB-serial adapter model: the loader's drain returns its
// lag after the last byte has left, while the unit answers as soon as a block
// has arrived.
struct SuccessCase {
    const char* name;
    const char* unitOptions; // separated by spaces
    long resent = 0;         // blocks sent again because the unit dropped its answer
};

void PrintTo(const SuccessCase& c, std::ostream* os) {
    *os << c.name;
}

class FlashSucceeds : public testing::TestWithParam<SuccessCase> {};

TEST_P(FlashSucceeds, ImageArrivesWholeAndTheApplicationStarts) {
    const SuccessCase& c = GetParam();
    const bool tx = std::string(c.unitOptions).find("--target rx") == std::string::npos;
    VirtualUnit unit(words(c.unitOptions));
    const auto image = testImage(tx ? 5000 : 3000);
    const std::string name = tx ? "fw.bin" : "unit.binrx";
    const auto file = unit.write(name, image);

    auto loader = startLoader({&unit}, {"--port", unit.port(), "--yes", file.string()});
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
    const auto dtr = unit.events("dtr");
    std::string levels;
    for (const auto& e : dtr) {
        levels += e.args;
    }
    EXPECT_EQ(levels, tx ? "10" : "1010");
    if (tx) {
        // The transmitter's reset: half a second after the port opens, DTR
        // held for half a second, and the bootloader woken only after it.
        EXPECT_GE(dtr[0].ms - firstMs(events, "open"), 450);
        EXPECT_GE(dtr[1].ms - dtr[0].ms, 450);
        EXPECT_LE(dtr[1].ms - dtr[0].ms, 1500);
        EXPECT_GT(firstMs(events, "boot"), dtr[1].ms);
    }
    const auto speeds = unit.events("speed");
    ASSERT_FALSE(speeds.empty());
    // Wine runs 109000 as 38400 with an FTDI divisor: 24 MHz / 220.
    EXPECT_EQ(speeds.front().args, tx ? "115200" : wineCli().empty() ? "109000" : "109090");
    EXPECT_EQ(countOf(events, "wrong-speed"), 0u);
    // No block went out again for an answer lost, however late the drain
    // returns; a banner in pieces is recognised at once (one wake-up word).
    EXPECT_EQ(countOf(events, "block", " dup"), static_cast<size_t>(c.resent));
    const size_t refused = countOf(events, "block", " dup") + countOf(events, "block", " nak");
    const auto records = unit.records();
    ASSERT_EQ(records.size(), 1u);
    expectRecord(records[0], unit.port(), image, "success");
    EXPECT_EQ(records[0]["target"], tx ? "TX" : "RX");
    // Header, data blocks of 1024 and 128 bytes (the copies sent again are all
    // of 1024), EOT, closing block, EOT.
    const size_t size = image.size();
    EXPECT_EQ(records[0]["wire_bytes"],
              1029 + size / 1024 * 1029 + (size % 1024 + 127) / 128 * 133 + 135 + refused * 1029);
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
        SuccessCase{"Tx0ms", "--drain-lag 0"}, SuccessCase{"Rx10ms", "--target rx --drain-lag 10"},
        SuccessCase{"Tx20ms", "--drain-lag 20"},
        // The second ACK arrives while the next block is on the
        // wire; that block's real answer is a NAK.
        SuccessCase{"TxDoubleAck", "--drain-lag 4 --double-ack 2 --nak-block 3"},
        SuccessCase{"RxDoubleAck", "--target rx --drain-lag 2 --double-ack 1 --nak-block 2"},
        SuccessCase{"SplitBannerAndDroppedAck", "--split-banner --drop-ack 4:1 --drain-lag 4", 1}),
    caseName<SuccessCase>);

// Runs that end before or during the transfer, and what each leaves behind;
// each with the exit status 1 and without the start command.
struct FailureCase {
    const char* name;
    const char* unitOptions;     // separated by spaces
    size_t size;                 // of the image; more than 192 KiB is refused untouched
    const char* lastLog;         // the log's last line(s)
    const char* outcome;         // in the run's record
    const char* alert = nullptr; // expected on standard error
    long naks = 0;               // copies the unit refused
    const char* port = nullptr;  // instead of the unit's
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class FlashFails : public testing::TestWithParam<FailureCase> {};

// A failure text as both systems have it: under wine without the system's
// words ("<what> - (<number>)."), which follow Windows' language, and with
// the port the run used for the row's.
std::string withoutSystemText(std::string text, const char* rowPort = nullptr,
                              const std::string& port = "") {
    if (rowPort != nullptr) {
        for (size_t at = text.find(rowPort); at != std::string::npos;
             at = text.find(rowPort, at + port.size())) {
            text.replace(at, std::strlen(rowPort), port);
        }
    }
    if (wineCli().empty()) {
        return text;
    }
    for (size_t dash = text.find(" - "); dash != std::string::npos;
         dash = text.find(" - ", dash + 3)) {
        const size_t open = text.find('(', dash);
        const size_t end = text.find(").", open);
        if (open != std::string::npos && end != std::string::npos && text.find('\n', dash) > end &&
            text.find_first_not_of("0123456789", open + 1) == end) {
            text.erase(dash + 3, open - dash - 3);
        }
    }
    return text;
}

TEST_P(FlashFails, EndsWithItsReportAndNoStartCommand) {
    const FailureCase& c = GetParam();
    VirtualUnit unit(words(c.unitOptions));
    const bool rx = std::string(c.unitOptions).find("--target rx") != std::string::npos;
    const auto image = testImage(c.size);
    const auto file = unit.write(rx ? "fw.binrx" : "fw.bin", image);
    // A port that does not exist: a device path, or a COM port without a device.
    const std::string port = c.port ? (wineCli().empty() ? c.port : "COM19") : unit.port();
    auto loader = startLoader({&unit}, {"--port", port, "--yes", file.string()});
    EXPECT_EQ(loader->wait(kRunTimeout), 1) << loader->output() << loader->error();
    const auto records = unit.records();
    ASSERT_EQ(records.size(), 1u);
    expectRecord(records[0], port, image, c.outcome);
    const auto log = lines(loader->output());
    const auto last = lines(c.lastLog);
    ASSERT_GE(log.size(), last.size());
    EXPECT_EQ(std::vector(log.end() - static_cast<long>(last.size()), log.end()), last);
    const std::string alert = c.alert == nullptr ? "" : withoutSystemText(c.alert, c.port, port);
    if (c.alert != nullptr) {
        EXPECT_NE(withoutSystemText(loader->error()).find(kAppTitle + alert), std::string::npos)
            << loader->error();
    }
    if (std::string(c.outcome) == "serial failure") {
        EXPECT_EQ(withoutSystemText(records[0]["serial_error"].get<std::string>() + "\n"), alert);
        // Shown once, as an alert; the serial link's own diagnostics only with --verbose.
        const std::string err = loader->error();
        EXPECT_EQ(err.find(records[0]["serial_error"].get<std::string>()),
                  err.rfind(records[0]["serial_error"].get<std::string>()))
            << err;
        EXPECT_EQ(err.find("ZKSerial error"), std::string::npos) << err;
    }
    if (std::string(c.outcome) == "no banner") {
        EXPECT_EQ(unit.events("boot").size(), 15u);
    }
    EXPECT_EQ(unit.events("start-app").size(), 0u);
    EXPECT_EQ(countOf(unit.events(), "block", " nak"), static_cast<size_t>(c.naks));
    if (c.size > 196608) {
        std::this_thread::sleep_for(200ms);
        EXPECT_TRUE(unit.events("open").empty());
    }
}

// The alert names the unit being flashed.
constexpr const char* kWrongModeTx =
    "Halvo is not in the correct mode.  Press FW button AFTER power up (within 2 seconds).";
constexpr const char* kWrongModeRx =
    "Morra is not in the correct mode.  Press FW button AFTER power up (within 2 seconds).";

INSTANTIATE_TEST_SUITE_P(
    Endings, FlashFails,
    testing::Values(
        FailureCase{"WrongModeTx", "--wrong-mode", 100, "Waiting For Bootloader Start...",
                    "wrong mode", kWrongModeTx},
        FailureCase{"WrongModeRx", "--target rx --wrong-mode --drain-lag 4", 100,
                    "Waiting For Bootloader Start...", "wrong mode", kWrongModeRx},
        FailureCase{"NoBannerTx", "--silent", 100, "Bootloader Didn't Respond!", "no banner",
                    "Ensure the USB-serial adapter is listed by zkflash-cli --list and that its "
                    "cable is plugged in firmly.\n\nDisconnect all cables"},
        FailureCase{"SilentBlock", "--drop-ack 2:3 --drain-lag 4", 5000, "File Send Error!",
                    "send error"},
        FailureCase{"NakForEver", "--nak-block 2:100 --drain-lag 10", 5000, "File Send Error!",
                    "send error", nullptr, 10},
        FailureCase{"ReceiverAbort", "--can-at 2 --drain-lag 2", 5000, "File Send Error!",
                    "send error"},
        FailureCase{"HangUp", "--hangup-at 2 --drain-lag 4", 5000, "File Send Error!", "send error",
                    "Write Error - "},
        // The image is in, but the start command cannot be written.
        FailureCase{"HangUpBeforeStart", "--hangup-at-end --drain-lag 4", 5000,
                    "Sending Firmware File...", "serial failure",
                    "Write Error - Input/output error(5).\n"},
        FailureCase{"TooLarge", "", 196609, "File Too Large for Memory!", "too large"},
        FailureCase{"MissingPort", "", 10, "Loaded 'fw.bin' with 10 bytes for Halvo (Transmitter)",
                    "serial failure",
                    "Error opening serial port /dev/zk-no-such-port - No such file or "
                    "directory(2).\n",
                    0, "/dev/zk-no-such-port"}),
    caseName<FailureCase>);

TEST(FlashSequence, TerminatedDuringTheTransfer) {
    VirtualUnit unit({"--slow-flash", "150", "--drain-lag", "4"});
    const auto file = unit.write("fw.bin", testImage(40 * 1024));
    auto loader = startLoader({&unit}, {"--port", unit.port(), file.string()});
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

// A second loader is refused the port that the first holds while it waits for
// the bootloader; then the first is cancelled there.
TEST(FlashSequence, PortHeldByAnotherLoaderThenCancelledInTheWait) {
    VirtualUnit unit({"--silent"});
    const auto file = unit.write("fw.bin", testImage(10));
    auto first = startLoader({&unit}, {"--port", unit.port(), file.string()});
    ASSERT_TRUE(first->waitForOutput("Waiting For Bootloader Start...\n", 10s));
    auto second = startLoader({&unit}, {"--port", unit.port(), file.string()});
    EXPECT_EQ(second->wait(10s), 1);
    const std::string port = unit.port();
    if (wineCli().empty()) {
        EXPECT_NE(second->error().find("Error locking serial port " + port +
                                       " - Resource temporarily unavailable(11).\n" + port +
                                       " is held by "),
                  std::string::npos)
            << second->error();
        // The unit holds its end too; the hint names the loader among the holders.
        EXPECT_NE(second->error().find("zkflash-cli (pid " + std::to_string(first->pid()) + ")"),
                  std::string::npos);
    } else {
        // Windows' sharing violation, and its hint.
        const std::string err = second->error();
        EXPECT_NE(err.find("Error locking serial port " + port + " - "), std::string::npos) << err;
        EXPECT_NE(err.find("(32).\nAnother program has " + port + " open"), std::string::npos)
            << err;
    }
    first->signal(SIGINT);
    EXPECT_EQ(first->wait(kRunTimeout), 130);
    EXPECT_EQ(lines(first->output()).back(), "Process Canceled.");
    EXPECT_TRUE(unit.events("receive").empty());
    EXPECT_LT(unit.events("boot").size(), 15u);
}

// Several units from one command, each in a loader of its own.
struct SeveralCase {
    const char* name;
    const char* units; // each unit's options, a comma after each but the last
    const char* file;
    const char* args;
    int exitStatus;
    const char* outcomes; // of each unit, likewise
};

std::vector<std::string> commaSeparated(const std::string& text) {
    std::vector<std::string> parts(1);
    for (const char ch : text) {
        if (ch == ',') {
            parts.emplace_back();
        } else {
            parts.back().push_back(ch);
        }
    }
    return parts;
}

void PrintTo(const SeveralCase& c, std::ostream* os) {
    *os << c.name;
}

class SeveralUnits : public testing::TestWithParam<SeveralCase> {};

TEST_P(SeveralUnits, EachUnitRunsOnItsOwn) {
    const SeveralCase& c = GetParam();
    std::vector<std::unique_ptr<VirtualUnit>> owned;
    std::vector<const VirtualUnit*> units;
    std::vector<std::string> args = words(c.args);
    for (const std::string& options : commaSeparated(c.units)) {
        units.push_back(
            owned.emplace_back(std::make_unique<VirtualUnit>(words(options.c_str()))).get());
        args.insert(args.end(), {"--port", units.back()->port()});
    }
    const auto image = testImage(20000);
    args.push_back(units.front()->write(c.file, image).string());
    auto loader = startLoader(units, args);
    const std::string prompt = kRadioModePrompt;
    if (c.exitStatus == 130) {
        for (const auto* unit : units) {
            ASSERT_TRUE(
                loader->waitForOutput(unit->port() + ": Waiting For Bootloader Start...\n", 20s));
        }
        loader->signal(SIGINT);
    } else if (std::string(c.args).find("--yes") == std::string::npos) {
        ASSERT_TRUE(loader->waitForError(prompt, 20s)) << loader->error();
        std::this_thread::sleep_for(1500ms); // every unit has come to the prompt by now
        for (const auto* unit : units) {
            EXPECT_TRUE(unit->events("at").empty()) << "radio commands before the answer";
        }
        loader->writeInput("\n");
    }
    EXPECT_EQ(loader->wait(kRunTimeout), c.exitStatus) << loader->output() << loader->error();
    const std::string out = loader->output();
    const std::string err = loader->error();
    // The prompt is asked once for all; Enter released every receiver.
    const size_t asked = err.find(prompt);
    EXPECT_EQ(asked != std::string::npos, std::string(c.file).ends_with(".binrx")) << err;
    EXPECT_TRUE(asked == std::string::npos || err.find(prompt, asked + 1) == std::string::npos)
        << err;
    const auto records = units.front()->records();
    ASSERT_EQ(records.size(), units.size());
    for (const auto& a : records) {
        for (const auto& b : records) {
            // All at once, not one after the other (each run takes over a
            // second), and a silent unit holds none of the others back.
            EXPECT_LT(a["started"], b["ended"]);
            if (a["outcome"] == "success" && b["outcome"] == "no banner") {
                EXPECT_LT(a["ended"], b["ended"]);
            }
        }
    }
    const bool json = std::string(c.args).find("--json") != std::string::npos;
    const auto outcomes = commaSeparated(c.outcomes);
    for (size_t i = 0; i < units.size(); ++i) {
        const std::string& port = units[i]->port();
        const auto record = std::find_if(records.begin(), records.end(), [&](const auto& r) {
            return r.value("port", "") == port;
        });
        ASSERT_NE(record, records.end()) << port;
        expectRecord(*record, port, image, outcomes[i]);
        if (outcomes[i] == "success") {
            EXPECT_EQ(units[i]->received(), image) << port;
        }
        std::vector<std::string> at;
        std::ranges::transform(units[i]->events("at"), std::back_inserter(at), &UnitEvent::args);
        const std::vector<std::string> radio{"+++", "ATDLFFFE", "ATCN"};
        EXPECT_EQ(at, asked == std::string::npos ? std::vector<std::string>{} : radio);
        if (json) {
            EXPECT_NE(out.find("\"port\":\"" + port + "\""), std::string::npos) << out;
        } else {
            EXPECT_NE(out.find(port + ": Loaded '" + c.file + "' with 20000 bytes"),
                      std::string::npos)
                << out;
            // The table: port, adapter serial (none on a pseudo-terminal), outcome,
            // seconds; the port's column as wide as the longest port.
            const auto table = lines(out);
            const auto row = std::find_if(table.begin(), table.end(), [&](const std::string& l) {
                return l.starts_with(port + " ");
            });
            ASSERT_NE(row, table.end()) << out;
            std::istringstream cells(*row);
            std::string cell, serial, outcome;
            cells >> cell >> serial >> outcome;
            EXPECT_EQ(serial + " " + outcome, "- " + outcomes[i].substr(0, outcomes[i].find(' ')));
        }
    }
    for (const auto& line : json ? lines(out) : std::vector<std::string>{}) {
        EXPECT_TRUE(nlohmann::json::parse(line, nullptr, false).contains("port")) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(
    OneCommand, SeveralUnits,
    testing::Values(SeveralCase{"OneOfFourSilent", ",--silent,,", "fw.bin", "--yes --quiet", 1,
                                "success,no banner,success,success"},
                    SeveralCase{"ReceiversAskedOnce", "--target rx,--target rx", "fw.binrx",
                                "--json", 0, "success,success"},
                    SeveralCase{"CtrlCCancelsAll", "--silent,--silent", "fw.bin", "--yes", 130,
                                "cancelled,cancelled"}),
    caseName<SeveralCase>);

// node_exporter with only its textfile collector, on a loopback port that
// was free a moment ago, as a site runs it beside a station.
struct NodeExporter {
    explicit NodeExporter(const std::filesystem::path& folder)
        : address("127.0.0.1:" + std::to_string([] {
                      const int s = socket(AF_INET, SOCK_STREAM, 0);
                      sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
                      socklen_t size = sizeof at;
                      bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at);
                      getsockname(s, reinterpret_cast<sockaddr*>(&at), &size);
                      close(s);
                      return ntohs(at.sin_port);
                  }())),
          process({"/usr/bin/prometheus-node-exporter", "--web.listen-address=" + address,
                   "--collector.disable-defaults", "--collector.textfile",
                   "--collector.textfile.directory=" + folder.string()}) {}
    // What /metrics serves; empty while nothing answers.
    std::string scrape() const {
        Process curl({"/usr/bin/curl", "-sf", "http://" + address + "/metrics"});
        curl.wait(10s);
        return curl.output();
    }
    const std::string address;
    Process process;
};

// A station on a temporary sysfs and /dev tree, in which virtual units are
// plugged into the hub's sockets (their pseudo-terminals appear as ttyUSB
// nodes) as a script says: plug SOCKET UNIT (an index into `units`), kill UNIT
// (its loader), until TEXT or out TEXT (on standard error or output), enter,
// stop (Ctrl-C), scrape LINE|LINE... (the station's figures, as node_exporter
// serves them). The runner's own cases are its tests'; these need processes.
struct StationCase {
    const char* name;
    const char* units; // each unit's options, a comma after each but the last; serials S1, S2...
    const char* args;  // before the firmware file
    const char* file;
    const char* script; // steps, separated by ';'
    int exitStatus;
    const char* outcomes; // of the records with the unit's attempt and operator, sorted
    const char* table;    // the summary's footer
};

void PrintTo(const StationCase& c, std::ostream* os) {
    *os << c.name;
}

class Station : public testing::TestWithParam<StationCase> {};

TEST_P(Station, FlashesEachUnitAsItIsPluggedIn) {
    const StationCase& c = GetParam();
    const auto root = usbtree::tempRoot();
    const auto sys = root / "sys";
    std::filesystem::create_directories(sys / "bus/usb/devices/1-1"); // the hub
    std::filesystem::create_directories(root / "dev");
    std::vector<std::unique_ptr<VirtualUnit>> units;
    std::vector<const VirtualUnit*> all;
    for (const std::string& options : commaSeparated(c.units)) {
        all.push_back(
            units.emplace_back(std::make_unique<VirtualUnit>(words(options.c_str()))).get());
    }
    auto args = words(c.args);
    std::unique_ptr<NodeExporter> exporter;
    if (std::string(c.script).find("scrape") != std::string::npos) {
        std::filesystem::create_directories(root / "textfile");
        exporter = std::make_unique<NodeExporter>(root / "textfile");
        args.insert(args.end(), {"--metrics", (root / "textfile/zkflash.prom").string()});
    }
    args.push_back(units.front()->write(c.file, testImage(20000)));
    std::unique_ptr<Process> station;
    std::istringstream script(c.script);
    for (std::string step; std::getline(script >> std::ws, step, ';');) {
        SCOPED_TRACE(step);
        const auto parts = words(step.c_str());
        if (parts[0] == "start") {
            station = startLoader(all, args, {{"ZK_SYS_ROOT", sys}, {"ZK_DEV_ROOT", root / "dev"}});
            ASSERT_TRUE(station->waitForError("Station: ", 10s)) << station->error();
        } else if (parts[0] == "plug") {
            const size_t unit = std::stoul(parts[2]);
            usbtree::plug(sys, "ttyUSB" + parts[2], parts[1],
                          {{"idVendor", "0403"},
                           {"idProduct", "6001"},
                           {"serial", "S" + std::to_string(unit + 1)}});
            std::filesystem::create_symlink(units[unit]->path(),
                                            root / "dev" / ("ttyUSB" + parts[2]));
        } else if (parts[0] == "until" || parts[0] == "out") {
            const std::string text = step.substr(parts[0].size() + 1);
            ASSERT_TRUE(parts[0] == "out" ? station->waitForOutput(text, 30s)
                                          : station->waitForError(text, 30s))
                << station->error();
        } else if (parts[0] == "kill") {
            // The loader is the process whose arguments name the unit's node.
            const std::string port = (root / "dev" / ("ttyUSB" + parts[1])).string();
            for (const auto& proc : std::filesystem::directory_iterator("/proc")) {
                std::ifstream in(proc.path() / "cmdline");
                const std::string argv{std::istreambuf_iterator<char>(in), {}};
                if (argv.find(std::string("--port\0", 7) + port + '\0') != std::string::npos) {
                    kill(std::stoi(proc.path().filename()), SIGKILL);
                }
            }
        } else if (parts[0] == "enter") {
            station->writeInput("\n");
        } else if (parts[0] == "stop") {
            station->signal(SIGINT);
        } else if (parts[0] == "scrape") {
            std::string text;
            const auto served = [&] {
                text = exporter->scrape();
                std::istringstream lines(step.substr(parts[0].size() + 1));
                for (std::string line; std::getline(lines, line, '|');) {
                    if (text.find("\n" + line + "\n") == std::string::npos) {
                        return false;
                    }
                }
                return true;
            };
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            while (!served() && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(100ms);
            }
            EXPECT_TRUE(served()) << text;
            Process check(
                {"/bin/sh", "-c",
                 "/usr/bin/promtool check metrics <" + (root / "textfile/zkflash.prom").string()});
            EXPECT_EQ(check.wait(10s), 0) << check.output() << check.error();
        }
    }
    EXPECT_EQ(station->wait(kRunTimeout), c.exitStatus) << station->error();
    const auto out = lines(station->output()); // the table, or events each with its socket
    EXPECT_TRUE(out.back().starts_with(c.table)) << station->output();
    for (const auto& line : *c.table != 0 ? std::vector<std::string>{} : out) {
        EXPECT_TRUE(nlohmann::json::parse(line, nullptr, false).contains("socket")) << line;
    }
    std::vector<std::string> outcomes; // with the unit's attempt
    for (const auto& record : units.front()->records()) {
        outcomes.push_back(record.value("outcome", "") + " " +
                           std::to_string(record.value("attempt", 0)) + " " +
                           record.value("operator", ""));
    }
    std::sort(outcomes.begin(), outcomes.end());
    EXPECT_EQ(outcomes, commaSeparated(c.outcomes));
    std::filesystem::remove_all(root);
}

INSTANTIATE_TEST_SUITE_P(
    Sockets, Station,
    testing::Values(
        // One unit's loader is killed: the others go on, until two Ctrl-C
        // cancel them.
        StationCase{"LoaderKilledThenCancelled", "--slow-flash 100,--slow-flash 100",
                    "--station --slot 1-1.2=A1 --slot 1-1.3=A2 --operator ann --json", "fw.bin",
                    "start; plug 1-1.2 0; plug 1-1.3 1; out \"label\":\"A1\"};"
                    "out \"label\":\"A2\"}; kill 0; until A1: the loader ended with status 137;"
                    "stop; until Stopping: no new units; stop",
                    130, "cancelled 1 ann", ""},
        // Enter answers both receivers; one is in the wrong mode. Its
        // figures reach Prometheus through node_exporter.
        StationCase{"ReceiversWaitForTheOperator", "--target rx,--target rx --wrong-mode",
                    "--station --slot 1-1.2=B7 --slot 1-1.3=B8 --operator ann", "fw.binrx",
                    "start; plug 1-1.2 0; plug 1-1.3 1; until B7  S1  waiting for the operator;"
                    "until B8  S2  waiting for the operator; enter; until B7  S1  passed;"
                    "until B8  S2  failed: wrong mode;"
                    "scrape node_textfile_scrape_error 0|"
                    "zkflash_station_units_total{outcome=\"passed\",socket=\"B7\"} 1|"
                    "zkflash_station_units_total{outcome=\"failed\",socket=\"B8\"} 1|"
                    "zkflash_station_failures_total{cause=\"wrong_mode\"} 1|"
                    "zkflash_station_units_in_progress 0; stop",
                    1, "success 1 ann,wrong mode 1 ann", "passed 1  failed 1  in progress 0"}),
    caseName<StationCase>);

// Bad arguments and files that cannot be flashed: status 2, the port untouched.
// A station refuses them before it starts, a file too large included (a
// single run refuses that later, untouched, with status 1).
// The run's events as JSON lines, then the report over its record, the setup
// check of its port and, where the port is a system's own (a COM port under
// wine; a pseudo-terminal is no USB-serial port), the port list.
TEST(Commands, JsonRunThenReportDoctorAndList) {
    VirtualUnit unit({"--drain-lag", "2"});
    const auto image = testImage(3000);
    const auto file = unit.write("fw.bin", image);
    auto loader = startLoader({&unit}, {"--json", "--port", unit.port(), file.string()});
    ASSERT_EQ(loader->wait(kRunTimeout), 0) << loader->output() << loader->error();
    std::string last;
    for (const auto& line : lines(loader->output())) {
        const auto event = nlohmann::json::parse(line, nullptr, false);
        ASSERT_TRUE(event.contains("event")) << line;
        last = event["event"];
    }
    EXPECT_EQ(last, "record");
    EXPECT_EQ(unit.received(), image);

    const auto run = [&](std::vector<std::string> args) {
        auto cli = startLoader({&unit}, std::move(args));
        cli->wait(20s);
        return nlohmann::json::parse(cli->output(), nullptr, false);
    };
    const std::string records = wineCli().empty()
                                    ? (unit.dir() / "state/zkflash/flashes.jsonl").string()
                                    : windowsPath(unit.dir() / "state/zkflash/flashes.jsonl");
    const auto report = run({"--report", "--json", records});
    EXPECT_EQ(report["units"]["count"], 1) << report;
    EXPECT_EQ(report["units"]["passed"], 1) << report;

    const auto doctor = run({"--doctor", "--json", "--port", unit.port()});
    ASSERT_TRUE(doctor["checks"].is_array()) << doctor;
    const auto speeds =
        std::find_if(doctor["checks"].begin(), doctor["checks"].end(),
                     [&](const auto& c) { return c["id"] == "speeds:" + unit.port(); });
    ASSERT_NE(speeds, doctor["checks"].end()) << doctor;
    EXPECT_EQ((*speeds)["status"], "ok") << doctor;

    if (!wineCli().empty()) {
        auto list = startLoader({&unit}, {"--list"});
        EXPECT_EQ(list->wait(20s), 0);
        EXPECT_NE(list->output().find(unit.port() + "\t"), std::string::npos) << list->output();
    }
}

// A station on Windows takes a COM name as its socket: a unit in the slotted
// port is flashed at once, and Ctrl-C then ends the station. (Under wine the
// COM ports never come and go; on Linux the sockets' rows above cover it.)
TEST(Commands, StationFlashesTheUnitInASlottedComPort) {
    if (wineCli().empty()) {
        GTEST_SKIP() << "COM ports are Windows'";
    }
    VirtualUnit unit({"--drain-lag", "2"});
    const auto image = testImage(4000);
    const auto file = unit.write("fw.bin", image);
    auto station = startLoader(
        {&unit}, {"--station", "--slot", unit.port() + "=Left", "--yes", file.string()});
    ASSERT_TRUE(station->waitForError("Left  -  passed in", 30s)) << station->error();
    station->signal(SIGINT);
    EXPECT_EQ(station->wait(kRunTimeout), 0) << station->output() << station->error();
    EXPECT_EQ(unit.received(), image);
    const auto records = unit.records();
    ASSERT_EQ(records.size(), 1u);
    expectRecord(records[0], unit.port(), image, "success");
    EXPECT_EQ(records[0]["socket"], unit.port());
    EXPECT_EQ(records[0]["socket_label"], "Left");
}

TEST(Usage, RefusedBeforeAnyPortIsOpened) {
    const auto root = usbtree::tempRoot();
    std::filesystem::create_directories(root / "bus/usb/devices/1-1"); // a hub
    const auto big = root / "big.bin";
    std::ofstream(big).close();
    std::filesystem::resize_file(big, 196609);
    const std::string fw = root / "fw.bin";
    std::ofstream(fw) << "x";
    const std::pair<std::string, const char*> cases[] = {
        {"--fast x.bin", "unknown option --fast"},
        {"--port /dev/null /nonexistent/fw.bin",
         "cannot read '/nonexistent/fw.bin': No such file or directory"},
        {"--port /dev/null /dev/zero", "cannot read '/dev/zero': not a regular file"},
        {"--station --slot 1-1.2 --slot 1-1.2=A1 " + fw, "socket 1-1.2 given twice"},
        {"--station --slot 2-1.2 " + fw, "no hub for socket 2-1.2 in sysfs"},
        {"--station --slot 1-1.2=A\x01 " + fw, "the label has a control character"},
        {"--station " + big.string(), "is too large to flash (196609 bytes, at most 196608)"},
        {"--station /nonexistent/fw.bin", "cannot read '/nonexistent/fw.bin'"},
        {"--station --metrics /nonexistent/zkflash.prom " + fw,
         "--metrics /nonexistent/zkflash.prom: no folder /nonexistent"},
        {"--json " + fw, "no USB-serial port found: plug in the unit's adapter"},
    };
    for (const auto& [args, error] : cases) {
        std::vector<std::string> argv = words(args.c_str());
        argv.insert(argv.begin(), ZK_CLI_PATH);
        Process cli(argv, {{"ZK_SYS_ROOT", root}});
        EXPECT_EQ(cli.wait(10s), 2) << error;
        EXPECT_NE(cli.error().find(error), std::string::npos) << cli.error();
        if (args.starts_with("--json")) {
            EXPECT_TRUE(cli.output().starts_with("{\"event\":\"error\"")) << cli.output();
        }
    }
    std::filesystem::remove_all(root);
}

} // namespace
