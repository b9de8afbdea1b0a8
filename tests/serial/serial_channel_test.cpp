// The serial port channel against pseudo-terminals: the test plays the unit on
// the master side while the channel drives the slave.
#include "serial/ZKSerial.h"

#include "Pty.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

size_t openDescriptors() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                             std::filesystem::directory_iterator{}));
}

class SerialChannel : public testing::Test {
protected:
    void SetUp() override {
        Serial_DefaultPort().setDiagnostics([this](const std::string& text) { said += text; });
    }
    void TearDown() override {
        Serial_Close();
        Serial_DefaultPort().setDiagnostics(nullptr);
    }

    void open(uint32_t speed = 115200) {
        ASSERT_GE(Serial_Open(pty.path().c_str(), speed), 0) << Serial_ErrorText();
        ASSERT_FALSE(Serial_HasError());
    }

    Pty pty;
    std::string said; // the port's diagnostics
};

TEST_F(SerialChannel, OpensRaw8N1AtTheExactSpeedWithoutFlowControl) {
    // Leave the line as another program might (a pseudo-terminal forces 8 bits
    // and no parity itself).
    termios t{};
    ASSERT_EQ(tcgetattr(pty.master(), &t), 0);
    t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CLOCAL)) | CSTOPB | CRTSCTS;
    t.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    t.c_iflag |= IXON | ICRNL | ISTRIP;
    t.c_oflag |= OPOST | ONLCR;
    t.c_cc[VMIN] = t.c_cc[VTIME] = 1;
    ASSERT_EQ(tcsetattr(pty.master(), TCSANOW, &t), 0);
    ASSERT_EQ(pty.slaveCflag() & (CRTSCTS | CSTOPB | CLOCAL),
              static_cast<uint32_t>(CRTSCTS | CSTOPB));

    // Each open sets its own speed, exactly and both ways, after the settings.
    for (const uint32_t speed : {109000u, 115200u}) {
        open(speed);
        EXPECT_EQ(pty.slaveSpeed(), speed);
        EXPECT_EQ(pty.slaveSpeed(true), speed);
    }
    ASSERT_EQ(tcgetattr(pty.master(), &t), 0);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL),
              static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN] + t.c_cc[VTIME], 0);
}

// A failing open reports its step in the error text and, wrapped, as a
// diagnostic, keeps its errno for the hint, releases the port that was open before
// and leaves nothing open.
TEST_F(SerialChannel, OpenFailureIsReportedAndLeavesTheChannelClosed) {
    const int holder = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0); // as a second loader would
    Pty previous;
    const size_t descriptors = openDescriptors();
    const struct {
        std::string path, text;
        int err;
    } cases[] = {
        {"/nonexistent-zk/ttyUSB0",
         "Error opening serial port /nonexistent-zk/ttyUSB0 - No such file or directory(2).\n",
         ENOENT},
        {"/dev/null", "Error setting TIOCEXCL on /dev/null - Inappropriate ioctl for device(25).\n",
         ENOTTY},
        {pty.path(),
         "Error locking serial port " + pty.path() + " - Resource temporarily unavailable(11).\n",
         EWOULDBLOCK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        ASSERT_GE(Serial_Open(previous.path().c_str(), 115200), 0);
        said.clear();
        EXPECT_EQ(Serial_Open(c.path.c_str(), 115200), -1);
        EXPECT_EQ(said, "ZKSerial error [" + c.text + "]");
        EXPECT_EQ(Serial_ErrorText(), c.text);
        EXPECT_EQ(Serial_ErrorNumber(), c.err);
        EXPECT_EQ(openDescriptors(), descriptors);
        // Closed: closing prints nothing, and DTR has no descriptor to act on.
        said.clear();
        Serial_Close();
        EXPECT_EQ(said, "");
        Serial_SetDTR(true);
        EXPECT_STREQ(Serial_ErrorText(), "Fail on set DTR - Bad file descriptor(9).\n");
        EXPECT_EQ(Serial_ErrorNumber(), EBADF);
    }
    close(holder); // once the other holder lets go, the port opens, error text cleared
    open();
    EXPECT_EQ(Serial_ErrorNumber(), 0);
}

// While open the port is the loader's alone: exclusive mode against openers,
// the lock against other loaders (root included). Both are handed back on
// close, though the pseudo-terminal's own descriptor keeps the device open.
TEST_F(SerialChannel, CloseHandsBackExclusiveMode) {
    const auto held = [this] { // as another process finds it
        const int fd = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        int exclusive = -1;
        ioctl(fd, TIOCGEXCL, &exclusive);
        const bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0;
        close(fd);
        return std::pair(exclusive, locked);
    };
    const size_t descriptors = openDescriptors();
    open();
    open(); // works only if the old hold is gone before the new open locks
    EXPECT_EQ(openDescriptors(), descriptors + 1);
    EXPECT_EQ(held(), std::pair(1, true));
    Serial_Close();
    EXPECT_EQ(held(), std::pair(0, false));
}

