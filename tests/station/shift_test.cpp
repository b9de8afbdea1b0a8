// A station's shift in virtual time: 2,000 receivers pass through 16 sockets
// of one runner: plugged, answered, flashed and taken out; in every ten one in
// the wrong mode, one taken out mid-flash, one whose run dies and one taken
// out while it waits for the operator. Once the first 100 have
// gone, the process's descriptors, threads and child processes stay as they were, and its heap
// grows by no more than what the counters keep of each unit.
#include "station/Runner.h"
#include "station/ThreadLauncher.h"
#include "virtual_link.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#if defined(__SANITIZE_ADDRESS__)
extern "C" size_t __sanitizer_get_current_allocated_bytes(); // the sanitizer's own allocator
#else
#include <malloc.h>
#endif

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::array<size_t, 4> usage() { // descriptors, threads, children, heap
    std::array<size_t, 4> u{};
    u[0] = static_cast<size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        std::ifstream in(task.path() / "children");
        u[1] += 1;
        u[2] += static_cast<size_t>(std::distance(std::istream_iterator<int>(in), {}));
    }
#if defined(__SANITIZE_ADDRESS__)
    u[3] = __sanitizer_get_current_allocated_bytes();
#else
    u[3] = mallinfo2().uordblks;
#endif
    return u;
}

// Unit n's line: kind 6 is in the wrong mode, 7 stands still mid-transfer
// until it is taken out, and 8 dies at the open.
struct UnitLink : sim::UnitLink {
    UnitLink(int n, const sim::Faults& faults, std::shared_ptr<std::atomic<bool>> out)
        : sim::UnitLink(sim::Target::Receiver, faults), kind(n % 10), removed(std::move(out)) {}
    int32_t open(const std::string& path, uint32_t speed) override {
        return kind == 8 ? throw std::runtime_error("out of memory") : HeldLink::open(path, speed);
    }
    uint8_t readByte() override {
        while (kind == 7 && bytesWritten() >= 3000 && !removed->load()) {
            std::this_thread::sleep_for(1ms);
        }
        return HeldLink::readByte();
    }
    const int kind;
    const std::shared_ptr<std::atomic<bool>> removed;
};

struct Sockets : station::PortWatch, station::RunnerView {
    std::vector<station::PresentPort> present() override {
        std::vector<station::PresentPort> ports;
        for (const auto& [socket, port] : plugged) {
            ports.push_back(port);
        }
        return ports;
    }
    std::map<std::string, station::PresentPort> plugged; // by socket
};

TEST(Shift, TwoThousandUnitsLeaveNothingBehind) {
    const std::string records = testing::TempDir() + "shift.jsonl";
    // Lines of other versions beside an earlier run of unit 1. Every adapter's
    // serial number and a dying run's last words carry an escape sequence.
    std::ofstream(records) << "{\"outcome\":null,\"adapter_serial\":5}\n[1]\n"
                              "{\"outcome\":\"success\",\"adapter_serial\":\"\\u001b]0;1\"}\n";
    std::map<std::string, std::shared_ptr<std::atomic<bool>>> removed; // by port
    sim::Faults wrongMode;
    wrongMode.wrongMode = true;
    station::ThreadLauncher launcher(
        [&](const std::string& port) {
            const int n = std::stoi(port);
            return std::make_unique<UnitLink>(n, n % 10 == 6 ? wrongMode : sim::Faults{},
                                              removed.at(port));
        },
        {"shift_test", "1", records, {}});
    const auto image = std::make_shared<std::vector<uint8_t>>(5000, uint8_t{0x5A});
    station::Clock::time_point now{};
    Sockets sockets;
    // The figures too are written all shift long: no descriptor may stay open.
    const std::string metrics = testing::TempDir() + "shift.prom";
    station::Runner runner(
        {{}, false, {"", image, "fw.binrx", false, {}, 0}, records, false, metrics, "1"}, sockets,
        launcher, sockets, [&] { return now; });
    runner.scan(); // the first look: nothing there yet
    int units = 0;
    std::vector<std::shared_ptr<std::atomic<bool>>> out;
    const auto shift = [&](int until) { // until that many units have come and gone
        while (units < until || !sockets.plugged.empty() || runner.unitsRunning() > 0) {
            for (const station::SlotRow& row : runner.rows()) { // the units seen
                const auto in = sockets.plugged.find(row.socket);
                const int kind = in == sockets.plugged.end() ? -1 : std::stoi(row.port) % 10;
                using S = station::SlotState;
                if (kind >= 0 && row.port == in->second.path &&
                    (row.state == S::Passed || row.state == S::Failed ||
                     (kind == 9 && row.state == S::Operator) ||
                     (kind == 7 && row.state == S::Flashing && row.progress.value > 0))) {
                    out.push_back(removed.at(row.port)); // let go once the runner knows
                    removed.erase(row.port);
                    sockets.plugged.erase(in);
                }
            }
            for (int s = 1; s <= 16 && units < until; ++s) {
                const std::string socket = "1-1." + std::to_string(s), port = std::to_string(units);
                if (!sockets.plugged.contains(socket)) {
                    removed[port] = std::make_shared<std::atomic<bool>>(false);
                    sockets.plugged[socket] = {port,
                                               {"", "", "\x1b]0;" + port, "0403", "6001", socket}};
                    ++units;
                }
            }
            now += 200ms;
            runner.scan();
            for (; !out.empty(); out.pop_back()) {
                out.back()->store(true);
            }
            runner.answer();
            launcher.wait(1ms);
            runner.deliver();
        }
    };
    shift(100);
    const auto first = usage();
    shift(2000);
    const auto last = usage();
    EXPECT_EQ(std::vector(last.begin(), last.begin() + 3),
              std::vector(first.begin(), first.begin() + 3));
    // The counters keep each unit's serial number: some 100 bytes a unit.
    EXPECT_LT(last[3], first[3] + 1900 * 256) << first[3];
    EXPECT_EQ(runner.totals().passed, 1200); // kinds 0 to 5
    // The table shows what adapters, fixture labels and failures carry escaped.
    std::vector<station::SlotRow> rows = runner.rows();
    rows.emplace_back().label = "\x1b]2;A17";
    rows.back().state = station::SlotState::Failed;
    rows.back().reason = "\x1b[2J";
    std::string table;
    for (const std::string& line : station::tableLines(rows, runner.totals())) {
        table += line;
    }
    for (const char* shown : {"\\x1b]0;", "\\x1b]2;A17", "\\x1b[2J"}) {
        EXPECT_NE(table.find(shown), std::string::npos) << table;
    }
    EXPECT_EQ(table.find('\x1b'), std::string::npos) << table;
    std::ifstream in(records);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    EXPECT_NE(text.find("\"attempt\":2"), std::string::npos) << "unit 1's second run";
}

} // namespace
