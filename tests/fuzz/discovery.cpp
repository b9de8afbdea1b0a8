// Port discovery and the setup check over a sysfs, /dev, /proc and /run tree
// built from the fuzzer's bytes: fields separated by NUL, "d<path>" a folder,
// "f<path>" a file whose contents are the next field, "l<path>" a link to
// the tree's path in the next field. Whatever the names, links and contents,
// discovery and every check end, --list shows each port on one line and
// --doctor its findings as a terminal shows them, as they are.
#include "Fuzz.h"
#include "cli/cli.h"
#include "serial/ports_linux.h"
#include "setup/setup_linux.h"

#include <cerrno>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

// The path inside the tree: no way out of it through "..".
fs::path inside(const fs::path& root, std::string_view path) {
    fs::path out = root;
    for (const auto& part : fs::path(path).relative_path()) {
        out /= part == ".." ? fs::path("_") : part;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string_view> fields;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (size_t at = 0; at < text.size() && fields.size() < 200;) {
        const size_t end = std::min(text.find('\0', at), text.size());
        fields.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    char name[] = "/dev/shm/zk-fuzz-XXXXXX";
    const fs::path root = mkdtemp(name);
    std::error_code ec;
    for (size_t i = 0; i < fields.size(); ++i) {
        const char op = fields[i].empty() ? 'd' : fields[i][0];
        const fs::path path = inside(root, fields[i].substr(fields[i].empty() ? 0 : 1));
        const bool paired = op == 'f' || op == 'l';
        const std::string_view next = paired && i + 1 < fields.size() ? fields[++i] : "";
        fs::create_directories(paired ? path.parent_path() : path, ec);
        if (op == 'f') {
            std::ofstream(path) << next;
        } else if (op == 'l') {
            fs::create_symlink(inside(root, next), path, ec);
        }
    }
    SetupRoots roots{root / "sys",
                     root / "dev",
                     root / "proc",
                     root / "run",
                     root / "etc/group",
                     {root / "etc/udev/rules.d", root / "lib/udev/rules.d"},
                     root / "lib/modules/6.1.0/modules.alias",
                     {root / "run/lock"}};
    const SetupIdentity who{1000, {1000, 20}, "ann", false};
    std::vector<std::string> ports;
    Serial_ListPortsIn(roots.sys, roots.dev, ports);
    for (const auto& port : ports) {
        std::string line = cli::listLine(port, Serial_PortInfoIn(roots.sys, port));
        FUZZ_REQUIRE(std::count(line.begin(), line.end(), '\t') == 2 && line.ends_with('\n'));
        std::replace(line.begin(), line.end(), '\t', ' ');
        FUZZ_REQUIRE(fuzz::shown(line, true) && line.find('\n') == line.size() - 1);
        SetupCheck_Port(roots, who, port);
        SetupCheck_OpenHint(roots, who, EACCES, port);
    }
    FUZZ_REQUIRE(fuzz::shown(SetupCheck_Text(SetupCheck_Run(roots, who, {})), true));
    fs::remove_all(root, ec);
    return 0;
}
