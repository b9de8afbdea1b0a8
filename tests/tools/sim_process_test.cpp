// The zkunit-sim program on its pseudo-terminal, with the test playing the
// loader, and the modem-line library preloaded into a small driver.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "FakeIo.h"

bool setLineSpeed(int fd, unsigned speed); // tools/sim/smoke_speed.cpp

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A child process whose standard output the test reads.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {}) {
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        std::vector<char*> args;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        std::vector<std::string> envStrings(extraEnv);
        for (char** e = environ; *e != nullptr; ++e) {
            envStrings.emplace_back(*e);
        }
        std::vector<char*> env;
        for (auto& e : envStrings) {
            env.push_back(e.data());
        }
        env.push_back(nullptr);
        const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), env.data());
        posix_spawn_file_actions_destroy(&actions);
        close(pipeFds[1]);
        out_ = pipeFds[0];
        if (rc != 0) {
            throw std::runtime_error("cannot start " + argv[0]);
        }
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
    }

    std::string readLine(std::chrono::milliseconds timeout) {
        const auto end = Clock::now() + timeout;
        while (buffer_.find('\n') == std::string::npos && Clock::now() < end) {
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                char buf[256];
                const ssize_t n = read(out_, buf, sizeof buf);
                if (n <= 0) {
                    break;
                }
                buffer_.append(buf, static_cast<size_t>(n));
            }
        }
        const size_t nl = buffer_.find('\n');
        if (nl == std::string::npos) {
            return "";
        }
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
    }

    // Exit status, or -1 when the child is still running after `timeout`.
    int wait(std::chrono::milliseconds timeout) {
        const auto end = Clock::now() + timeout;
        do {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(10ms);
        } while (Clock::now() < end);
        return -1;
    }
    void signal(int sig) { kill(pid_, sig); }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
};

// A running virtual unit with its own output directory.
class Sim {
public:
    explicit Sim(std::vector<std::string> options) {
        char templ[] = "/tmp/zksim-test-XXXXXX";
        dir_ = mkdtemp(templ);
        std::vector<std::string> argv{ZK_SIM_PATH, "--out", dir_.string()};
        argv.insert(argv.end(), options.begin(), options.end());
        child_ = std::make_unique<Child>(argv);
        path_ = child_->readLine(10s);
        ready_ = child_->readLine(10s);
    }
    ~Sim() {
        child_.reset();
        std::filesystem::remove_all(dir_);
    }
    const std::string& path() const { return path_; }
    const std::string& ready() const { return ready_; }
    const std::filesystem::path& dir() const { return dir_; }
    Child& process() { return *child_; }

    std::vector<std::string> events() const {
        std::vector<std::string> out;
        std::ifstream in(dir_ / "events.log");
        std::string line;
        while (std::getline(in, line)) {
            out.push_back(line.substr(line.find(' ') + 1));
        }
        return out;
    }
    long eventMs(const std::string& name) const {
        std::ifstream in(dir_ / "events.log");
        std::string line;
        while (std::getline(in, line)) {
            if (line.substr(line.find(' ') + 1) == name) {
                return std::stol(line);
            }
        }
        return -1;
    }
    // Tells the unit about a DTR change as the modem-line library does.
    void dtr(bool on) const {
        const int s = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, (dir_ / "modemline.sock").c_str());
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        const std::string msg = std::string("dtr ") + (on ? "1 " : "0 ") +
                                std::to_string(ts.tv_sec * 1000000000LL + ts.tv_nsec);
        sendto(s, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        close(s);
    }

private:
    std::filesystem::path dir_;
    std::string path_;
    std::string ready_;
    std::unique_ptr<Child> child_;
};

// The loader's end of the line.
class Port {
public:
    Port(const std::string& path, unsigned speed) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
        setLineSpeed(fd_, speed);
    }
    ~Port() { close(fd_); }
    bool ok() const { return fd_ >= 0; }
    void write(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    void write(const std::string& text) { write(std::vector<uint8_t>(text.begin(), text.end())); }
    // Reads until `count` bytes came or `timeout` passed.
    std::vector<uint8_t> read(size_t count, std::chrono::milliseconds timeout) {
        std::vector<uint8_t> got;
        const auto end = Clock::now() + timeout;
        while (got.size() < count && Clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) {
                if (!(p.revents & POLLIN)) {
                    hungUp_ = true;
                    break;
                }
                uint8_t buf[512];
                const ssize_t n = ::read(fd_, buf, std::min(sizeof buf, count - got.size()));
                if (n <= 0) {
                    hungUp_ = true;
                    break;
                }
                got.insert(got.end(), buf, buf + n);
            }
        }
        return got;
    }
    std::string readText(size_t count, std::chrono::milliseconds timeout) {
        const auto bytes = read(count, timeout);
        return {bytes.begin(), bytes.end()};
    }
    bool hungUp() const { return hungUp_; }

private:
    int fd_ = -1;
    bool hungUp_ = false;
};

const std::string kBannerText =
    "\r\nVANTOLK bootloader 2.1\r\n1: receive firmware\r\n2: start application\r\n> ";

void resetAndWake(Sim& sim, Port& port) {
    sim.dtr(true);
    std::this_thread::sleep_for(20ms);
    sim.dtr(false);
    std::this_thread::sleep_for(50ms);
    port.write("BOOT");
    ASSERT_EQ(port.readText(kBannerText.size(), 2s), kBannerText);
}

