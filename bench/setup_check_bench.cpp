// Times the setup check with 16 adapters present: a temporary sysfs with 16
// FTDI adapters (their nodes plain files), this machine's /proc, and 16
// pseudo-terminals named for the open tries (exact speeds, low latency). The
// whole run must stay within 3 s.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "Pty.h"
#include "setup/setup_linux.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kPorts = 16;
constexpr double kBoundMs = 3000;

void writeFile(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
}

void plugAdapter(const fs::path& root, int n) {
    const std::string usb = "1-1." + std::to_string(n + 1);
    const std::string tty = "ttyUSB" + std::to_string(n);
    const fs::path device = root / "sys/devices/pci0/usb1" / usb;
    const fs::path port = device / (usb + ":1.0") / tty;
    writeFile(device / "idVendor", "0403");
    writeFile(device / "idProduct", "6001");
    writeFile(port / "latency_timer", "16");
    writeFile(port / "tty" / tty / "dev", "188:" + std::to_string(n));
    fs::create_directory_symlink(port, port / "tty" / tty / "device");
    for (const char* dir : {"class/tty", "bus/usb-serial/devices", "bus/usb/devices"}) {
        fs::create_directories(root / "sys" / dir);
    }
    fs::create_directory_symlink(port / "tty" / tty, root / "sys/class/tty" / tty);
    fs::create_directory_symlink(port, root / "sys/bus/usb-serial/devices" / tty);
    fs::create_directory_symlink(device, root / "sys/bus/usb/devices" / usb);
    writeFile(root / "dev" / tty, "");
}

} // namespace

int main() {
    char name[] = "/tmp/zk-setup-bench-XXXXXX";
    const fs::path root = mkdtemp(name);
    for (int n = 0; n < kPorts; ++n) {
        plugAdapter(root, n);
    }
    std::vector<std::unique_ptr<Pty>> ptys;
    std::vector<std::string> named;
    for (int n = 0; n < kPorts; ++n) {
        ptys.push_back(std::make_unique<Pty>());
        named.push_back(ptys.back()->path());
    }
    SetupRoots roots = SetupCheck_MachineRoots();
    roots.sys = root / "sys";
    roots.dev = root / "dev";
    const auto start = Clock::now();
    const auto checks = SetupCheck_Run(roots, SetupCheck_ThisProcess(), named);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    fs::remove_all(root);
    std::printf("%d adapters and %d named pseudo-terminals: %zu checks in %.0f ms (bound %.0f "
                "ms)\n",
                kPorts, kPorts, checks.size(), ms, kBoundMs);
    return ms <= kBoundMs ? EXIT_SUCCESS : EXIT_FAILURE;
}
