// Linux: the setup check's readers of sysfs, /proc, /dev, the udev rule
// directories, /etc/group and modules.alias. They read files only.
#include "setup/setup_facts_linux.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fnmatch.h>
#include <fstream>
#include <sstream>
#include <sys/xattr.h>

namespace setup {

namespace {

// The entries of `dir`; none when it cannot be read.
std::vector<fs::path> entriesOf(const fs::path& dir) {
    std::vector<fs::path> entries;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec); !ec && it != fs::end(it); it.increment(ec)) {
        entries.push_back(it->path());
    }
    return entries;
}

bool isNumber(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
}

// The first ancestor of `dir` with a vendor id: the USB device.
fs::path usbDeviceOf(fs::path dir, const fs::path& top) {
    std::error_code ec;
    for (; dir != top && dir.has_relative_path(); dir = dir.parent_path()) {
        if (fs::exists(dir / "idVendor", ec)) {
            return dir;
        }
    }
    return {};
}

} // namespace

std::string errnoText(int err) {
    return std::string(std::strerror(err)) + " (" + std::to_string(err) + ")";
}

Port describePort(const SetupRoots& roots, const std::string& path, bool named) {
    Port port;
    port.path = path;
    port.named = named;
    std::error_code ec;
    const fs::path node = fs::canonical(path, ec);
    port.exists = !ec && ::stat(node.c_str(), &port.st) == 0;
    port.node = port.exists ? node.string() : path;
    port.name = fs::path(port.node).filename();
    port.info = Serial_PortInfoIn(roots.sys, port.node);
    port.usb = port.info.socket.substr(0, port.info.socket.find(':'));
    const fs::path tty = fs::path(roots.sys) / "class/tty" / port.name;
    port.devNumber = readLine(tty / "dev");
    port.portDir = fs::canonical(tty / "device", ec);
    if (!ec) {
        port.driver = fs::read_symlink(port.portDir / "driver", ec).filename();
        port.usbDir = usbDeviceOf(port.portDir, fs::canonical(roots.sys, ec));
    }
    return port;
}

std::vector<Port> gatherPorts(const SetupRoots& roots, const std::vector<std::string>& named) {
    std::vector<std::string> listed;
    Serial_ListPortsIn(roots.sys, roots.dev, listed);
    std::vector<Port> ports;
    for (const auto& path : listed) {
        ports.push_back(describePort(roots, path, false));
    }
    for (const auto& path : named) {
        Port port = describePort(roots, path, true);
        auto same = std::find_if(ports.begin(), ports.end(), [&](const Port& p) {
            return p.exists && port.exists && p.node == port.node;
        });
        if (same != ports.end()) {
            *same = port;
        } else {
            ports.push_back(port);
        }
    }
    return ports;
}

std::string Processes::pidOf(const std::string& name) const {
    for (const auto& [pid, n] : names) {
        if (n == name) {
            return pid;
        }
    }
    return {};
}

std::string Processes::named(const std::string& pid) const {
    const auto it = names.find(pid);
    return (it == names.end() || it->second.empty() ? "a process" : it->second) + " (pid " + pid +
           ")";
}

