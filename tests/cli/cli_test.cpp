// The command-line loader's pieces that need no line: arguments, exit
// statuses, target choice and the console sink.
#include "cli/cli.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

struct ArgsCase {
    std::vector<std::string> args;
    bool ok;
    cli::Options::Mode mode;
    std::vector<std::string> ports;
    std::string firmware;
    bool yes;
    std::string flags = ""; // --all, --json, --record and --no-record as set
};

TEST(CliArgs, ParsesEachForm) {
    using Mode = cli::Options::Mode;
    const std::vector<ArgsCase> cases = {
        {{"fw.bin"}, true, Mode::Flash, {}, "fw.bin", false},
        {{"--port", "/dev/ttyUSB3", "--yes", "a.binrx"},
         true,
         Mode::Flash,
         {"/dev/ttyUSB3"},
         "a.binrx",
         true},
        {{"--port=/dev/pts/4", "-q", "x"}, true, Mode::Flash, {"/dev/pts/4"}, "x", false},
        {{"--", "--odd-name.bin"}, true, Mode::Flash, {}, "--odd-name.bin", false},
        {{"--list"}, true, Mode::List, {}, "", false},
        {{"--help", "whatever"}, true, Mode::Help, {}, "", false},
        {{"--version"}, true, Mode::Version, {}, "", false},
        {{}, false, Mode::Flash, {}, "", false},
        {{"--port"}, false, Mode::Flash, {}, "", false},
        {{"--port="}, false, Mode::Flash, {}, "", false},
        {{"a.bin", "b.bin"}, false, Mode::Flash, {}, "", false},
        {{"--list", "a.bin"}, false, Mode::Flash, {}, "", false},
        {{"--bogus", "a.bin"}, false, Mode::Flash, {}, "", false},
        {{"--port", "a", "--port=b", "--json", "--record", "r.jsonl", "fw"},
         true,
         Mode::Flash,
         {"a", "b"},
         "fw",
         false,
         "json record=r.jsonl"},
        {{"--all", "--no-record", "fw"}, true, Mode::Flash, {}, "fw", false, "all no-record"},
        {{"--all", "--port", "a", "fw"}, false, Mode::Flash, {}, "", false},
        {{"--port", "a", "--port", "a", "fw"}, false, Mode::Flash, {}, "", false},
        {{"--record=r", "--no-record", "fw"}, false, Mode::Flash, {}, "", false},
        {{"fw", "--record"}, false, Mode::Flash, {}, "", false},
    };
    for (const auto& c : cases) {
        std::string error;
        const auto options = cli::parseArgs(c.args, error);
        SCOPED_TRACE(testing::PrintToString(c.args));
        ASSERT_EQ(options.has_value(), c.ok) << error;
        if (!c.ok) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        EXPECT_EQ(options->mode, c.mode);
        EXPECT_EQ(options->ports, c.ports);
        EXPECT_EQ(options->firmware, c.firmware);
        EXPECT_EQ(options->yes, c.yes);
        std::string flags = std::string(options->all ? "all " : "") +
                            (options->json ? "json " : "") +
                            (options->record.empty() ? "" : "record=" + options->record + " ") +
                            (options->noRecord ? "no-record " : "");
        EXPECT_EQ(flags, c.flags.empty() ? "" : c.flags + " ");
    }
}

TEST(CliTransferSummary, GivesBytesSecondsAndRate) {
    EXPECT_EQ(cli::transferSummary(120000, 10.9), "Sent 120000 bytes in 10.9 s, 11.0 kB/s");
    EXPECT_EQ(cli::transferSummary(128, 0.01), "Sent 128 bytes in 0.0 s"); // too quick to rate
}

// A console sink writing into memory, answered through a pipe.
class ConsoleSinkTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(pipe(input_), 0);
        out_ = open_memstream(&outText_, &outSize_);
        err_ = open_memstream(&errText_, &errSize_);
    }
    void TearDown() override {
        close(input_[0]);
        if (input_[1] >= 0) {
            close(input_[1]);
        }
        std::fclose(out_);
        std::fclose(err_);
        free(outText_);
        free(errText_);
    }
    std::string out() {
        std::fflush(out_);
        return {outText_, outSize_};
    }
    std::string err() {
        std::fflush(err_);
        return {errText_, errSize_};
    }

    int input_[2] = {-1, -1};
    std::FILE* out_ = nullptr;
    std::FILE* err_ = nullptr;
    char* outText_ = nullptr;
    size_t outSize_ = 0;
    char* errText_ = nullptr;
    size_t errSize_ = 0;
};

TEST_F(ConsoleSinkTest, PromptStaysBusyUntilEnter) {
    cli::ConsoleSink sink(false, false, input_[0], out_, err_);
    sink.showAlertWithMessage("Set Telvo Controller Radio Mode to Tether/RX FW");
    EXPECT_TRUE(sink.busy());
    ASSERT_EQ(write(input_[1], "x", 1), 1);
    EXPECT_TRUE(sink.busy()) << "a keystroke without Enter is no answer";
    ASSERT_EQ(write(input_[1], "\n", 1), 1);
    EXPECT_FALSE(sink.busy());
    // The end of the input answers this prompt and every later one.
    sink.showAlertWithMessage("again");
    close(input_[1]);
    input_[1] = -1;
    EXPECT_FALSE(sink.busy());
    sink.showAlertWithMessage("and again");
    EXPECT_FALSE(sink.busy());
}

TEST_F(ConsoleSinkTest, CancelReleasesThePrompt) {
    cli::ConsoleSink sink(false, false, input_[0], out_, err_);
    sink.showAlertWithMessage("Set Telvo Controller Radio Mode to Tether/RX FW");
    EXPECT_TRUE(sink.busy());
    sink.requestCancel();
    EXPECT_TRUE(sink.cancelRequest());
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
