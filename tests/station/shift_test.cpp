// A station's shift in virtual time: 2,000 units pass through the 16 sockets
// of one runner, plugged, flashed and taken out again: receivers waiting for
// the operator (one in ten taken out still waiting), units in the wrong mode,
// units taken out mid-flash, runs that die. Once the first 100 have passed,
// the process's descriptors, threads and child processes stay as they were,
// and its heap grows by no more than what the counters keep of each unit.
#include "station/Runner.h"
#include "station/ThreadLauncher.h"
#include "virtual_link.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/allocator_interface.h>
#else
#include <malloc.h>
#endif

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

struct Usage {
    size_t fds = 0, threads = 0, children = 0, heap = 0;
};

Usage usage() {
    Usage u;
    u.fds = static_cast<size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        ++u.threads;
        std::ifstream in(task.path() / "children");
        u.children += static_cast<size_t>(std::distance(std::istream_iterator<int>(in), {}));
    }
#if defined(__SANITIZE_ADDRESS__)
    u.heap = __sanitizer_get_current_allocated_bytes();
#else
    u.heap = mallinfo2().uordblks;
#endif
    return u;
}

// Unit n's line: the virtual receiver, in the wrong mode for n % 10 == 6;
// for 7 it stands still mid-transfer until taken out, for 8 its run dies.
struct UnitLink : sim::UnitLink {
    UnitLink(int n, std::shared_ptr<std::atomic<bool>> out)
        : sim::UnitLink(sim::Target::Receiver, faults(n)), kind(n % 10), removed(std::move(out)) {}
    static sim::Faults faults(int n) {
        sim::Faults f;
        f.wrongMode = n % 10 == 6;
        return f;
    }
    int32_t open(const std::string& path, uint32_t speed) override {
        return kind == 8 ? throw std::runtime_error("out of memory") : HeldLink::open(path, speed);
    }
    uint8_t readByte() override {
        while (kind == 7 && bytesWritten() >= 3000 && !removed->load()) {
            std::this_thread::sleep_for(1ms);
        }
        if (removed->load()) {
            hangUp();
        }
        return HeldLink::readByte();
    }
    const int kind;
    const std::shared_ptr<std::atomic<bool>> removed;
};

struct Sockets : station::PortWatch, station::RunnerView {
    std::vector<station::PresentPort> present() override { return ports; }
    std::vector<station::PresentPort> ports;
};

TEST(Shift, TwoThousandUnitsLeaveNothingBehind) {
    const std::string records = testing::TempDir() + "shift.jsonl";
    // Lines of other versions, and an earlier run of U1.
    std::ofstream(records) << "{\"outcome\":null,\"adapter_serial\":5}\n[1]\n"
                              "{\"outcome\":\"success\",\"adapter_serial\":\"U1\"}\n";
    std::map<std::string, std::shared_ptr<std::atomic<bool>>> removed; // by port
    station::ThreadLauncher launcher(
        [&](const std::string& port) {
            return std::make_unique<UnitLink>(std::stoi(port.substr(1)), removed.at(port));
        },
        {"shift_test", "1", records, {}});
    const auto image = std::make_shared<std::vector<uint8_t>>(5000, uint8_t{0x5A});
    const station::RunnerSettings settings{
        {}, false, {"", image, "fw.binrx", false, {}, 0}, records, false};
    station::Clock::time_point now{};
    Sockets sockets;
    station::Runner runner(settings, sockets, launcher, sockets, [&] { return now; });
    runner.scan(); // the first look: nothing there yet
    int plugged = 0;
    const auto shift = [&](int units) { // until that many have come and gone
        while (plugged < units || !sockets.ports.empty() || runner.unitsRunning() > 0) {
            for (size_t s = 1; s <= 16; ++s) {
                const std::string socket = "1-1." + std::to_string(s);
                const auto in =
                    std::find_if(sockets.ports.begin(), sockets.ports.end(),
                                 [&](const auto& p) { return p.info.socket == socket; });
                if (in == sockets.ports.end()) {
                    if (plugged < units) {
                        const std::string port = "/" + std::to_string(plugged);
                        removed[port] = std::make_shared<std::atomic<bool>>(false);
                        const std::string serial = "U" + std::to_string(plugged++);
                        sockets.ports.push_back({port, {"", "", serial, "0403", "6001", socket}});
                    }
                    continue;
                }
                const auto row = std::find_if(runner.rows().begin(), runner.rows().end(),
                                              [&](const auto& r) { return r.socket == socket; });
                const int kind = std::stoi(in->path.substr(1)) % 10;
                using S = station::SlotState;
                if (row == runner.rows().end() || row->port != in->path) {
                    continue; // not seen yet
                }
                if (row->state == S::Passed || row->state == S::Failed ||
                    (kind == 9 && row->state == S::Operator) ||
                    (kind == 7 && row->state == S::Flashing && row->progress.value > 0)) {
                    removed.at(in->path)->store(true);
                    removed.erase(in->path);
                    sockets.ports.erase(in);
                }
            }
            now += 200ms;
            runner.scan();
            runner.answer();
            launcher.wait(1ms);
            runner.deliver();
        }
    };
    shift(100);
    const Usage first = usage();
    shift(2000);
    const Usage last = usage();
    EXPECT_EQ(last.fds, first.fds);
    EXPECT_EQ(last.threads, first.threads);
    EXPECT_EQ(last.children, first.children);
    // The counters keep each unit's serial number: some 100 bytes a unit.
    EXPECT_LT(last.heap, first.heap + 1900 * 256) << first.heap;

    // Every unit's record, the earlier run of U1 counted though other
    // versions' lines stand beside it; a run that died wrote none.
    std::map<std::string, int> outcomes;
    std::ifstream in(records);
    for (std::string line; std::getline(in, line);) {
        const Json record = Json::parse(line);
        for (const auto& key : {"outcome", "attempt"}) {
            ++outcomes[key + (record.is_object() ? record.value(key, Json()).dump() : "")];
        }
    }
    EXPECT_EQ(outcomes["outcome\"success\""], 1201);
    EXPECT_EQ(outcomes["outcome\"wrong mode\""], 200);
    EXPECT_EQ(outcomes["outcome\"cancelled\""] + outcomes["outcome\"send error\""], 400);
    EXPECT_EQ(outcomes["attempt2"], 1);
    EXPECT_EQ(runner.totals().passed, 1200);
}

} // namespace