TEST_F(SerialChannel, ErrorTextKeepsTheLastFailureUntilTheNextOpen) {
    const std::string noModemLines = "Fail on set DTR - Inappropriate ioctl for device(25).\n";
    open();
    Serial_WriteString(""); // nothing to send is no failure
    EXPECT_FALSE(Serial_HasError()) << Serial_ErrorText();
    for (const bool on : {false, true}) { // each open clears it; either DTR change fails
        open();
        Serial_SetDTR(on);
        EXPECT_EQ(Serial_ErrorText(), noModemLines);
    }
    // Good writes (without the terminator) and closing leave it pending.
    Serial_WriteString("fine");
    EXPECT_EQ(pty.read(5, 300ms), (std::vector<uint8_t>{'f', 'i', 'n', 'e'}));
    said.clear();
    Serial_Close();
    Serial_Close();
    EXPECT_EQ(said, "");
    EXPECT_EQ(Serial_ErrorText(), noModemLines);
    Serial_WriteString("x"); // a later failure replaces it
    EXPECT_STREQ(Serial_ErrorText(), "Write Error - Bad file descriptor(9).\n");
}

// Signals make a blocked terminal write return short (or fail with EINTR
// before any byte went); every byte must still arrive, unchanged and in order.
TEST_F(SerialChannel, WriteInterruptedBySignalsDeliversEveryByte) {
    open();
    struct sigaction quiet {};
    struct sigaction previous {};
    quiet.sa_handler = [](int) {}; // and no SA_RESTART
    ASSERT_EQ(sigaction(SIGUSR1, &quiet, &previous), 0);

    std::vector<uint8_t> sent(1 << 20);
    for (size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<uint8_t>(i * 7 + i / 251); // every byte value
    }
    std::vector<uint8_t> received;
    std::thread reader([&] { received = pty.read(sent.size(), 5s); });
    std::atomic<bool> writing{true};
    std::thread interrupter([&, writer = pthread_self()] {
        while (writing.load()) {
            pthread_kill(writer, SIGUSR1);
            std::this_thread::sleep_for(100us);
        }
    });
    Serial_Write(sent.data(), static_cast<int32_t>(sent.size()));
    writing.store(false);
    interrupter.join();
    reader.join();
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_FALSE(Serial_HasError()) << Serial_ErrorText();
    EXPECT_TRUE(received == sent) << received.size() << " of " << sent.size() << " bytes";
}

// Reads hand over every byte that came, NUL and 0xFF included, and nothing
// else: at most 1023 per text read with the rest left for the next, nothing of
// an earlier longer read, nothing that came before a flush.
TEST_F(SerialChannel, ReadsReturnEveryByteThatCame) {
    open();
    std::string burst(1500, '\0');
    for (size_t i = 0; i < burst.size(); ++i) {
        burst[i] = static_cast<char>(i);
    }
    for (const std::string& sent :
         {burst, std::string("xyz"), std::string(1, '\0'), std::string("VANTOLK\r\n\0\xFF", 11)}) {
        SCOPED_TRACE(sent.size());
        pty.write(sent);
        std::string got(Serial_ReadText());
        EXPECT_EQ(got.size(), std::min<size_t>(sent.size(), 1023));
        while (got.size() < sent.size() && !Serial_LastReadEmpty()) {
            got += Serial_ReadText();
        }
        EXPECT_EQ(got, sent);
        EXPECT_FALSE(Serial_LastReadEmpty());
    }

    pty.write(std::string("A\0\xFF", 3));
    for (const uint8_t expected : std::initializer_list<uint8_t>{'A', 0, 0xFF}) {
        EXPECT_EQ(Serial_ReadByte(), expected);
        EXPECT_FALSE(Serial_LastReadEmpty()); // a received NUL is no time-out
    }

    pty.write("stale answer");
    std::this_thread::sleep_for(20ms);
    Serial_FlushInput();
    pty.write("Z");
    EXPECT_EQ(Serial_ReadText(), "Z");
}

// An empty read waits out the whole budget (11 waits of 50 ms) and says it was
// empty; on a line that has gone (hung up, its adapter unplugged) it returns
// at once and says that too, until the next open.
TEST_F(SerialChannel, EmptyReadsTakeTheWholeBudgetUnlessTheLineHasGone) {
    enum Line { Silent, HungUp, Closed };
    for (const Line line : {Silent, HungUp, Closed}) {
        SCOPED_TRACE(line);
        Pty local;
        ASSERT_GE(Serial_Open(local.path().c_str(), 115200), 0);
        local.write("p"); // the other kind of read gets it: the empty one must say so itself
        ASSERT_EQ(line == Silent ? Serial_ReadByte() : Serial_ReadText()[0], 'p');
        if (line == HungUp) {
            local.hangUp();
        } else if (line == Closed) {
            Serial_Close();
        }
        const auto start = Clock::now();
        EXPECT_EQ(line == Silent ? Serial_ReadText().size() : Serial_ReadByte(), 0u);
        const auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        EXPECT_TRUE(Serial_LastReadEmpty());
        EXPECT_EQ(Serial_DefaultPort().lineLost(), line == HungUp);
        EXPECT_TRUE(line == HungUp ? took < 200 : took >= 450 && took <= 1500) << took;
        Serial_Close(); // a hung-up line may fail its drain: a diagnostic, no error
    }
}

} // namespace
