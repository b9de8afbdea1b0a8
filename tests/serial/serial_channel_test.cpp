// The serial port channel against pseudo-terminals: the test plays the unit on
// the master side while the channel drives the slave.
#include "serial/ZKSerial.h"

#include "Pty.h"
#include "line_speed_probe.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/file.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

long long msSince(Clock::time_point start, Clock::time_point end = Clock::now()) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(end - start).count();
}

std::vector<uint8_t> toBytes(std::string_view text) {
    return {text.begin(), text.end()};
}

// Every byte value once, so that any translation or stripping shows.
std::vector<uint8_t> allByteValues() {
    std::vector<uint8_t> bytes(256);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i);
    }
    return bytes;
}

size_t openDescriptorCount() {
    size_t count = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (const dirent* e = readdir(d)) {
            count += e->d_name[0] != '.';
        }
        closedir(d);
    }
    return count;
}

// Opens `path` apart from the channel and tries to take the lock a second
// loader would take. Returns 0 when it got the lock, otherwise the errno.
int lockFromElsewhere(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return errno;
    }
    const int err = flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
    close(fd);
    return err;
}

// Plays the unit on its own thread: writes each piece on the master at its
// time, counted from the writer's start.
class LateWriter {
public:
    struct Piece {
        Clock::duration at;
        std::string bytes;
    };

    LateWriter(Pty& pty, std::vector<Piece> pieces)
        : thread_([this, &pty, pieces = std::move(pieces)] {
              const auto start = Clock::now();
              for (const Piece& piece : pieces) {
                  std::this_thread::sleep_until(start + piece.at);
                  pty.write(piece.bytes);
              }
              writtenAt_ = Clock::now();
          }) {}
    ~LateWriter() { join(); }

    // When the last piece was written.
    Clock::time_point writtenAt() {
        join();
        return writtenAt_;
    }

private:
    void join() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    Clock::time_point writtenAt_{};
    std::thread thread_;
};

class SerialChannel : public testing::Test {
protected:
    void TearDown() override { Serial_Close(); }

    void open(uint32_t speed = 115200) {
        ASSERT_GE(Serial_Open(pty.path().c_str(), speed), 0) << Serial_ErrorText();
        ASSERT_FALSE(Serial_HasError());
    }

    Pty pty;
};

// ---- opening: speed and line settings ----

TEST_F(SerialChannel, SetsExactSpeedForInputAndOutput) {
    // Reopening the same line shows that each open sets its own speed.
    for (uint32_t speed : {109000u, 115200u, 109000u, 9600u, 250000u, 921600u}) {
        SCOPED_TRACE(speed);
        open(speed);
        LineSpeeds speeds;
        ASSERT_TRUE(readLineSpeeds(pty.master(), speeds));
        EXPECT_EQ(speeds.output, speed);
        EXPECT_EQ(speeds.input, speed);
        EXPECT_EQ(pty.slaveSpeed(), speed);
    }
}

