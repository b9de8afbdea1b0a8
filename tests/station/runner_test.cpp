// The station runner in-process: virtual units on virtual links plugged into and taken out of
// a temporary sysfs tree as a script says, on a clock the script steps; the report reads the
// runs' records, and its figures must be the runner's counters.
#include "UsbTree.h"
#include "station/Report.h"
#include "station/Runner.h"
#include "station/ThreadLauncher.h"
#include "virtual_link.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace std::chrono_literals;

namespace {

// The sysfs and /dev tree of the process: the station watches it, and each
// run's record takes its adapter from it.
const std::filesystem::path kRoot = [] {
    const auto root = usbtree::tempRoot();
    setenv("ZK_SYS_ROOT", (root / "sys").c_str(), 1);
    setenv("ZK_DEV_ROOT", (root / "dev").c_str(), 1);
    return root;
}();

std::vector<std::string> split(const std::string& text, char by) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in >> std::ws, part, by);) {
        parts.push_back(part);
    }
    return parts;
}

// A unit's line. A held one stands still from its third block until the
// unit's node is gone; a dying one throws at the open.
struct UnitLink : sim::UnitLink {
    const std::string held;
    const bool dies;
    UnitLink(bool rx, const sim::Faults& faults, std::string node, bool dying)
        : sim::UnitLink(rx ? sim::Target::Receiver : sim::Target::Transmitter, faults),
          held(std::move(node)), dies(dying) {}
    int32_t open(const std::string& path, uint32_t speed) override {
        return dies ? throw std::runtime_error("out of memory") : HeldLink::open(path, speed);
    }
    uint8_t readByte() override { // the transfer's answers
        while (!held.empty() && bytesWritten() >= 3000 && std::filesystem::exists(held)) {
            std::this_thread::sleep_for(1ms);
        }
        return HeldLink::readByte();
    }
};

struct RunnerCase {
    const char* name;
    const char* units; // "SERIAL[:VENDOR] [hold|dies|OPTION...]" of each, separated by ','
    const char* file;  // the image's name: .binrx for the receiver
    // Steps separated by ';': start (the first look at the sockets), plug or
    // unplug SOCKET UNIT (an index into units), until SOCKET TEXT (its row's
    // state begins so), enter, eof (of the input), stop, wait SECONDS.
    const char* script;
    const char* outcomes; // of the records with their attempts, operators and sockets, sorted
    const char* footer;
    // Lines of the figures for Prometheus at the end, separated by '|'; or
    // '!' and the warning, given once, when the file's folder is missing.
    const char* metrics;
};

void PrintTo(const RunnerCase& c, std::ostream* os) {
    *os << c.name;
}

class Runner : public testing::TestWithParam<RunnerCase>, public station::RunnerView {
public:
    void warning(const std::string& text) override { warnings.push_back(text); }
    std::vector<std::string> warnings;
};

