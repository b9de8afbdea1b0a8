// The command-line loader's pieces that need no line: arguments, exit
// statuses, target choice and the console view.
#include "cli/cli.h"
#include "cli/doctor.h"
#include "serial/ZKSerial.h"

#include <gtest/gtest.h>

#include <csignal>

#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <unistd.h>

namespace {

// A command line's options as one text ("flash port=a fw=x.bin yes json");
// empty for a usage error, which must give its reason.
std::string parsed(const std::string& line) {
    std::istringstream in(line);
    std::string error;
    const auto o = cli::parseArgs({std::istream_iterator<std::string>(in), {}}, error);
    if (!o) {
        return error.empty() ? "refused without a reason" : "";
    }
    const char* const modes[] = {"flash", "list", "help", "version", "doctor", "report", "station"};
    std::string text = modes[static_cast<int>(o->mode)];
    for (const auto& port : o->ports) {
        text += " port=" + port;
    }
    text += o->firmware.empty() ? "" : " fw=" + o->firmware;
    text += std::string(o->yes ? " yes" : "") + (o->all ? " all" : "") + (o->json ? " json" : "");
    text += (o->record.empty() ? "" : " record=" + o->record) + (o->noRecord ? " no-record" : "");
    for (const auto& file : o->records) {
        text += " records=" + file;
    }
    text += (o->since.empty() ? "" : " since=" + o->since) +
            (o->workOrder.empty() ? "" : " wo=" + o->workOrder) + (o->csv ? " csv" : "") +
            (o->unit.empty() ? "" : " unit=" + o->unit) +
            (o->metrics.empty() ? "" : " metrics=" + o->metrics);
    return text;
}

TEST(CliArgs, ParsesEachForm) {
    const std::pair<const char*, const char*> cases[] = {
        {"fw.bin", "flash fw=fw.bin"},
        {"--port /dev/ttyUSB3 --yes a.binrx", "flash port=/dev/ttyUSB3 fw=a.binrx yes"},
        {"--port=/dev/pts/4 -q x", "flash port=/dev/pts/4 fw=x"},
        {"-- --odd-name.bin", "flash fw=--odd-name.bin"},
        {"--list", "list"},
        {"--doctor --port /dev/ttyUSB0 --port=b --json", "doctor port=/dev/ttyUSB0 port=b json"},
        {"--doctor", "doctor"},
        {"--help whatever", "help"},
        {"--version", "version"},
        {"--port a --port=b --json --record r.jsonl fw",
         "flash port=a port=b fw=fw json record=r.jsonl"},
        {"--all --no-record fw", "flash fw=fw all no-record"},
        {"", ""},
        {"--port", ""},
        {"--port= fw", ""},
        {"a.bin b.bin", ""},
        {"--list a.bin", ""},
        {"--doctor a.bin", ""},
        {"--bogus a.bin", ""},
        {"--all --port a fw", ""},
        {"--port a --port a fw", ""},
        {"--record=r --no-record fw", ""},
        {"fw --record", ""},
        {"--report", "report"},
        {"a.jsonl --report --since=2026-12-07T14:00 --work-order W7 --json b.jsonl -- -c",
         "report json records=a.jsonl records=b.jsonl records=-c since=2026-12-07T14:00 wo=W7"},
        {"--report --since 2026-13-01", ""},
        {"--report --port a", ""},
        {"--since 2026-12-07 fw", ""},
        {"--report --csv --unit=FT4K2P9Q a.jsonl.2.gz",
         "report records=a.jsonl.2.gz csv unit=FT4K2P9Q"},
        {"--report --csv --json", ""},
        {"--report --unit", ""},
        {"--unit FT4K2P9Q fw", ""},
        {"--csv fw", ""},
        {"--station --metrics=/var/lib/node/zkflash.prom fw",
         "station fw=fw metrics=/var/lib/node/zkflash.prom"},
        {"--metrics m.prom fw", ""},
        {"--report --metrics m.prom", ""},
    };
    for (const auto& [line, options] : cases) {
        EXPECT_EQ(parsed(line), options) << line;
    }
}

// The setup check on this machine: one JSON object whose status matches the
// exit status.
TEST(CliDoctor, ReportsThisMachineAsOneJsonObject) {
    char* text = nullptr;
    size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    const int status = cli::runDoctor({}, true, out);
    std::fclose(out);
    const auto report = nlohmann::json::parse(std::string(text, size));
    free(text);
    ASSERT_FALSE(report.at("checks").empty());
    for (const auto& check : report["checks"]) {
        EXPECT_TRUE(check.at("id").is_string() && check.at("fix").is_string()) << check;
    }
    EXPECT_EQ(status, report.at("failures").get<int>() > 0 ? 1 : 0);
}

// --list's columns hold whatever a device reports, escaped.
TEST(CliList, ColumnsAreTheDevicesStringsEscaped) {
    SerialPortInfo info{"FTDI", "FT232R\tUSB", "A5\x1b[2J", "0403", "6001", "1-1.3"};
    EXPECT_EQ(cli::listLine("/dev/ttyUSB0", info),
              "/dev/ttyUSB0\tFTDI FT232R\\x09USB (A5\\x1b[2J) 0403:6001\t1-1.3\n");
}

// A bar of 10 cells for what a loader reports, whatever it reports.
TEST(CliProgressBar, StaysWithinItsCells) {
    const std::tuple<int32_t, int32_t, const char*> cases[] = {
        {1, 8, "[#         ]"}, {5, 0, "[##########]"}, {-5, 1, "[          ]"}};
    for (const auto& [value, max, bar] : cases) {
        EXPECT_EQ(cli::progressBarText(value, max, 10).substr(0, 12), bar) << value << "/" << max;
    }
}

TEST(CliTransferSummary, GivesBytesSecondsAndRate) {
    EXPECT_EQ(cli::transferSummary(120000, 10.9), "Sent 120000 bytes in 10.9 s, 11.0 kB/s");
    EXPECT_EQ(cli::transferSummary(128, 0.01), "Sent 128 bytes in 0.0 s"); // too quick to rate
}

// A console view writing into memory, answered through a pipe.
class ConsoleViewTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(pipe(input_), 0); }
    void TearDown() override {
        close(input_[0]);
        close(input_[1]);
        for (auto& s : streams_) {
            std::fclose(s.file);
            free(s.text);
        }
    }
    std::string text(int i) {
        std::fflush(streams_[i].file);
        return {streams_[i].text, streams_[i].size};
    }
    std::string out() { return text(0); }
    std::string err() { return text(1); }

    struct Stream {
        char* text = nullptr;
        size_t size = 0;
        std::FILE* file = open_memstream(&text, &size);
    } streams_[2];
    std::FILE* out_ = streams_[0].file;
    std::FILE* err_ = streams_[1].file;
    int input_[2] = {-1, -1};
};

