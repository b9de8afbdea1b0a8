// Whole runs of the library against the virtual unit on a virtual line: the
// sequence's bytes and waits, the events a shell renders, the result and the
// record, each run in virtual time.
#include "flash/FlashRecord.h"
#include "flash/FlashRun.h"
#include "serial/port_system.h"
#include "virtual_link.h"
#include "ymodem/Ymodem.h"

#include <gtest/gtest.h>

#include <cerrno>

#include <fstream>
#include <iterator>
#include <sstream>

namespace {

using sim::kMillisecond;

// Keeps what the run said: log lines as they are, the others as "<kind>: text"
// lines; answers the prompt once `answerAfter` busy polls have passed, and
// cancels from the `cancelAt`-th cancel poll on.
class Transcript : public RunEvents {
public:
    explicit Transcript(const sim::VirtualLink& clock) : clock_(clock) {}
    void event(const RunEvent& e) override {
        switch (e.kind) {
        case RunEvent::Kind::Log:
            said += e.text + "\n";
            started = e.text == "Starting Application..." ? clock_.time() : started;
            break;
        case RunEvent::Kind::Alert:
        case RunEvent::Kind::Prompt:
        case RunEvent::Kind::Diagnostic:
            said += std::string(e.kind == RunEvent::Kind::Alert    ? "alert: "
                                : e.kind == RunEvent::Kind::Prompt ? "prompt: "
                                                                   : "diagnostic: ") +
                    e.text + "\n";
            pending = e.kind == RunEvent::Kind::Prompt;
            break;
        case RunEvent::Kind::Progress:
            progress.emplace_back(clock_.time(), e.progress);
            break;
        case RunEvent::Kind::Record:
            records.push_back(e.record);
            break;
        case RunEvent::Kind::Warning:
        case RunEvent::Kind::Finished:
            kinds += eventJson(e).value("event", "") + " ";
            break;
        }
        // Every event survives the one encoding that --json and the
        // several-unit parent share.
        const auto back = eventFromJson(eventJson(e));
        roundTrips = roundTrips && back && eventJson(*back) == eventJson(e);
        // Numbers as a person writes them: 6.3, never 6.300000000000001.
        const std::string line = eventJson(e).dump();
        roundTrips =
            roundTrips && line.find("0000000") == std::string::npos &&
            line.find("9999999") == std::string::npos &&
            (e.kind != RunEvent::Kind::Diagnostic || line.find("\\n") == std::string::npos);
    }
    bool cancelRequested() override { return cancelAt > 0 && ++cancelPolls >= cancelAt; }
    bool busy() override { return pending && ++busyPolls < answerAfter; }