Processes scanProcesses(const SetupRoots& roots, uid_t uid, const std::set<std::string>& nodes,
                        const std::set<std::string>& withCmdline) {
    Processes found;
    for (const auto& process : entriesOf(roots.proc)) {
        const std::string pid = process.filename();
        if (!isNumber(pid)) {
            continue;
        }
        const std::string name = readLine(process / "comm");
        found.names[pid] = name;
        if (withCmdline.contains(name)) {
            std::vector<std::string>& argv = found.cmdlines[pid];
            std::istringstream in(readText(process / "cmdline"));
            for (std::string arg; std::getline(in, arg, '\0');) {
                argv.push_back(arg);
            }
        }
        std::error_code fdEc;
        fs::directory_iterator fds(process / "fd", fdEc);
        if (fdEc) {
            // Gone meanwhile, or another user's: without root its
            // descriptors cannot be read. Kernel threads (no command
            // line) hold no ports.
            struct stat owner {};
            if (fdEc.value() != ENOENT && ::stat(process.c_str(), &owner) == 0 &&
                owner.st_uid != uid && !readText(process / "cmdline").empty()) {
                ++found.hidden;
            }
            continue;
        }
        std::set<std::string> held;
        for (; !fdEc && fds != fs::end(fds); fds.increment(fdEc)) {
            std::error_code linkEc;
            const fs::path target = fs::read_symlink(fds->path(), linkEc);
            if (linkEc) {
                continue;
            }
            if (nodes.contains(target) && held.insert(target).second) {
                found.holders[target].push_back(pid);
            } else if (target.filename() == "ptmx") {
                // A master's fdinfo names its slave: "tty-index:\t3".
                fs::path slave = target.parent_path();
                slave /= slave.filename() == "pts" ? "" : "pts";
                std::ifstream info(process / "fdinfo" / fds->path().filename());
                for (std::string line; std::getline(info, line);) {
                    if (line.starts_with("tty-index:")) {
                        slave = (slave / line.substr(line.find_first_not_of(" \t", 10)))
                                    .lexically_normal();
                        if (nodes.contains(slave)) {
                            found.masters[slave].push_back(pid);
                        }
                    }
                }
            }
        }
    }
    return found;
}

std::vector<FileLock> readLocks(const SetupRoots& roots) {
    // "1: FLOCK  ADVISORY  WRITE 5701 00:19:3 0 EOF", the device in hex; a
    // waiter's line ("1: -> FLOCK ...") holds nothing and does not parse.
    std::vector<FileLock> locks;
    std::ifstream in(fs::path(roots.proc) / "locks");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, where;
        fields >> number >> kind >> mode >> access >> pid >> where;
        FileLock lock{kind, pid};
        unsigned long long inode = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%llu", &lock.major, &lock.minor, &inode) == 3) {
            lock.inode = inode;
            locks.push_back(lock);
        }
    }
    return locks;
}

std::vector<LockFile> readLockFiles(const SetupRoots& roots) {
    std::vector<LockFile> files;
    std::set<fs::path> seen; // /var/lock is usually a link to /run/lock
    for (const auto& dir : roots.lockDirs) {
        std::error_code ec;
        const fs::path real = fs::canonical(dir, ec);
        if (ec || !seen.insert(real).second) {
            continue;
        }
        for (const auto& file : entriesOf(real)) {
            const std::string name = file.filename();
            if (!name.starts_with("LCK..")) {
                continue;
            }
            // Written as ten digits and a line end; old programs wrote a
            // binary int.
            const std::string text = readText(file);
            std::string pid = readLine(file);
            pid.erase(0, pid.find_first_not_of(' '));
            if (!isNumber(pid) && text.size() == sizeof(int32_t)) {
                int32_t binary = 0;
                std::memcpy(&binary, text.data(), sizeof binary);
                pid = std::to_string(binary);
            }
            files.push_back({fs::path(dir) / name, name.substr(5), isNumber(pid) ? pid : ""});
        }
    }
    return files;
}

std::map<std::string, fs::path> ruleFiles(const SetupRoots& roots) {
    std::map<std::string, fs::path> files;
    std::set<std::string> masked;
    std::set<fs::path> seen; // /lib is /usr/lib on a merged system
    for (const auto& dir : roots.ruleDirs) {
        std::error_code ec;
        const fs::path real = fs::canonical(dir, ec);
        if (ec || !seen.insert(real).second) {
            continue;
        }
        for (const auto& file : entriesOf(dir)) {
            const std::string name = file.filename();
            if (!name.ends_with(".rules") || files.contains(name) || masked.contains(name)) {
                continue;
            }
            std::error_code linkEc;
            if (fs::read_symlink(file, linkEc) == "/dev/null" || fs::file_size(file, linkEc) == 0) {
                masked.insert(name);
            } else {
                files[name] = file;
            }
        }
    }
    return files;
}

std::vector<Group> readGroups(const std::string& file) {
    // name:password:gid:member,member
    std::vector<Group> groups;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string name, password, gid, members;
        std::getline(fields, name, ':');
        std::getline(fields, password, ':');
        std::getline(fields, gid, ':');
        std::getline(fields, members);
        if (!isNumber(gid)) {
            continue;
        }
        Group group{name, static_cast<gid_t>(std::strtoul(gid.c_str(), nullptr, 10)), {}};
        std::istringstream list(members);
        for (std::string member; std::getline(list, member, ',');) {
            group.members.push_back(member);
        }
        groups.push_back(group);
    }
    return groups;
}

