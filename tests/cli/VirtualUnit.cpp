#include "VirtualUnit.h"

#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

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
    const std::string out = sim_->output();
    path_ = out.substr(0, out.find('\n'));
}

VirtualUnit::~VirtualUnit() {
    sim_->signal(SIGTERM);
    sim_->wait(std::chrono::seconds(5));
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::vector<UnitEvent> VirtualUnit::events() const {
    std::vector<UnitEvent> all;
    std::ifstream in(dir_ / "events.log");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        UnitEvent e;
        fields >> e.ms >> e.name;
        std::getline(fields >> std::ws, e.args);
        all.push_back(e);
    }
    return all;
}

std::vector<UnitEvent> VirtualUnit::events(const std::string& name) const {
    std::vector<UnitEvent> some;
    for (const auto& e : events()) {
        if (e.name == name) {
            some.push_back(e);
        }
    }
    return some;
}

bool VirtualUnit::waitForEvent(const std::string& name, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (events(name).empty()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
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

std::unique_ptr<Process> VirtualUnit::startLoader(const std::vector<std::string>& args) const {
    return startLoader({this}, args);
}

std::unique_ptr<Process> VirtualUnit::startLoader(const std::vector<const VirtualUnit*>& units,
                                                  const std::vector<std::string>& args) {
    std::string sockets;
    for (const VirtualUnit* unit : units) {
        sockets += (sockets.empty() ? "" : ":") + unit->path() + "=" +
                   (unit->dir() / "modemline.sock").string();
    }
    std::vector<std::string> argv{ZK_CLI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<Process>(
        argv, std::map<std::string, std::string>{
                  {"LD_PRELOAD", ZK_MODEMLINE_LIB},
                  {"ZK_MODEMLINE_SOCKET", sockets},
                  {"XDG_STATE_HOME", (units.front()->dir() / "state").string()}});
}

TempDir::TempDir() {
    char templ[] = "/tmp/zkfw-XXXXXX";
    if (mkdtemp(templ) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::filesystem::path TempDir::write(const std::string& name,
                                     const std::vector<uint8_t>& bytes) const {
    const auto file = path_ / name;
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return file;
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
    std::string line;
    while (std::getline(in, line)) {
        out.push_back(line);
    }
    return out;
}