TEST_F(SerialChannel, SetsRaw8N1WithoutFlowControl) {
    // Leave the line as another program might have: flow control, parity,
    // two stop bits, 7 bits, line editing, echo, output processing.
    termios dirty{};
    ASSERT_EQ(tcgetattr(pty.master(), &dirty), 0);
    dirty.c_cflag = (dirty.c_cflag & ~static_cast<tcflag_t>(CSIZE | CLOCAL)) | CS7 | PARENB |
                    CSTOPB | CRTSCTS | HUPCL;
    dirty.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    dirty.c_iflag |= IXON | ICRNL | ISTRIP;
    dirty.c_oflag |= OPOST | ONLCR;
    dirty.c_cc[VMIN] = 1;
    dirty.c_cc[VTIME] = 5;
    ASSERT_EQ(tcsetattr(pty.master(), TCSANOW, &dirty), 0);
    // A pseudo-terminal forces CS8, CREAD and no parity itself; the bits
    // below are the ones it keeps, so the channel must clear them.
    ASSERT_TRUE(pty.slaveCflag() & CRTSCTS);
    ASSERT_TRUE(pty.slaveCflag() & CSTOPB);
    ASSERT_FALSE(pty.slaveCflag() & CLOCAL);

    open(109000);

    const uint32_t cflag = pty.slaveCflag();
    EXPECT_EQ(cflag & CSIZE, static_cast<uint32_t>(CS8));
    EXPECT_TRUE(cflag & CREAD);
    EXPECT_TRUE(cflag & CLOCAL);
    EXPECT_FALSE(cflag & PARENB);
    EXPECT_FALSE(cflag & CSTOPB);
    EXPECT_FALSE(cflag & CRTSCTS);

    termios now{};
    ASSERT_EQ(tcgetattr(pty.master(), &now), 0);
    EXPECT_EQ(now.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(now.c_iflag & (IXON | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(now.c_oflag & OPOST, 0u);
    EXPECT_EQ(now.c_cc[VMIN], 0);
    EXPECT_EQ(now.c_cc[VTIME], 0);
    // The line settings must not have undone the exact speed.
    EXPECT_EQ(pty.slaveSpeed(), 109000u);
}

TEST_F(SerialChannel, BytesPassUnchangedBothWays) {
    open();
    const std::vector<uint8_t> bytes = allByteValues();
    Serial_Write(bytes.data(), static_cast<int32_t>(bytes.size()));
    EXPECT_EQ(pty.read(bytes.size() + 1, 300ms), bytes);

    pty.write(bytes);
    const std::string_view text = Serial_ReadText();
    EXPECT_EQ(std::vector<uint8_t>(text.begin(), text.end()), bytes);
    EXPECT_FALSE(Serial_HasError()) << Serial_ErrorText();
}

// ---- opening: failures ----

// Opens `path`, expects the failure `text` in the error text and, wrapped,
// on standard output, and expects the channel closed with nothing leaked.
void expectOpenFails(const std::string& path, const std::string& text, size_t descriptorsBefore) {
    testing::internal::CaptureStdout();
    const int32_t result = Serial_Open(path.c_str(), 115200);
    const std::string printed = testing::internal::GetCapturedStdout();

    EXPECT_EQ(result, -1);
    EXPECT_TRUE(Serial_HasError());
    EXPECT_EQ(Serial_ErrorText(), text);
    EXPECT_EQ(printed, "ZKSerial error [" + text + "]");
    EXPECT_EQ(openDescriptorCount(), descriptorsBefore);

    // Closed: closing prints nothing, and DTR has no descriptor to act on
    // (an open terminal would answer "Inappropriate ioctl" instead).
    testing::internal::CaptureStdout();
    Serial_Close();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    Serial_SetDTR(true);
    EXPECT_STREQ(Serial_ErrorText(), "Fail on set DTR - Bad file descriptor(9).\n");
}

TEST(SerialOpenFailure, ReportsTheFailingStep) {
    char fileTemplate[] = "/tmp/zk-serial-plainXXXXXX";
    const int plain = mkstemp(fileTemplate);
    ASSERT_GE(plain, 0);
    close(plain);
    const std::string plainFile = fileTemplate;

    struct Case {
        std::string path;
        std::string text;
    };
    const Case cases[] = {
        {"/nonexistent-zk/ttyUSB0",
         "Error opening serial port /nonexistent-zk/ttyUSB0 - No such file or directory(2).\n"},
        {"/tmp", "Error opening serial port /tmp - Is a directory(21).\n"},
        // Not a terminal: the first terminal request is the exclusive-use one.
        {"/dev/null",
         "Error setting TIOCEXCL on /dev/null - Inappropriate ioctl for device(25).\n"},
        {plainFile,
         "Error setting TIOCEXCL on " + plainFile + " - Inappropriate ioctl for device(25).\n"},
    };
    const size_t before = openDescriptorCount();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        expectOpenFails(c.path, c.text, before);
    }
    unlink(plainFile.c_str());
}

TEST_F(SerialChannel, PortLockedByAnotherHolderIsRefused) {
    const int holder = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);

    expectOpenFails(pty.path(),
                    "Error locking serial port " + pty.path() +
                        " - Resource temporarily unavailable(11).\n",
                    openDescriptorCount());

    // Once the other holder lets go, the port opens.
    close(holder);
    EXPECT_GE(Serial_Open(pty.path().c_str(), 115200), 0) << Serial_ErrorText();
}

TEST_F(SerialChannel, OpenPortIsHeldAgainstOthersUntilClosed) {
    open();
    // Unprivileged, the exclusive mode already refuses the open; root gets
    // through it and meets the lock.
    const int err = lockFromElsewhere(pty.path());
    EXPECT_TRUE(err == EWOULDBLOCK || err == EBUSY) << err;
    Serial_Close();
    EXPECT_EQ(lockFromElsewhere(pty.path()), 0);
}

TEST_F(SerialChannel, CloseHandsBackExclusiveMode) {
    // The pseudo-terminal's own descriptor keeps the device open, as a virtual
    // unit does; exclusive mode must not outlive the loader's use of it.
    const auto exclusive = [this] {
        const int fd = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        int flag = -1;
        if (fd >= 0) {
            ioctl(fd, TIOCGEXCL, &flag);
            close(fd);
        }
        return flag;
    };
    open();
    EXPECT_EQ(exclusive(), 1);
    Serial_Close();
    EXPECT_EQ(exclusive(), 0);
}

TEST_F(SerialChannel, OpenClosesThePreviousPortFirst) {
    const size_t before = openDescriptorCount();
    open();
    // Reopening the held port only works if the old hold is gone before the
    // new open takes its lock.
    open();
    EXPECT_EQ(openDescriptorCount(), before + 1);

    // A failing open still releases the port that was open.
    expectOpenFails("/nonexistent-zk/ttyUSB1",
                    "Error opening serial port /nonexistent-zk/ttyUSB1 - No such file or "
                    "directory(2).\n",
                    before);
    EXPECT_EQ(lockFromElsewhere(pty.path()), 0);
}

// ---- error text ----

TEST_F(SerialChannel, ErrorTextKeepsTheLastFailureUntilTheNextOpen) {
    const std::string dtrOnPty = "Fail on set DTR - Inappropriate ioctl for device(25).\n";
    const std::string dtrClosed = "Fail on set DTR - Bad file descriptor(9).\n";
    const std::string writeClosed = "Write Error - Bad file descriptor(9).\n";

    testing::internal::CaptureStdout();
    EXPECT_EQ(Serial_Open("/nonexistent-zk/ttyUSB2", 115200), -1);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(Serial_HasError());

    open(); // clears it
    EXPECT_STREQ(Serial_ErrorText(), "");

    // A pseudo-terminal has no modem lines.
    Serial_SetDTR(true);
    EXPECT_EQ(Serial_ErrorText(), dtrOnPty);
    Serial_SetDTR(false);
    EXPECT_EQ(Serial_ErrorText(), dtrOnPty);

    // Good writes and closing leave it pending.
    Serial_WriteString("still fine");
    EXPECT_EQ(pty.read(10, 300ms), toBytes("still fine"));
    testing::internal::CaptureStdout();
    Serial_Close();
    Serial_Close();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(Serial_ErrorText(), dtrOnPty);

    // Each later failure replaces it.
    Serial_WriteString("x");
    EXPECT_EQ(Serial_ErrorText(), writeClosed);
    Serial_SetDTR(false);
    EXPECT_EQ(Serial_ErrorText(), dtrClosed);
    // Even an empty write is made, and fails without a port.
    Serial_WriteString("");
    EXPECT_EQ(Serial_ErrorText(), writeClosed);

    open();
    EXPECT_FALSE(Serial_HasError());
}

// ---- writing ----

TEST_F(SerialChannel, EmptyStringSendsNothing) {
    open();
    Serial_WriteString("");
    EXPECT_FALSE(Serial_HasError()) << Serial_ErrorText();
    EXPECT_TRUE(pty.read(1, 100ms).empty());
    Serial_WriteString("BOOT");
    EXPECT_EQ(pty.read(5, 200ms), toBytes("BOOT"));
}

void ignoreSignal(int) {}

// Signals make a blocked terminal write return short (or fail with EINTR
// before any byte went); every byte must still arrive, in order.
TEST_F(SerialChannel, WriteInterruptedBySignalsDeliversEveryByte) {
    open();
    struct sigaction quiet {};
    struct sigaction previous {};
    quiet.sa_handler = ignoreSignal;
    sigemptyset(&quiet.sa_mask);
    quiet.sa_flags = 0; // no SA_RESTART
    ASSERT_EQ(sigaction(SIGUSR1, &quiet, &previous), 0);

    std::vector<uint8_t> sent(1 << 20);
    for (size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<uint8_t>(i * 7 + i / 251);
    }
    std::vector<uint8_t> received;
    std::thread reader([&] { received = pty.read(sent.size(), 5s); });
    std::atomic<bool> writing{true};
    const pthread_t writer = pthread_self();
    std::thread interrupter([&] {
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
    ASSERT_EQ(received.size(), sent.size());
    EXPECT_TRUE(received == sent);
}

// ---- reading ----

TEST_F(SerialChannel, ReadTextReturnsEveryByteOfTheRead) {
    open();
    const std::string cases[] = {
        "abc",
        "x",
        std::string("\0", 1),
        std::string("ab\0cd", 5),
        std::string("abc\0", 4),
        "\xFF\xFF\xFF",
        std::string("VANTOLK\r\n\0\xFF", 11),
    };
    for (const std::string& sent : cases) {
        SCOPED_TRACE(testing::PrintToString(sent));
        pty.write(sent);
        EXPECT_EQ(std::string(Serial_ReadText()), sent);
        EXPECT_FALSE(Serial_LastReadEmpty());
    }
}

TEST_F(SerialChannel, ShorterBurstCarriesNothingOfTheEarlierOne) {
    open();
    pty.write(std::string(200, 'L'));
    EXPECT_EQ(Serial_ReadText().size(), 200u);
    pty.write("xyz");
    EXPECT_EQ(Serial_ReadText(), "xyz");
}

TEST_F(SerialChannel, ReadTextTakesAtMost1023Bytes) {
    open();
    std::vector<uint8_t> burst(1500);
    for (size_t i = 0; i < burst.size(); ++i) {
        burst[i] = static_cast<uint8_t>('a' + i % 26);
    }
    pty.write(burst);
    const std::string_view first = Serial_ReadText();
    EXPECT_EQ(std::vector<uint8_t>(first.begin(), first.end()),
              std::vector<uint8_t>(burst.begin(), burst.begin() + 1023));
    const std::string_view rest = Serial_ReadText();
    EXPECT_EQ(std::vector<uint8_t>(rest.begin(), rest.end()),
              std::vector<uint8_t>(burst.begin() + 1023, burst.end()));
}

TEST_F(SerialChannel, ReadTextJoinsPiecesArrivingCloseTogether) {
    open();
    {
        LateWriter unit(pty, {{30ms, "VANT"}, {35ms, "OLK\r\n"}});
        EXPECT_EQ(Serial_ReadText(), "VANTOLK\r\n");
    }
    // A gap well beyond the quiet time ends the read.
    {
        LateWriter unit(pty, {{0ms, "AB"}, {200ms, "CD"}});
        EXPECT_EQ(Serial_ReadText(), "AB");
        EXPECT_EQ(Serial_ReadText(), "CD");
    }
}

TEST_F(SerialChannel, ReadByteTakesOneByteAtATime) {
    open();
    pty.write(std::string("A\0\xFF", 3));
    struct Expected {
        uint8_t byte;
    };
    for (const Expected e : {Expected{'A'}, Expected{0}, Expected{0xFF}}) {
        EXPECT_EQ(Serial_ReadByte(), e.byte);
        // A received NUL is a byte, not a time-out.
        EXPECT_FALSE(Serial_LastReadEmpty());
    }
}

TEST_F(SerialChannel, FlushInputDropsPendingBytes) {
    open();
    pty.write("stale answer");
    std::this_thread::sleep_for(20ms);
    Serial_FlushInput();
    pty.write("Z");
    EXPECT_EQ(Serial_ReadText(), "Z");
}

// An empty read waits out the whole budget (11 waits of 50 ms) whatever
// makes it empty: a silent line, a hung-up line, or no port at all.
TEST_F(SerialChannel, EmptyReadsTakeTheWholeBudget) {
    enum class Line { Silent, HungUp, Closed };
    for (const Line line : {Line::Silent, Line::HungUp, Line::Closed}) {
        for (const bool text : {true, false}) {
            SCOPED_TRACE(testing::Message() << "line " << static_cast<int>(line) << ", "
                                            << (text ? "ReadText" : "ReadByte"));
            Pty local;
            ASSERT_GE(Serial_Open(local.path().c_str(), 115200), 0);
            // A byte read first, so that the empty read must reset the count.
            local.write("p");
            ASSERT_EQ(Serial_ReadByte(), 'p');
            if (line == Line::HungUp) {
                local.hangUp();
            } else if (line == Line::Closed) {
                Serial_Close();
            }
            const auto start = Clock::now();
            if (text) {
                EXPECT_EQ(Serial_ReadText(), "");
            } else {
                EXPECT_EQ(Serial_ReadByte(), 0);
            }
            const long long took = msSince(start);
            EXPECT_TRUE(Serial_LastReadEmpty());
            EXPECT_GE(took, 450);
            EXPECT_LE(took, 1500);
            testing::internal::CaptureStdout(); // a hung-up line may fail its drain
            Serial_Close();
            testing::internal::GetCapturedStdout();
        }
    }
}

// A reply is taken as soon as it arrives, not at the next 50 ms step. The
// byte is sent 10 ms after a step boundary (110 ms into the read), where a
// reader that sleeps between tries would be 40 ms late. Machine noise only
// adds delay, so the best of a few tries is what is judged.
TEST_F(SerialChannel, ReplyIsSeenAsSoonAsItArrives) {
    open();
    struct Case {
        const char* name;
        bool text;
        long long boundMs; // a text read also waits ~20 ms for more bytes
    };
    for (const Case c : {Case{"ReadByte", false, 30}, Case{"ReadText", true, 50}}) {
        SCOPED_TRACE(c.name);
        long long best = 1000000;
        for (int attempt = 0; attempt < 3; ++attempt) {
            LateWriter unit(pty, {{110ms, "K"}});
            const auto start = Clock::now();
            const std::string got = c.text ? std::string(Serial_ReadText())
                                           : std::string(1, static_cast<char>(Serial_ReadByte()));
            const auto end = Clock::now();
            EXPECT_EQ(got, "K");
            const auto writtenAt = unit.writtenAt();
            ASSERT_GE(msSince(start, end), 100);
            best = std::min(best, msSince(writtenAt, end));
        }
        EXPECT_LT(best, c.boundMs);
    }
}

TEST(SerialDelay, SleepsInFull) {
    for (const uint32_t ms : {30u, 1000u}) {
        const auto start = Clock::now();
        Serial_DelayMs(ms);
        const long long took = msSince(start);
        EXPECT_GE(took, ms);
        EXPECT_LT(took, ms + 500);
    }
}

} // namespace
