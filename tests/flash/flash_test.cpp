// The flash sequence against a scripted unit on a pseudo-terminal. A
// pseudo-terminal has no modem lines, so these runs also show how a DTR
// failure is carried to the end of the bring-up step.
#include "Pty.h"
#include "flash/StatusSink.h"
#include "flash/ZKFW.h"
#include "serial/ZKSerial.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

// A status sink that keeps what the run said (log lines as they are, alerts
// as "alert: <text>" lines) and lets the test raise cancel and busy.
class FakeSink : public StatusSink {
public:
    void log(const std::string& text, const std::string& cr) override { add(text + cr); }
    void showAlertWithMessage(const std::string& message,
                              const std::optional<std::string>&) override {
        add("alert: " + message + "\n");
    }
    void setProgress(int32_t, int32_t) override {}
    bool cancelRequest() override { return cancel.load(); }
    bool busy() override { return busyFlag.load(); }

    std::string said() const {
        std::lock_guard lock(mutex_);
        return said_;
    }

    std::atomic<bool> cancel{false};
    std::atomic<bool> busyFlag{false};

private:
    void add(const std::string& text) {
        std::lock_guard lock(mutex_);
        said_ += text;
    }
    mutable std::mutex mutex_;
    std::string said_;
};

const std::string kNoModemLines = "Fail on set DTR - Inappropriate ioctl for device(25).\n";

FirmwareImage image(size_t size) {
    return std::make_shared<const std::vector<uint8_t>>(size, uint8_t{0x5A});
}

class FlashSequence : public testing::Test {
protected:
    void SetUp() override {
        // A good open clears what an earlier test left in the error text.
        Serial_Open(pty.path().c_str(), 115200);
        Serial_Close();
        engine.setUi(&sink);
        engine.setAddress(pty.path());
        engine.setFName("fw.bin");
        engine.setData(image(100));
    }
    void TearDown() override { Serial_Close(); }

    Pty pty;
    FakeSink sink;
    ZKFW engine;
};

// The reset's waits (500 ms before the pulse, 500 ms of it, 100 ms after)
// are taken in full even though the pulse failed.
TEST_F(FlashSequence, TransmitterStopsAfterTheResetWhenDtrFails) {
    engine.setTxSel(true);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(engine.startFlash(), FlashOutcome::SerialFailure);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1050ms);
    EXPECT_EQ(sink.said(), "Resetting TX Processor...\nReset Complete.\n");
    EXPECT_EQ(Serial_ErrorText(), kNoModemLines);
    EXPECT_TRUE(pty.read(1, 100ms).empty()) << "nothing is written to a unit that was not reset";
    EXPECT_EQ(pty.slaveSpeed(), 115200u);
}

TEST_F(FlashSequence, ReceiverBringUpRunsToItsEndDespiteDtrFailure) {
    engine.setTxSel(false);
    sink.busyFlag = true; // the operator has not answered the prompt yet
    std::thread run([&] { EXPECT_EQ(engine.startFlash(), FlashOutcome::SerialFailure); });

    std::this_thread::sleep_for(600ms);
    EXPECT_TRUE(pty.read(1, 10ms).empty()) << "radio commands sent before the prompt was answered";
    EXPECT_EQ(pty.slaveSpeed(), 109000u);
    sink.busyFlag = false;

    const auto plus = pty.read(3, 2s);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(std::string(plus.begin(), plus.end()), "+++");
    const auto commands = pty.read(16, 4s);
    const auto pause = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(std::string(commands.begin(), commands.end()), "ATDLFFFE\r\nATCN\r\n");
    EXPECT_GE(pause, 1100ms) << "the radio module needs its guard time after +++";
    run.join();

    EXPECT_EQ(sink.said(), "alert: Set Telvo Controller Radio Mode to Tether/RX FW\n");
    EXPECT_EQ(Serial_ErrorText(), kNoModemLines);
}

// Runs that end before the unit is reached: refused ones leave the port
// alone; one whose port will not open ends silently, the error text kept for
// the shell.
TEST_F(FlashSequence, EndsBeforeTheUnitIsReached) {
    const std::string noPort =
        "Error opening serial port /dev/zk-no-such-port - No such file or directory(2).\n";
    const struct {
        int size; // -1: no image
        bool cancel;
        FlashOutcome outcome;
        std::string said;
    } cases[] = {
        {190337, false, FlashOutcome::TooLarge, "File Too Large for Memory!\n"},
        {-1, false, FlashOutcome::SendError, "alert: Please select a file to transfer.\n"},
        {100, true, FlashOutcome::Cancelled, "Process Canceled.\n"},
        {100, false, FlashOutcome::SerialFailure, ""}, // the port will not open
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.said);
        FakeSink fresh;
        fresh.cancel = c.cancel;
        engine.setUi(&fresh);
        engine.setData(c.size < 0 ? nullptr : image(static_cast<size_t>(c.size)));
        engine.setAddress("/dev/zk-no-such-port");
        EXPECT_EQ(engine.startFlash(), c.outcome);
        EXPECT_EQ(fresh.said(), c.said);
        EXPECT_EQ(Serial_ErrorText(), c.said.empty() ? noPort : "");
    }
}

} // namespace
