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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char name[] = "/dev/shm/zk-fuzz-XXXXXX";
    const std::string root = mkdtemp(name);
    const auto inside = [&root](std::string_view path) {
        return fs::path(root) / fs::path(path).relative_path();
    };
    const auto fields = fuzz::split({reinterpret_cast<const char*>(data), size}, '\0');
    std::error_code ec;
    for (size_t i = 0; i < fields.size() && i < 200; ++i) {
        if (fields[i].find("..") != std::string_view::npos) {
            continue; // no way out of the tree
        }
        const char op = fields[i].empty() ? 'd' : fields[i][0];
        const fs::path path = inside(fields[i].substr(fields[i].empty() ? 0 : 1));
        const bool paired = op == 'f' || op == 'l';
        const std::string_view next = paired && i + 1 < fields.size() ? fields[++i] : "";
        fs::create_directories(paired ? path.parent_path() : path, ec);
        if (op == 'f') {
            std::ofstream(path) << next;
        } else if (op == 'l' && next.find("..") == std::string_view::npos) {
            fs::create_symlink(inside(next), path, ec);
        }
    }
    SetupRoots roots; // the machine's, inside the tree
    roots.modulesAlias = "/lib/modules/6.1.0/modules.alias";
    for (std::string* p :
         {&roots.sys, &roots.dev, &roots.proc, &roots.run, &roots.groupFile, &roots.modulesAlias}) {
        p->insert(0, root);
    }
    for (auto* dirs : {&roots.ruleDirs, &roots.lockDirs}) {
        for (std::string& dir : *dirs) {
            dir.insert(0, root);
        }
    }
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