RunEvent shown(RunEvent::Kind kind, const std::string& text) {
    return RunEvent(kind, text);
}

// The prompt waits for Enter and says so; a cancel releases it; input that
// ends first cancels the run, with what to do instead.
TEST_F(ConsoleViewTest, PromptStaysBusyUntilEnterOrCancel) {
    std::atomic<int> cancel{0};
    const cli::Options options;
    const RunEvent prompt = shown(RunEvent::Kind::Prompt, kRadioModePrompt);
    cli::ConsoleView view(options, false, input_[0], out_, err_, cancel);
    view.event(prompt);
    EXPECT_TRUE(view.busy());
    EXPECT_NE(err().find("Press Enter"), std::string::npos) << err();
    ASSERT_EQ(write(input_[1], "x", 1), 1);
    EXPECT_TRUE(view.busy()) << "a keystroke without Enter is no answer";
    ASSERT_EQ(write(input_[1], "\n", 1), 1);
    EXPECT_FALSE(view.busy());
    EXPECT_FALSE(view.cancelRequested());
    cli::ConsoleView other(options, false, input_[0], out_, err_, cancel);
    other.event(prompt);
    EXPECT_TRUE(other.busy());
    cancel = SIGINT;
    EXPECT_TRUE(other.cancelRequested());
    EXPECT_FALSE(other.busy());
    cancel = 0;
    view.event(shown(RunEvent::Kind::Alert, "an alert waits for nobody"));
    EXPECT_FALSE(view.busy());
    view.event(prompt);
    close(input_[1]);
    input_[1] = -1;
    EXPECT_FALSE(view.busy());
    EXPECT_TRUE(view.cancelRequested() && view.unanswered());
    EXPECT_NE(err().find("answer it with Enter, or pass --yes"), std::string::npos) << err();
}

// The bar shows the window's percentage and goes at the closing lines; the
// serial link's diagnostics only with --verbose; the summary after success.
TEST_F(ConsoleViewTest, BarDiagnosticsWarningsAndSummary) {
    std::atomic<int> cancel{0};
    for (const bool verbose : {false, true}) {
        cli::Options options;
        options.yes = true;
        options.verbose = verbose;
        cli::ConsoleView view(options, !verbose, input_[0], out_, err_, cancel);
        const std::string before = err();
        RunEvent progress(RunEvent::Kind::Progress);
        for (const auto& [value, max] : {std::pair(0, 1025), {1, 8}, {100, 100}}) {
            progress.progress.value = value;
            progress.progress.max = max;
            view.event(progress);
        }
        const std::string bar = err().substr(before.size());
        EXPECT_EQ(bar.empty(), verbose);
        EXPECT_TRUE(verbose || bar.find("] 12 %") != std::string::npos) << bar; // 12.5: to even
        EXPECT_TRUE(verbose || bar.ends_with("[" + std::string(40, '#') + "] 100 %")) << bar;
        view.log("Starting Application...");
        view.event(progress); // not drawn again below the closing lines
        view.event(shown(RunEvent::Kind::Diagnostic, "ZKSerial error [x\n]"));
        view.event(shown(RunEvent::Kind::Warning, "no record"));
        RunEvent finished(RunEvent::Kind::Finished);
        finished.result = {FlashOutcome::Success, std::nullopt, 10.9, 0, 120000, true, {}};
        view.event(finished);
        finished.result = {FlashOutcome::Cancelled, std::nullopt, 3.0, 5000, 120000, true, {}};
        view.event(finished);
        EXPECT_EQ(err().substr(before.size()),
                  bar + (verbose ? "ZKSerial error [x\n]\n" : "\r\033[K") +
                      "zkflash-cli: warning: no record\nSent 120000 bytes in 10.9 s, 11.0 kB/s\n"
                      "Stopped during the transfer: the unit has no application until it is "
                      "flashed again.\n");
    }
    EXPECT_EQ(out(), "Starting Application...\nStarting Application...\n");
}

} // namespace