std::string groupName(const std::vector<Group>& groups, gid_t gid) {
    for (const auto& group : groups) {
        if (group.gid == gid) {
            return group.name;
        }
    }
    return std::to_string(gid);
}

std::vector<AclEntry> readAcl(const std::string& path) {
    // A version word (2), then entries of tag, permissions and id, little-endian.
    unsigned char buffer[4 + 8 * 64];
    const ssize_t size = ::getxattr(path.c_str(), "system.posix_acl_access", buffer, sizeof buffer);
    std::vector<AclEntry> entries;
    if (size < 4) {
        return entries;
    }
    for (size_t at = 4; at + 8 <= static_cast<size_t>(size); at += 8) {
        const unsigned char* e = buffer + at;
        entries.push_back({static_cast<uint16_t>(e[0] | e[1] << 8),
                           static_cast<uint16_t>(e[2] | e[3] << 8),
                           static_cast<uint32_t>(e[4] | e[5] << 8 | e[6] << 16) |
                               static_cast<uint32_t>(e[7]) << 24});
    }
    return entries;
}

std::vector<Unbound> unboundAdapters(const SetupRoots& roots, const std::vector<Port>& ports) {
    // USB devices without a tty, each with its interfaces' modaliases.
    std::vector<std::pair<fs::path, std::vector<fs::path>>> candidates;
    for (const auto& device : entriesOf(fs::path(roots.sys) / "bus/usb/devices")) {
        const std::string name = device.filename();
        const bool hasTty =
            std::any_of(ports.begin(), ports.end(), [&](const Port& p) { return p.usb == name; });
        if (hasTty || name.find(':') != std::string::npos || name.starts_with("usb")) {
            continue;
        }
        std::error_code ec;
        const fs::path dir = fs::canonical(device, ec);
        std::vector<fs::path> interfaces;
        for (const auto& sub : entriesOf(dir)) {
            if (sub.filename().string().starts_with(name + ":")) {
                interfaces.push_back(sub);
            }
        }
        candidates.emplace_back(dir, interfaces);
    }
    std::vector<Unbound> found;
    if (candidates.empty()) {
        return found;
    }
    // The USB-serial drivers are the modules under drivers/usb/serial (per
    // modules.dep beside modules.alias), and CDC-ACM.
    std::set<std::string> serialModules = {"cdc_acm", "ftdi_sio", "cp210x", "ch341", "pl2303"};
    std::ifstream dep(fs::path(roots.modulesAlias).parent_path() / "modules.dep");
    for (std::string line; std::getline(dep, line);) {
        const std::string file = line.substr(0, line.find(':'));
        if (file.find("/drivers/usb/serial/") != std::string::npos) {
            std::string module = fs::path(file).filename();
            module = module.substr(0, module.find(".ko"));
            std::replace(module.begin(), module.end(), '-', '_');
            serialModules.insert(module);
        }
    }
    // Only aliases that name a vendor and a product: "usb:v0403p6001d*dc*...".
    std::vector<std::pair<std::string, std::string>> aliases;
    std::ifstream in(roots.modulesAlias);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string word, pattern, module;
        fields >> word >> pattern >> module;
        if (word == "alias" && pattern.size() > 15 && pattern.starts_with("usb:v") &&
            pattern[9] == 'p' && pattern.find_first_of("*?[") >= 14 &&
            serialModules.contains(module)) {
            aliases.emplace_back(pattern, module);
        }
    }
    for (const auto& [dir, interfaces] : candidates) {
        for (const auto& interface : interfaces) {
            const std::string modalias = readLine(interface / "modalias");
            const auto match = std::find_if(aliases.begin(), aliases.end(), [&](const auto& a) {
                return fnmatch(a.first.c_str(), modalias.c_str(), 0) == 0;
            });
            if (!modalias.empty() && match != aliases.end()) {
                found.push_back({dir.filename(), dir, match->second, interface});
                break;
            }
        }
    }
    return found;
}

} // namespace setup
