// The command-line loader's pieces that need no line: arguments, exit
// statuses, target choice and the console sink.
#include "cli/cli.h"
#include "cli/doctor.h"

#include <gtest/gtest.h>

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
    const char* const modes[] = {"flash", "list", "help", "version", "doctor"};
    std::string text = modes[static_cast<int>(o->mode)];
    for (const auto& port : o->ports) {
        text += " port=" + port;
    }
    text += o->firmware.empty() ? "" : " fw=" + o->firmware;
    text += std::string(o->yes ? " yes" : "") + (o->all ? " all" : "") + (o->json ? " json" : "");
    text += (o->record.empty() ? "" : " record=" + o->record) + (o->noRecord ? " no-record" : "");
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

TEST(CliTransferSummary, GivesBytesSecondsAndRate) {
    EXPECT_EQ(cli::transferSummary(120000, 10.9), "Sent 120000 bytes in 10.9 s, 11.0 kB/s");
    EXPECT_EQ(cli::transferSummary(128, 0.01), "Sent 128 bytes in 0.0 s"); // too quick to rate
}

// A console sink writing into memory, answered through a pipe.
class ConsoleSinkTest : public testing::Test {
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

// The prompt waits for Enter (the end of the input answers it and every later
// one); a cancel releases it.
TEST_F(ConsoleSinkTest, PromptStaysBusyUntilEnterOrCancel) {
    cli::ConsoleSink sink(false, false, input_[0], out_, err_);
    sink.showAlertWithMessage("Set Telvo Controller Radio Mode to Tether/RX FW");
    EXPECT_TRUE(sink.busy());
    ASSERT_EQ(write(input_[1], "x", 1), 1);
    EXPECT_TRUE(sink.busy()) << "a keystroke without Enter is no answer";
    ASSERT_EQ(write(input_[1], "\n", 1), 1);
    EXPECT_FALSE(sink.busy());
    cli::ConsoleSink other(false, false, input_[0], out_, err_);
    other.showAlertWithMessage("Set Telvo Controller Radio Mode to Tether/RX FW");
    EXPECT_TRUE(other.busy());
    other.requestCancel();
    EXPECT_TRUE(other.cancelRequest());
    EXPECT_FALSE(other.busy());
    sink.showAlertWithMessage("again");
    close(input_[1]);
    input_[1] = -1;
    EXPECT_FALSE(sink.busy());
    sink.showAlertWithMessage("and again");
    EXPECT_FALSE(sink.busy());
}

TEST_F(ConsoleSinkTest, ProgressBarShowsTheWindowsPercentageAndGoesAtTheClosingLines) {
    cli::ConsoleSink sink(true, true, input_[0], out_, err_);
    sink.setProgress(0, 1025);
    EXPECT_EQ(err(), "") << "no bar before the first block is acknowledged";
    sink.setProgress(1, 8);
    sink.setProgress(100, 100);
    const std::string bar = err();
    EXPECT_NE(bar.find("] 12 %"), std::string::npos) << bar; // 12.5 rounds to even
    EXPECT_TRUE(bar.ends_with("[" + std::string(40, '#') + "] 100 %")) << bar;
    // The closing lines clear the bar for good; it is not drawn below them.
    sink.log("Starting Application...", "\n");
    sink.setProgress(100, 100);
    sink.showAlertWithMessage("late");
    sink.finish();
    EXPECT_EQ(err(), bar + "\r\033[KZK Firmware Loader: late\n");
    EXPECT_EQ(out(), "Starting Application...\n");
}

} // namespace