TEST_P(Runner, RowsCountersAndRecords) {
    const RunnerCase& c = GetParam();
    const std::string records = testing::TempDir() + "runner_" + c.name + ".jsonl";
    std::filesystem::remove(records);
    std::filesystem::remove_all(kRoot);
    std::filesystem::create_directories(kRoot / "sys/bus/usb/devices/1-1"); // the hub
    std::filesystem::create_directories(kRoot / "dev");
    const bool rx = std::string(c.file).ends_with(".binrx");
    const std::vector<std::string> units = split(c.units, ',');
    station::ThreadLauncher launcher(
        [&](const std::string& port) {
            std::vector<std::string> options =
                split(units.at(static_cast<size_t>(port.back() - '0')), ' ');
            const bool hold = std::erase(options, "hold") > 0;
            const bool dies = std::erase(options, "dies") > 0;
            std::string error;
            const auto parsed = sim::parseOptions({options.begin() + 1, options.end()}, error);
            return std::make_unique<UnitLink>(rx, parsed.value().faults, hold ? port : "", dies);
        },
        {"runner_test", "1", records, {}});
    const auto image = std::make_shared<std::vector<uint8_t>>(5000, uint8_t{0x5A});
    const bool unwritable = *c.metrics == '!';
    const auto folder =
        std::filesystem::path(testing::TempDir()) / (std::string("figures_") + c.name);
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const auto metrics = folder / (unwritable ? "missing/station.prom" : "station.prom");
    const station::RunnerSettings settings{
        {},      false, {"", image, c.file, !rx, {{"operator", "ann"}}, 0},
        records, false, metrics.string(),
        "9.1"};
    station::Clock::time_point now{};
    const auto watch = station::systemPortWatch();
    station::Runner runner(settings, *watch, launcher, *this, [&] { return now; });
    const auto settle = [&](const std::function<bool()>& done) { // within some 20 s
        for (int waits = 0; !done() && waits < 1000; ++waits) {
            launcher.wait(20ms);
            runner.deliver();
        }
        return done();
    };
    for (const std::string& step : split(c.script, ';')) {
        SCOPED_TRACE(step);
        const std::vector<std::string> words = split(step, ' ');
        const std::string tty = "ttyUSB" + (words.size() > 2 ? words[2] : "");
        if (words[0] == "plug") {
            const std::vector<std::string> unit = split(units.at(std::stoul(words[2])), ' ');
            const std::vector<std::string> serial = split(unit[0] + ":0403", ':');
            usbtree::plug(kRoot / "sys", tty, words[1],
                          {{"idVendor", serial[1]}, {"idProduct", "6001"}, {"serial", serial[0]}});
            std::ofstream(kRoot / "dev" / tty).close();
        } else if (words[0] == "unplug") {
            usbtree::unplug(kRoot / "sys", tty, words[1]);
            runner.scan(); // then its held line lets go
            std::filesystem::remove(kRoot / "dev" / tty);
        } else if (words[0] == "until") {
            const auto row = [&, &rows = runner.rows()] {
                const auto r = std::find_if(rows.begin(), rows.end(),
                                            [&](const auto& at) { return at.socket == words[1]; });
                return r == rows.end() ? std::string() : station::stateText(*r);
            };
            const std::string text = step.substr(step.find(words[1]) + words[1].size() + 1);
            EXPECT_TRUE(settle([&] { return row().starts_with(text); })) << row();
        } else if (words[0] == "enter") {
            runner.answer();
        } else if (words[0] == "eof") {
            runner.inputEnded();
        } else if (words[0] == "stop") {
            runner.stop();
        } else if (words[0] == "wait") {
            now += std::chrono::seconds(std::stoi(words[1]));
        }
        if (words[0] == "start" || words[0] == "plug") {
            runner.scan();
        }
    }
    ASSERT_TRUE(settle([&] { return runner.done(); }));
    EXPECT_EQ(station::footerLine(runner.totals()), c.footer);
    std::vector<std::string> outcomes;
    std::ifstream in(records);
    for (std::string line; std::getline(in, line);) {
        const Json record = Json::parse(line);
        outcomes.push_back(record["outcome"].get<std::string>() + " " + record["attempt"].dump() +
                           " " + record["operator"].get<std::string>() + " " +
                           record["socket"].get<std::string>());
    }
    std::sort(outcomes.begin(), outcomes.end());
    EXPECT_EQ(outcomes, split(c.outcomes, ','));
    // The counters are the report's on the same records, but for a run that
    // died before it could write one.
    std::vector<std::string> problems;
    const station::Report report = station::readReport({records}, {}, problems);
    const station::Totals totals = runner.totals();
    // The figures' file, replaced whole each time, and nothing left beside it.
    if (unwritable) {
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_NE(warnings[0].find(metrics.string() + ": " + (c.metrics + 1)), std::string::npos);
    } else {
        std::ifstream file(metrics);
        const std::string text{std::istreambuf_iterator<char>(file), {}};
        for (const std::string& line :
             split(std::string(c.metrics) + "|zkflash_station_info{version=\"9.1\",image=\"" +
                       c.file + "\",sha256=\"",
                   '|')) {
            EXPECT_NE(text.find("\n" + line), std::string::npos) << line << "\n" << text;
        }
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
    }
    EXPECT_TRUE(std::string(c.units).find("dies") != std::string::npos ||
                std::tie(report.unitsPassed, report.unitsFailed, report.firstPassYield) ==
                    std::tie(totals.passed, totals.failed, totals.firstPassYield));
}