    std::string said, kinds;
    std::vector<std::pair<sim::Micros, TransferProgress>> progress;
    sim::Micros started = -1; // when the application was started
    std::vector<Json> records;
    bool pending = false, roundTrips = true;
    int cancelPolls = 0, cancelAt = -1, busyPolls = 0, answerAfter = 0;

private:
    const sim::VirtualLink& clock_;
};

FirmwareImage image(size_t size) {
    auto bytes = std::make_shared<std::vector<uint8_t>>(size);
    for (size_t i = 0; i < size; ++i) {
        (*bytes)[i] = static_cast<uint8_t>(i * 7 + i / 253);
    }
    return bytes;
}

struct RunCase {
    const char* name;
    bool transmitter;
    sim::Faults faults;
    int size = 5000; // -1: no image
    int cancelAt = -1;
    FlashOutcome outcome = FlashOutcome::Success;
    const char* said = ""; // the run's last lines, alerts and diagnostics included
    const char* port = "line";
    uint32_t openRetryMs = 0;
    bool record = false; // the record goes where it cannot be written; else nowhere
};

sim::Faults faults(const std::string& options) {
    std::istringstream in(options);
    std::vector<std::string> args{std::istream_iterator<std::string>(in), {}};
    std::string error;
    const auto parsed = sim::parseOptions(args, error);
    EXPECT_TRUE(parsed) << error;
    return parsed ? parsed->faults : sim::Faults{};
}

const RunCase kRuns[] = {
    {"Transmitter",
     true,
     {},
     5000,
     -1,
     FlashOutcome::Success,
     "Bootloader Started.\nSending Firmware File...\nStarting Application...\n"},
    {"Receiver",
     false,
     {},
     196608,
     -1,
     FlashOutcome::Success,
     "prompt: Set Telvo Controller Radio Mode to Tether/RX FW\n"
     "Waiting For Bootloader Start...\nBootloader Started.\nSending Firmware File...\n"
     "Starting Application...\n"},
    {"WrongMode", true, faults("--wrong-mode"), 100, -1, FlashOutcome::WrongMode,
     "Waiting For Bootloader Start...\nalert: Halvo is not in the correct mode.  Press FW "
     "button AFTER power up (within 2 seconds).\n"},
    {"WrongModeReceiver", false, faults("--wrong-mode"), 100, -1, FlashOutcome::WrongMode,
     "Waiting For Bootloader Start...\nalert: Morra is not in the correct mode.  Press FW "
     "button AFTER power up (within 2 seconds).\n"},
    {"NoBannerTransmitter", true, faults("--silent"), 100, -1, FlashOutcome::NoBanner,
     "Re-connect USB to reboot Controller and try again.\nBootloader Didn't Respond!\n"},
    {"NoBannerReceiver", false, faults("--silent"), 100, -1, FlashOutcome::NoBanner,
     "Bootloader Didn't Respond!\n  NOTE: Press FW button after power up and hold for 5 "
     "seconds.\n"},
    {"CancelledInTheWait", true, faults("--silent"), 100, 3, FlashOutcome::Cancelled,
     "Waiting For Bootloader Start...\nProcess Canceled.\n"},
    {"CancelledInTheTransfer",
     true,
     {},
     40000,
     10,
     FlashOutcome::Cancelled,
     "Sending Firmware File...\nProcess Canceled.\n"},
    {"CancelledBeforeTheStart", true, {}, 100, 1, FlashOutcome::Cancelled, "Process Canceled.\n"},
    {"CancelledAtThePrompt",
     false,
     {},
     100,
     2,
     FlashOutcome::Cancelled,
     "prompt: Set Telvo Controller Radio Mode to Tether/RX FW\nProcess Canceled.\n"},
    {"NakForEver", true, faults("--nak-block 2:100"), 5000, -1, FlashOutcome::SendError,
     "Sending Firmware File...\nFile Send Error!\n"},
    {"HangUpInTheTransfer", true, faults("--hangup-at 2"), 5000, -1, FlashOutcome::SendError,
     "File Send Error!\nalert: Write Error - {EIO}.\n"},
    {"HangUpBeforeTheStart", true, faults("--hangup-at-end"), 5000, -1, FlashOutcome::SerialFailure,
     "Sending Firmware File...\nalert: Write Error - {EIO}.\n"},
    {"TooLarge", true, {}, 190337, -1, FlashOutcome::TooLarge, "File Too Large for Memory!\n"},
    {"NoImage",
     true,
     {},
     -1,
     -1,
     FlashOutcome::SendError,
     "alert: Please select a file to transfer.\n"},
    {"PortRefused",
     true,
     {},
     100,
     -1,
     FlashOutcome::SerialFailure,
     "diagnostic: ZKSerial error [Error opening serial port gone - {ENOENT}.\n]\n"
     "alert: Error opening serial port gone - {ENOENT}.\n"
     "see --list (2)\n",
     "gone"},
    // Right after a plug: the port is busy for half a second.
    {"BusyAtFirst",
     true,
     {},
     100,
     -1,
     FlashOutcome::Success,
     "Starting Application...\n",
     "busy",
     2000},
    // A record that cannot be written is a warning, and the run stands.
    {"RecordNotWritten", true, {}, 100, -1, FlashOutcome::Success, "", "line", 0, true},
};

// An open refused for a reason that may pass: a busy device on Linux, a
// sharing violation (32) on Windows.
int passingRefusal() {
    for (const int number : {EBUSY, 32}) {
        if (portsys::openMayPass(number)) {
            return number;
        }
    }
    return 0;
}

// The rows' "{EIO}" and "{ENOENT}" as the system words them: "Input/output
// error(5)" on Linux.
std::string withSystemTexts(std::string text) {
    for (const auto& [name, number] : {std::pair{"{EIO}", EIO}, std::pair{"{ENOENT}", ENOENT}}) {
        for (size_t at; (at = text.find(name)) != std::string::npos;) {
            text.replace(at, std::string(name).size(),
                         portsys::errorText(number) + "(" + std::to_string(number) + ")");
        }
    }
    return text;
}

void PrintTo(const RunCase& c, std::ostream* os) {
    *os << c.name;
}

class FlashRuns : public testing::TestWithParam<RunCase> {};

TEST_P(FlashRuns, EventsResultAndRecord) {
    const RunCase& c = GetParam();
    sim::VirtualLink link;
    link.refuse("gone");
    link.refuse("busy", passingRefusal(), 5);
    sim::UnitPeer unit(c.transmitter ? sim::Target::Transmitter : sim::Target::Receiver, c.faults,
                       link);
    Transcript events(link);
    events.cancelAt = c.cancelAt;
    events.answerAfter = 30; // the operator takes three seconds
    const FirmwareImage data = c.size < 0 ? nullptr : image(static_cast<size_t>(c.size));
    FlashJob job{c.port, data, "fw.bin", c.transmitter, {{"operator", "ann"}}, c.openRetryMs};
    // The shell's hint for the port that is gone; none for the others.
    const auto hint = [](const std::string& port, const SerialFailure& failure) {
        return port == "gone" ? "see --list (" + std::to_string(failure.number) + ")" : "";
    };
    // A record that cannot be written: its folder is a file.
    const std::string blocked = testing::TempDir() + "a-file";
    std::ofstream(blocked).close();
    const auto path = c.record ? std::optional(blocked + "/flashes.jsonl") : std::nullopt;
    const FlashResult result = runFlash(job, link, events, {"zk-test", "1.0", path, hint});

    EXPECT_EQ(result.outcome, c.outcome);
    EXPECT_TRUE(events.said.ends_with(withSystemTexts(c.said))) << events.said;
    EXPECT_EQ(events.kinds, c.record ? "warning finished " : "finished ");
    EXPECT_TRUE(events.roundTrips);
    EXPECT_FALSE(link.hasError()) << "a failure is reported once, then forgotten";
    ASSERT_EQ(events.records.size(), 1u);
    const Json& record = events.records[0];
    EXPECT_EQ(record["outcome"], outcomeName(c.outcome));
    EXPECT_EQ(record["operator"], "ann");
    EXPECT_EQ(record["serial_error"].is_null(), !result.failure);
    EXPECT_EQ(recordFailure(record), result.failure);

    const bool success = c.outcome == FlashOutcome::Success;
    EXPECT_EQ(link.eventsNamed("start-app").size(), success ? 1u : 0u);
    if (c.outcome == FlashOutcome::NoBanner) {
        EXPECT_EQ(link.eventsNamed("boot").size(), 15u);
    }
    if (c.outcome == FlashOutcome::TooLarge || c.size < 0 || c.cancelAt == 1) {
        EXPECT_TRUE(link.events().empty()) << "the unit is not touched";
    }
    if (c.outcome == FlashOutcome::Cancelled && !c.transmitter) {
        EXPECT_TRUE(link.eventsNamed("at ").empty()) << "radio commands after a cancel";
    }
    if (!success) {
        return;
    }
    ASSERT_EQ(link.saved().size(), 1u);
    EXPECT_EQ(link.saved()[0], *data);
    const size_t size = data->size();
    EXPECT_EQ(record["wire_bytes"],
              1029 + size / 1024 * 1029 + (size % 1024 + 127) / 128 * 133 + 135);
    EXPECT_EQ(link.speed(), c.transmitter ? 115200u : 109000u);

    // The reset: DTR raised half a second after the open and held for half a
    // second (the transmitter), or pulsed twice; the receiver's radio
    // commands wait for the operator (the module itself holds them to its
    // guard time).
    std::string levels;
    std::vector<sim::Micros> at;
    for (const auto& e : link.events()) {
        if (e.text.starts_with("dtr ") || e.text.starts_with("at ") || e.text == "open") {
            levels += e.text.back();
            at.push_back(e.at);
        }
    }
    if (c.transmitter) {
        EXPECT_EQ(levels, "n10");
        EXPECT_EQ(at[1] - at[0], 500 * kMillisecond);
        EXPECT_EQ(at[2] - at[1], 500 * kMillisecond);
    } else {
        EXPECT_EQ(levels, "n1010+EN"); // +++, ATDLFFFE, ATCN
        EXPECT_GE(at[5] - at[4], 3000 * kMillisecond) << "radio commands before the answer";
    }

    // Progress before every block, 100 of 100 at the end; once a tenth of
    // the image is in, the time left is within a tenth of the truth.
    ASSERT_EQ(events.progress.size(), ymodem::blockCount(size) + 1);
    EXPECT_EQ(events.progress.back().second.value, 100);
    for (const auto& [when, p] : events.progress) {
        if (p.value * 10 >= p.max && p.max != 100) {
            const double truth = static_cast<double>(events.started - when) / sim::kSecond;
            EXPECT_NEAR(p.secondsLeft, truth, 0.1 * truth) << p.value << " of " << p.max;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Library, FlashRuns, testing::ValuesIn(kRuns),
                         [](const testing::TestParamInfo<RunCase>& param) {
                             return std::string(param.param.name);
                         });

// Lines a loader of another version, or a broken one, may print: a field of
// the wrong type, or a count that is no integer or out of range, reads as its
// default.
TEST(EventFromJson, OddLinesReadAsDefaults) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"event":"finished","outcome":7,"image_bytes":49e99})",
         R"({"event":"finished","outcome":"send error","transfer_seconds":0.0,"image_bytes":0})"},
        {R"({"event":"progress","value":1e10,"max":-5000000000,"rate":"fast"})",
         R"({"event":"progress","value":0,"max":100,"percent":0.0,"rate":0.0,"seconds_left":null})"},
    };
    for (const auto& [line, read] : cases) {
        const auto event = eventFromJson(Json::parse(line));
        EXPECT_EQ(event ? eventJson(*event).dump() : "", read) << line;
    }
}

} // namespace