TEST(SimProcess, TransfersAnImageAtLineRateAndExitsAfterTheStart) {
    Sim sim({"--once"});
    ASSERT_EQ(sim.ready(), "ready");
    ASSERT_EQ(sim.path().rfind("/dev/pts/", 0), 0u) << sim.path();
    Port port(sim.path(), 115200);
    ASSERT_TRUE(port.ok());
    resetAndWake(sim, port);

    port.write("1");
    const auto asked = Clock::now();
    ASSERT_EQ(port.read(1, 2s), std::vector<uint8_t>{'C'});
    EXPECT_GE(Clock::now() - asked, 200ms) << "the receiver listens before it asks";

    port.write(headerBlock("t.bin", "1100"));
    EXPECT_EQ(port.read(2, 2s), (std::vector<uint8_t>{0x06, 'C'}));

    const auto f1 = patternField(1024, 1);
    const auto f2 = patternField(128, 2);
    const auto sent = Clock::now();
    port.write(makeBlock(1, f1));
    ASSERT_EQ(port.read(1, 3s), std::vector<uint8_t>{0x06});
    // 1029 bytes at 115200 bit/s take 89 ms on a real line.
    EXPECT_GE(Clock::now() - sent, 85ms) << "answered faster than the line carries the block";

    port.write(makeBlock(2, f2));
    ASSERT_EQ(port.read(1, 3s), std::vector<uint8_t>{0x06});
    port.write(std::vector<uint8_t>{0x04});
    ASSERT_EQ(port.read(1, 3s), std::vector<uint8_t>{0x06});
    port.write(closingBlock());
    ASSERT_EQ(port.read(1, 3s), std::vector<uint8_t>{0x06});
    port.write("2");
    EXPECT_EQ(sim.process().wait(5s), 0);

    std::ifstream in(sim.dir() / "received.bin", std::ios::binary);
    const std::vector<uint8_t> received{std::istreambuf_iterator<char>(in), {}};
    std::vector<uint8_t> expected(f1);
    expected.insert(expected.end(), f2.begin(), f2.begin() + 76);
    EXPECT_EQ(received, expected);
    EXPECT_EQ(sim.events(), (std::vector<std::string>{"dtr 1", "dtr 0", "speed 115200", "boot",
                                                      "banner", "receive", "header t.bin 1100",
                                                      "block 1 1024 ok", "block 2 128 ok", "eot",
                                                      "end", "saved 1100", "start-app"}));
}

TEST(SimProcess, IgnoresALineAtTheWrongSpeed) {
    Sim sim({"--target", "rx"});
    Port port(sim.path(), 115200);
    port.write("+++");
    EXPECT_TRUE(port.read(1, 1500ms).empty());
    EXPECT_EQ(sim.events(),
              (std::vector<std::string>{"speed 115200", "wrong-speed 115200 109000"}));
}

TEST(SimProcess, HangsUpOnTheChosenBlock) {
    Sim sim({"--once", "--hangup-at", "1"});
    Port port(sim.path(), 115200);
    resetAndWake(sim, port);
    port.write("1");
    port.write(headerBlock("h.bin", "10"));
    ASSERT_EQ(port.read(2, 2s), (std::vector<uint8_t>{0x06, 'C'}));
    port.write(makeBlock(1, patternField(128, 1)));
    EXPECT_TRUE(port.read(1, 2s).empty());
    EXPECT_TRUE(port.hungUp());
    EXPECT_EQ(sim.process().wait(5s), 1);
    EXPECT_EQ(sim.events().back(), "hangup");
}

TEST(SimProcess, StopsCleanlyOnSigterm) {
    Sim sim({});
    ASSERT_EQ(sim.ready(), "ready");
    sim.process().signal(SIGTERM);
    EXPECT_EQ(sim.process().wait(5s), 0);
    EXPECT_FALSE(std::filesystem::exists(sim.dir() / "modemline.sock"));
}

TEST(ModemLineLibrary, GivesThePseudoTerminalADtrLineThatResetsTheUnit) {
    Sim sim({});
    const std::string socket = "ZK_MODEMLINE_SOCKET=" + (sim.dir() / "modemline.sock").string();

    // Without the library the line has no modem lines and the driver fails.
    {
        Child bare({ZK_SMOKE_PATH, sim.path()}, {socket});
        EXPECT_EQ(bare.wait(10s), 2);
    }
    EXPECT_TRUE(sim.events().empty());

    Child smoke({ZK_SMOKE_PATH, sim.path()},
                {socket, std::string("LD_PRELOAD=") + ZK_MODEMLINE_LIB});
    EXPECT_EQ(smoke.readLine(5s), "DTR asserted") << "TIOCMGET reports what TIOCMBIS set";
    EXPECT_EQ(smoke.wait(10s), 0) << "no banner after the reset";
    EXPECT_EQ(sim.events(),
              (std::vector<std::string>{"dtr 1", "dtr 0", "speed 115200", "boot", "banner"}));
    // The driver holds DTR for 100 ms; the library's time stamps carry that
    // over to the unit's clock.
    const long held = sim.eventMs("dtr 0") - sim.eventMs("dtr 1");
    EXPECT_GE(held, 95);
    EXPECT_LT(held, 5000);
}

TEST(ModemLineLibrary, WithoutASocketTheLinesStillWork) {
    Sim sim({"--target", "rx"});
    Child smoke({ZK_SMOKE_PATH, sim.path(), "--rx"},
                {"ZK_MODEMLINE_SOCKET=", std::string("LD_PRELOAD=") + ZK_MODEMLINE_LIB});
    EXPECT_EQ(smoke.readLine(5s), "DTR asserted");
    EXPECT_EQ(smoke.wait(15s), 0) << "the receiver's bootloader did not answer over its radio";
    const auto events = sim.events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "dtr 1"), 0);
    EXPECT_EQ(std::count(events.begin(), events.end(), "at +++"), 1);
    EXPECT_EQ(std::count(events.begin(), events.end(), "banner"), 1);
}

} // namespace