INSTANTIATE_TEST_SUITE_P(
    Sockets, Runner,
    testing::Values(
        // One unit passes at once, one at its second attempt, one fails
        // twice; one sits there before the start, one is no unit's adapter.
        RunnerCase{
            "UnitsNotRuns", "S1,S2 --wrong-mode,S2,S3 --wrong-mode,S3 --wrong-mode,S4,S5:10c4",
            "fw.bin",
            "plug 1-1.5 5; plug 1-1.2 0; plug 1-1.3 1; plug 1-1.4 3; plug 1-1.6 6;"
            "until 1-1.5 left alone; until 1-1.6 ignored; until 1-1.2 passed in;"
            "until 1-1.3 failed: wrong mode - press FW button AFTER power up;"
            "until 1-1.4 failed: wrong mode; unplug 1-1.3 1; unplug 1-1.4 3;"
            "until 1-1.4 unit removed after: failed: wrong mode; wait 30;"
            "plug 1-1.3 2; plug 1-1.4 4; until 1-1.3 passed in; stop",
            "success 1 ann 1-1.2,success 2 ann 1-1.3,wrong mode 1 ann 1-1.3,wrong mode 1 ann 1-1.4,"
            "wrong mode 2 ann 1-1.4",
            "passed 2  failed 1  in progress 0  units/hour 360.0  first-pass yield 33.3 %",
            "zkflash_station_units_total{socket=\"1-1.3\",outcome=\"failed\"} 1|"
            "zkflash_station_units_total{socket=\"1-1.3\",outcome=\"passed\"} 1|"
            "zkflash_station_units_total{socket=\"1-1.4\",outcome=\"failed\"} 2|"
            "zkflash_station_failures_total{cause=\"wrong_mode\"} 3|"
            "zkflash_station_units_first_attempt_total 3|zkflash_station_units_first_pass_total 1|"
            "zkflash_station_flash_duration_seconds_count 2|zkflash_station_units_in_progress 0"},
        // A unit taken out mid-flash, while the station stops, ends its run
        // at once; one whose line failed keeps that beside its removal; one
        // unit's run dies.
        RunnerCase{"RemovedMidFlashAfterItFailedAndDied", "S1 hold,S2 --hangup-at 2,S3,S4 dies",
                   "fw.bin",
                   "start; plug 1-1.2 0; plug 1-1.3 1; plug 1-1.5 3;"
                   "until 1-1.5 failed: the run stopped: out of memory;"
                   "until 1-1.3 failed: Write Error - Input/output; until 1-1.2 flashing; stop;"
                   "plug 1-1.4 2; until 1-1.4 waiting for a unit; unplug 1-1.3 1;"
                   "until 1-1.3 unit removed after: failed: Write Error; unplug 1-1.2 0;"
                   "until 1-1.2 unit removed mid-flash",
                   "cancelled 1 ann 1-1.2,send error 1 ann 1-1.3",
                   "passed 0  failed 2  in progress 0  units/hour 0.0  first-pass yield 0.0 %",
                   "zkflash_station_units_total{socket=\"1-1.2\",outcome=\"cancelled\"} 1|"
                   "zkflash_station_failures_total{cause=\"loader_died\"} 1|"
                   "zkflash_station_failures_total{cause=\"send_error\"} 1|"
                   "zkflash_station_units_first_attempt_total 2"},
        // Enter answers the receiver waiting; with the input at its end the
        // next one is cancelled.
        RunnerCase{"ReceiverPrompts", "R1,R2", "fw.binrx",
                   "start; plug 1-1.2 0; until 1-1.2 waiting for the operator; enter;"
                   "until 1-1.2 passed in; plug 1-1.3 1; until 1-1.3 waiting for the operator; eof;"
                   "until 1-1.3 failed: cancelled; stop",
                   "cancelled 1 ann 1-1.3,success 1 ann 1-1.2",
                   "passed 1  failed 0  in progress 0  units/hour 0.0  first-pass yield 100.0 %",
                   "!No such file or directory"}),
    [](const auto& param) { return std::string(param.param.name); });

// Record lines of other versions, with fields of other types, count for what
// they say rather than stopping the station at its start.
TEST(Attempts, CountedFromLinesOfOtherVersions) {
    const std::string path = testing::TempDir() + "attempts.jsonl";
    std::ofstream(path) << R"({"adapter_serial":"S1","outcome":7}
{"adapter_serial":5,"outcome":"success"}
{"adapter_serial":"S1","outcome":"cancelled"}
)";
    station::Attempts attempts(path);
    station::SlotRow row;
    for (const char* serial : {"S1", "5"}) {
        row.serial = serial;
        EXPECT_EQ(attempts.fieldsForNextRun(row)["attempt"], 2) << serial;
    }
}

// A failure read back from a loader's record is shown escaped.
TEST(SlotRows, FailureOfARecordInAFewWordsIsEscaped) {
    EXPECT_EQ(station::shortReason(FlashOutcome::SerialFailure,
                                   SerialFailure{"Write Error", 5, "I/O\x7f\x1b[2J"}),
              "Write Error - I/O\\x7f\\x1b[2J");
}

} // namespace
