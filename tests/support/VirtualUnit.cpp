#include "VirtualUnit.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <sys/file.h>
#include <unistd.h>

namespace {

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

VirtualUnit::VirtualUnit(const std::vector<std::string>& options) {
    char templ[] = "/tmp/zkunit-XXXXXX";
    if (mkdtemp(templ) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    dir_ = templ;
    std::vector<std::string> argv{ZK_SIM_PATH, "--out", dir_.string()};
    argv.insert(argv.end(), options.begin(), options.end());
    sim_ = std::make_unique<Process>(argv);
    if (!sim_->waitForOutput("ready\n", std::chrono::seconds(10))) {
        throw std::runtime_error("virtual unit did not start: " + sim_->error());
    }
    path_ = lines(sim_->output()).front();
    port_ = path_;
    if (wineCli().empty()) {
        return;
    }
    // A COM port that no other unit of a test running beside this one holds.
    const std::filesystem::path links = std::getenv("ZK_E2E_WINE_COM_DIR");
    for (int n = 20; n <= 27 && comLock_ < 0; ++n) {
        const std::string name = "COM" + std::to_string(n);
        const int fd =
            ::open((links / (name + ".lock")).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) {
            comLock_ = fd;
            port_ = name;
            std::error_code ec;
            std::filesystem::remove(links / name, ec);
            std::filesystem::create_symlink(path_, links / name);
        } else if (fd >= 0) {
            ::close(fd);
        }
    }
    if (comLock_ < 0) {
        throw std::runtime_error("no free COM port in " + links.string());
    }
}

const std::string& wineCli() {
    static const std::string cli = [] {
        const char* exe = std::getenv("ZK_E2E_WINDOWS_CLI");
        return std::string(exe != nullptr ? exe : "");
    }();
    return cli;
}

std::string windowsPath(const std::filesystem::path& path) {
    std::string text = "Z:" + path.string();
    std::replace(text.begin(), text.end(), '/', '\\');
    return text;
}

VirtualUnit::~VirtualUnit() {
    sim_->signal(SIGTERM);
    sim_->wait(std::chrono::seconds(5));
    if (comLock_ >= 0) {
        ::close(comLock_);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::filesystem::path VirtualUnit::write(const std::string& name,
                                         const std::vector<uint8_t>& bytes) const {
    std::ofstream(dir_ / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return dir_ / name;
}

std::vector<UnitEvent> VirtualUnit::events(const std::string& name) const {
    std::vector<UnitEvent> all;
    for (const auto& line : lines(readFile(dir_ / "events.log"))) {
        std::istringstream fields(line);
        UnitEvent e;
        fields >> e.ms >> e.name;
        std::getline(fields >> std::ws, e.args);
        if (name.empty() || e.name == name) {
            all.push_back(e);
        }
    }
    return all;
}

bool VirtualUnit::waitForEvent(const std::string& name, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (events(name).empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return !events(name).empty();
}

std::vector<uint8_t> VirtualUnit::received() const {
    const std::string bytes = readFile(dir_ / "received.bin");
    return {bytes.begin(), bytes.end()};
}

std::vector<nlohmann::json> VirtualUnit::records() const {
    std::vector<nlohmann::json> all;
    for (const auto& line : lines(readFile(dir_ / "state/zkflash/flashes.jsonl"))) {
        all.push_back(nlohmann::json::parse(line, nullptr, false));
    }
    return all;
}

std::vector<uint8_t> testImage(size_t size, uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> bytes(size);
    for (auto& b : bytes) {
        b = static_cast<uint8_t>(gen());
    }
    return bytes;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}
