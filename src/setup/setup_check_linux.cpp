// Linux: the setup check's judgements over what setup_facts reads, each with
// the fix on Debian and Ubuntu.
#include "setup/setup_linux.h"

#include "setup/setup_facts_linux.h"
#include "setup/setup_probe.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <pwd.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace setup;

constexpr const char* kOurRule = "60-zkflash.rules";
constexpr const char* kSeatRule = "73-seat-late.rules"; // turns uaccess into ACLs
// Opening a port can stall in a driver (a wedged adapter); the tries on named
// ports together get this long.
constexpr std::chrono::milliseconds kProbeDeadline{2000};

std::string joined(const std::vector<std::string>& parts, const std::string& separator = ", ") {
    std::string text;
    for (const auto& part : parts) {
        text += (text.empty() ? "" : separator) + part;
    }
    return text;
}

// "crw-rw----"
std::string modeText(mode_t mode) {
    std::string text = S_ISCHR(mode) ? "c" : "-";
    const char* const letters = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit) {
        text += (mode & (0400u >> bit)) != 0 ? letters[bit] : '-';
    }
    return text;
}

std::string userName(uid_t uid) {
    const struct passwd* entry = ::getpwuid(uid);
    return entry != nullptr ? entry->pw_name : std::to_string(uid);
}

// The package's rule, as udev sees it.
struct OurRule {
    fs::path path;           // empty when not installed
    bool beforeSeat = false; // sorts before the seat rule
    bool seatRule = false;   // the seat rule exists at all
    std::string text;
    // Whether it names this adapter's ids (ours names the units' FTDI chips).
    bool covers(const SerialPortInfo& info) const {
        return !info.vendorId.empty() &&
               text.find("\"" + info.vendorId + "\"") != std::string::npos &&
               text.find(info.productId) != std::string::npos;
    }
};

// Everything read once for one run of the checks.
struct Machine {
    SetupRoots roots;
    SetupIdentity who;
    std::vector<Port> ports;
    Processes processes;
    std::vector<FileLock> locks;
    std::vector<LockFile> lockFiles;
    std::map<std::string, fs::path> rules;
    std::vector<Group> groups;
    OurRule ourRule;
    bool udevDatabase = false; // a udev daemon keeps its database in run/udev/data

    Machine(const SetupRoots& r, const SetupIdentity& w, std::vector<Port> p)
        : roots(r), who(w), ports(std::move(p)) {
        std::set<std::string> nodes;
        for (const auto& port : ports) {
            nodes.insert(port.node);
        }
        processes = scanProcesses(roots, who.uid, nodes, {"ModemManager", "brltty"});
        locks = readLocks(roots);
        lockFiles = readLockFiles(roots);
        rules = ruleFiles(roots);
        groups = readGroups(roots.groupFile);
        for (const auto& [name, path] : rules) {
            // "60-zkflash.rules" under any number; not "61-zkflash-latency.rules".
            if (name.ends_with("-zkflash.rules") && ourRule.path.empty()) {
                ourRule.path = path;
                ourRule.beforeSeat = name < kSeatRule;
                ourRule.text = readText(path);
            }
        }
        ourRule.seatRule = rules.contains(kSeatRule);
        std::error_code ec;
        udevDatabase = fs::is_directory(fs::path(roots.run) / "udev/data", ec);
    }

    bool inProcessGroups(gid_t gid) const {
        return std::find(who.gids.begin(), who.gids.end(), gid) != who.gids.end();
    }
    bool listedIn(gid_t gid) const {
        for (const auto& group : groups) {
            if (group.gid == gid && std::find(group.members.begin(), group.members.end(),
                                              who.user) != group.members.end()) {
                return true;
            }
        }
        return false;
    }
    // The far end of a pseudo-terminal: the processes with its master open.
    std::vector<std::string> farEndOf(const Port& port) const {
        const auto it = processes.masters.find(port.node);
        return it == processes.masters.end() ? std::vector<std::string>() : it->second;
    }
    // Holders of a port other than its far end (which may keep the slave
    // open too).
    std::vector<std::string> holdersOf(const Port& port) const {
        const auto it = processes.holders.find(port.node);
        const std::vector<std::string> farEnd = farEndOf(port);
        std::vector<std::string> pids;
        if (it != processes.holders.end()) {
            for (const auto& pid : it->second) {
                if (std::find(farEnd.begin(), farEnd.end(), pid) == farEnd.end()) {
                    pids.push_back(pid);
                }
            }
        }
        return pids;
    }
    // "zkflash-cli (pid 4243) with flock" for each lock on the port's node.
    std::vector<std::string> lockersOf(const Port& port) const {
        std::vector<std::string> found;
        if (!port.exists) {
            return found;
        }
        for (const auto& lock : locks) {
            if (lock.major == ::major(port.st.st_dev) && lock.minor == ::minor(port.st.st_dev) &&
                lock.inode == port.st.st_ino) {
                found.push_back(processes.named(lock.pid) + " with " +
                                (lock.kind == "FLOCK" ? "flock" : lock.kind + " lock"));
            }
        }
        for (const auto& file : lockFiles) {
            if (file.device == port.name && processes.names.contains(file.pid)) {
                found.push_back(processes.named(file.pid) + " with " + file.file.string());
            }
        }
        return found;
    }
    // The udev database's properties of the port ("E:KEY=value" lines).
    bool udevProperty(const Port& port, const std::string& entry) const {
        if (port.devNumber.empty()) {
            return false;
        }
        const std::string text =
            readText(fs::path(roots.run) / "udev/data" / ("c" + port.devNumber));
        return text.find("E:" + entry + "\n") != std::string::npos;
    }
};

SetupCheck check(std::string id, CheckStatus status, std::string finding, std::string fix = {}) {
    return {std::move(id), status, std::move(finding), std::move(fix)};
}

// A problem on a port the operator named stops the run; on another it may not
// matter today.
CheckStatus severity(const Port& port) {
    return port.named ? CheckStatus::Failure : CheckStatus::Warning;
}

std::vector<SetupCheck> adapterChecks(const Machine& m) {
    std::vector<SetupCheck> checks;
    std::vector<std::string> paths;
    for (const auto& port : m.ports) {
        if (port.exists) {
            paths.push_back(port.path);
        }
    }
    std::error_code ec;
    if (paths.empty()) {
        const bool usb = fs::exists(fs::path(m.roots.sys) / "bus/usb", ec);
        checks.push_back(check(
            "adapters", CheckStatus::Warning, "no USB-serial or CDC-ACM port found",
            usb ? "plug in the unit's cable; if it is plugged in, see whether the system sees the "
                  "adapter at all (lsusb, from the usbutils package) and the driver checks here"
                : "this system shows no USB devices: in a container, give it the host's /dev and "
                  "/sys, or run the loader on the host"));
    } else {
        checks.push_back(check("adapters", CheckStatus::Ok,
                               std::to_string(paths.size()) + " port" +
                                   (paths.size() == 1 ? "" : "s") + ": " + joined(paths)));
    }
    for (const auto& port : m.ports) {
        const std::string id = "port:" + port.path;
        if (!port.exists) {
            checks.push_back(check(id, port.named ? CheckStatus::Failure : CheckStatus::Warning,
                                   port.path + " does not exist",
                                   port.named ? "see the ports there are with zkflash-cli --list, "
                                                "and plug the adapter in"
                                              : "the kernel has the port but /dev has no node for "
                                                "it: in a container, give it the host's /dev"));
            continue;
        }
        std::vector<std::string> parts;
        std::vector<std::string> farEnd;
        for (const auto& pid : m.farEndOf(port)) {
            farEnd.push_back(m.processes.named(pid));
        }
        parts.push_back(!port.info.description().empty() ? port.info.description()
                        : farEnd.empty()                 ? "not a USB port"
                                         : "a pseudo-terminal whose far end is " + joined(farEnd));
        if (!port.info.socket.empty()) {
            parts.push_back("socket " + port.info.socket);
        }
        if (!port.driver.empty()) {
            parts.push_back("driver " + port.driver);
        }
        checks.push_back(check(id, CheckStatus::Ok, joined(parts)));
    }
    return checks;
}

std::vector<SetupCheck> driverChecks(const Machine& m) {
    std::vector<SetupCheck> checks;
    for (const auto& device : unboundAdapters(m.roots, m.ports)) {
        const std::string ids =
            readLine(device.dir / "idVendor") + ":" + readLine(device.dir / "idProduct");
        const std::string product = readLine(device.dir / "product");
        std::string finding = ids + (product.empty() ? "" : " " + product) + " at " + device.usb +
                              " has no serial port: ";
        std::string fix;
        std::error_code ec;
        const fs::path boundTo = fs::read_symlink(device.interface / "driver", ec);
        if (!fs::exists(fs::path(m.roots.sys) / "module" / device.module, ec)) {
            finding += "its driver " + device.module + " is not loaded";
            fix = "sudo modprobe " + device.module +
                  ", then unplug the adapter and plug it in again; if modprobe finds no such "
                  "module, install the kernel's modules (Debian: sudo apt install "
                  "linux-image-$(uname -r); Ubuntu: sudo apt install "
                  "linux-modules-extra-$(uname -r))";
        } else if (!boundTo.empty()) {
            finding += "its driver " + device.module + " is loaded, but " +
                       boundTo.filename().string() + " has the adapter";
            fix = "unplug the adapter and plug it in again; if " + boundTo.filename().string() +
                  " takes it again, see the brltty check";
        } else {
            finding += "its driver " + device.module + " is loaded but not bound to it";
            fix = "unplug the adapter and plug it in again, or: echo " +
                  device.interface.filename().string() + " | sudo tee /sys/bus/usb/drivers/" +
                  device.module + "/bind";
        }
        checks.push_back(check("driver:" + device.usb, CheckStatus::Failure, finding, fix));
    }
    return checks;
}

SetupCheck ruleCheck(const Machine& m) {
    const std::string reload = "sudo udevadm control --reload && sudo udevadm trigger "
                               "--subsystem-match=tty --action=change";
    if (m.ourRule.path.empty()) {
        return check("udev-rule", CheckStatus::Warning,
                     std::string(kOurRule) + " is not installed: the user at the seat gets no "
                                             "access of their own and ModemManager is not kept "
                                             "away",
                     "install zkflash's package (sudo apt install ./zkflash_*.deb), or copy "
                     "60-zkflash.rules (share/ in the source) to /etc/udev/rules.d/ and run " +
                         reload + "; then unplug the adapter and plug it in again");
    }
    if (!m.ourRule.beforeSeat) {
        return check("udev-rule", CheckStatus::Warning,
                     m.ourRule.path.string() + " sorts after " + kSeatRule +
                         ", so its uaccess tag comes too late to give the seat an ACL",
                     "rename it below 73: sudo mv " + m.ourRule.path.string() + " " +
                         (m.ourRule.path.parent_path() / kOurRule).string() + " && " + reload);
    }
    return check("udev-rule", CheckStatus::Ok,
                 m.ourRule.path.string() + " is installed" +
                     (m.ourRule.seatRule ? std::string(", before ") + kSeatRule +
                                               ", so the seat's user gets an ACL"
                                         : std::string(", but there is no ") + kSeatRule +
                                               ": no seat ACLs on this system, use the group"));
}

// Whether the user may read and write the node, by its owner, group, mode and
// POSIX ACL as the kernel decides; `why` says by which entry.
bool mayOpen(const Machine& m, const Port& port, std::string& why) {
    const struct stat& st = port.st;
    const auto rw = [](unsigned perm) { return (perm & 6u) == 6u; };
    if (m.who.uid == 0) {
        why = "you are root";
        return true;
    }
    const std::vector<AclEntry> acl = readAcl(port.node);
    unsigned mask = 7;
    unsigned groupObj = (st.st_mode >> 3) & 7u;
    for (const auto& e : acl) {
        mask = e.tag == kAclMask ? e.perm : mask;
        groupObj = e.tag == kAclGroupObj ? e.perm : groupObj;
    }
    if (st.st_uid == m.who.uid) {
        why = "you own it";
        return rw((st.st_mode >> 6) & 7u);
    }
    for (const auto& e : acl) {
        if (e.tag == kAclUser && e.id == m.who.uid) {
            why = "ACL for " + m.who.user + " from the seat";
            return rw(e.perm & mask);
        }
    }
    bool groupMatched = false;
    if (m.inProcessGroups(st.st_gid)) {
        groupMatched = true;
        if (rw(groupObj & mask)) {
            why = "group " + groupName(m.groups, st.st_gid);
            return true;
        }
    }
    for (const auto& e : acl) {
        if (e.tag == kAclGroup && m.inProcessGroups(e.id)) {
            groupMatched = true;
            if (rw(e.perm & mask)) {
                why = "ACL for group " + groupName(m.groups, e.id);
                return true;
            }
        }
    }
    if (groupMatched) {
        why = "your group " + groupName(m.groups, st.st_gid) + " may not read and write it";
        return false;
    }
    why = "everyone may";
    return rw(st.st_mode & 7u);
}

SetupCheck accessCheck(const Machine& m, const Port& port) {
    const std::string id = "access:" + port.path;
    std::string why;
    if (mayOpen(m, port, why)) {
        return check(id, CheckStatus::Ok, "you can open it (" + why + ")");
    }
    const gid_t gid = port.st.st_gid;
    const std::string group = groupName(m.groups, gid);
    const std::string owner = userName(port.st.st_uid);
    const std::string rights = owner + ":" + group + " " + modeText(port.st.st_mode);
    const std::string join = "sudo adduser " + m.who.user + " " + group + ", then log in again";
    const bool groupMay = gid != 0 && ((port.st.st_mode >> 3) & 6u) == 6u;
    const auto fails = [&](const std::string& finding, const std::string& fix) {
        return check(id, CheckStatus::Failure, "you cannot open it: " + finding, fix);
    };
    if (!groupMay) {
        const std::string finding = "it is " + rights + ", so only " + owner + " can open it";
        if (port.info.vendorId.empty()) {
            return fails(finding, "run the loader as " + owner +
                                      ", or give yourself access: sudo "
                                      "setfacl -m u:" +
                                      m.who.user + ":rw " + port.path);
        }
        return fails(finding,
                     std::string("Debian and Ubuntu give serial ports to group dialout, mode 660, "
                                 "through udev: ") +
                         (m.udevDatabase
                              ? "a rule in /etc/udev/rules.d may set other rights (grep -l "
                                "MODE /etc/udev/rules.d/*); mend it, then unplug the adapter "
                                "and plug it in again"
                              : "no udev daemon runs here, so the node kept the kernel's "
                                "rights: start it (sudo systemctl start systemd-udevd) and plug "
                                "the adapter in again") +
                         "; until it is unplugged: sudo chgrp dialout " + port.path +
                         " && sudo chmod 660 " + port.path);
    }
    if (m.listedIn(gid)) {
        return fails("it is " + rights + " and you joined " + group +
                         " after this login began, so the group does not count yet",
                     "log out and in again (or start a shell in the group: newgrp " + group + ")");
    }
    const std::string notIn = "it is " + rights + " and you are not in " + group;
    if (m.who.ssh) {
        return fails(notIn + ", and over ssh the seat grants no ACL", join);
    }
    if (m.ourRule.path.empty()) {
        return fails(notIn, "install zkflash's package (its udev rule gives the user at the seat "
                            "access), then unplug the adapter and plug it in again; or " +
                                join);
    }
    if (!m.ourRule.covers(port.info)) {
        return fails(notIn + ", and the package's udev rule does not cover this adapter",
                     "the rule covers the units' FTDI adapters only: " + join);
    }
    if (!m.ourRule.beforeSeat || !m.ourRule.seatRule) {
        return fails(notIn + ", and the udev rule cannot give the seat an ACL (see udev-rule)",
                     join);
    }
    return fails(notIn + ", and the udev rule is installed but the node got no ACL for you",
                 "unplug the adapter and plug it in again, or: sudo udevadm trigger "
                 "--subsystem-match=tty --action=change; or " +
                     join);
}

SetupCheck holderCheck(const Machine& m, const Port& port) {
    const std::string id = "holders:" + port.path;
    const std::vector<std::string> pids = m.holdersOf(port);
    if (pids.empty()) {
        return check(id, CheckStatus::Ok,
                     m.processes.hidden == 0
                         ? "no process has it open"
                         : "none of your processes has it open; a process of another user may "
                           "hold it (" +
                               std::to_string(m.processes.hidden) +
                               " hide their descriptors: sudo zkflash-cli --doctor shows them)");
    }
    std::vector<std::string> names;
    bool modemManager = false;
    bool brltty = false;
    for (const auto& pid : pids) {
        names.push_back(m.processes.named(pid));
        modemManager |= m.processes.names.at(pid) == "ModemManager";
        brltty |= m.processes.names.at(pid) == "brltty";
    }
    const std::string finding = port.path + " is held by " + joined(names);
    std::string fix;
    if (modemManager) {
        // It probes new serial ports with AT commands for a few seconds.
        fix = m.ourRule.path.empty() || !m.ourRule.covers(port.info)
                  ? "wait a moment and try again. The udev rule that zkflash's package installs "
                    "keeps ModemManager away from the adapter."
                  : "wait a moment and try again. The package's udev rule is installed, yet "
                    "ModemManager took the port: sudo udevadm trigger --subsystem-match=tty "
                    "--action=change, then unplug the adapter and plug it in again.";
    } else if (brltty) {
        fix = "brltty took it for a braille display: if none is used, sudo apt remove brltty, "
              "then unplug the adapter and plug it in again.";
    } else {
        fix = std::string("close ") + (pids.size() > 1 ? "those programs" : "that program") +
              " and try again.";
    }
    return check(id, severity(port), finding, fix);
}

SetupCheck lockCheck(const Machine& m, const Port& port) {
    const std::string id = "lock:" + port.path;
    const std::vector<std::string> lockers = m.lockersOf(port);
    if (lockers.empty()) {
        return check(id, CheckStatus::Ok, "no lock on it");
    }
    return check(id, severity(port), port.path + " is locked by " + joined(lockers),
                 "wait for that program to finish with it, or close it, and try again");
}

SetupCheck staleLockCheck(const Machine& m) {
    std::vector<std::string> stale;
    for (const auto& file : m.lockFiles) {
        if (!m.processes.names.contains(file.pid)) {
            stale.push_back(file.file.string());
        }
    }
    if (stale.empty()) {
        return check("stale-locks", CheckStatus::Ok,
                     "no lock file left behind in " + joined(m.roots.lockDirs));
    }
    return check("stale-locks", CheckStatus::Warning,
                 joined(stale) + ": left behind by processes that are gone; programs that honour "
                                 "lock files (minicom, cu) refuse those ports",
                 "sudo rm " + joined(stale, " "));
}

// The rules that name an adapter here together with brltty: "1a86:7523" and
// the rule file, for each.
std::vector<std::pair<std::string, fs::path>> brlttyRules(const Machine& m) {
    // ATTRS{idVendor}=="1a86", ATTRS{idProduct}=="7523", or the PRODUCT
    // variable without leading zeros: ENV{PRODUCT}=="1a86/7523/*".
    const auto bare = [](const std::string& id) {
        const size_t at = id.find_first_not_of('0');
        return at == std::string::npos ? std::string("0") : id.substr(at);
    };
    std::vector<std::pair<std::string, fs::path>> found;
    for (const auto& [name, path] : m.rules) {
        std::string text = readText(path);
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (text.find("brltty") == std::string::npos) {
            continue;
        }
        for (const auto& port : m.ports) {
            const std::string& v = port.info.vendorId;
            const std::string& p = port.info.productId;
            const bool named = !v.empty() && ((text.find("\"" + v + "\"") != std::string::npos &&
                                               text.find("\"" + p + "\"") != std::string::npos) ||
                                              text.find("\"" + bare(v) + "/" + bare(p) + "/") !=
                                                  std::string::npos);
            const std::pair<std::string, fs::path> entry{v + ":" + p, path};
            if (named && std::find(found.begin(), found.end(), entry) == found.end()) {
                found.push_back(entry);
            }
        }
    }
    return found;
}

SetupCheck brlttyCheck(const Machine& m) {
    const std::string pid = m.processes.pidOf("brltty");
    const auto rules = brlttyRules(m);
    const std::string running =
        pid.empty() ? "brltty is not running" : "brltty is running (pid " + pid + ")";
    if (rules.empty()) {
        return check("brltty", CheckStatus::Ok,
                     running + "; no udev rule of it names an adapter here");
    }
    std::vector<std::string> named;
    for (const auto& [ids, path] : rules) {
        named.push_back(ids + " (" + path.string() + ")");
    }
    return check("brltty", CheckStatus::Warning,
                 running + ", and its udev rules name " + joined(named) +
                     ": it takes such an adapter when it is plugged in",
                 "if no braille display is used: sudo apt remove brltty; else mask the rule: "
                 "sudo ln -s /dev/null /etc/udev/rules.d/" +
                     rules.front().second.filename().string() +
                     "; then unplug the adapter and plug it in again");
}

// Whether ModemManager, running with `policy`, would probe the port with AT
// commands. STRICT (Debian 12's default) leaves plain USB-serial ttys alone
// and probes CDC-ACM ports that announce AT commands and ttys beside a
// network port; the legacy policies probe every tty.
std::string probeReason(const Machine& m, const Port& port, const std::string& policy) {
    if (m.udevProperty(port, "ID_MM_DEVICE_IGNORE=1")) {
        return {};
    }
    if (policy == "ALLOWLIST-ONLY" || policy == "WHITELIST-ONLY") {
        return m.udevProperty(port, "ID_MM_DEVICE_PROCESS=1") ? "allowed by a udev rule" : "";
    }
    if (policy != "STRICT") {
        return "every tty";
    }
    if (port.driver == "cdc_acm") {
        const std::string protocol = readLine(port.portDir / "bInterfaceProtocol");
        if (protocol >= "01" && protocol <= "06") {
            return "a CDC-ACM port that announces AT commands";
        }
    }
    std::error_code ec;
    for (fs::directory_iterator it(port.usbDir, ec);
         !port.usbDir.empty() && !ec && it != fs::end(it); it.increment(ec)) {
        if (fs::exists(it->path() / "net", ec)) {
            return "a tty beside a network port";
        }
    }
    return {};
}

SetupCheck modemManagerCheck(const Machine& m) {
    const std::string pid = m.processes.pidOf("ModemManager");
    if (pid.empty()) {
        return check("modemmanager", CheckStatus::Ok, "ModemManager is not running");
    }
    std::string policy = "STRICT";
    const auto it = m.processes.cmdlines.find(pid);
    if (it != m.processes.cmdlines.end()) {
        const auto& argv = it->second;
        for (size_t i = 1; i < argv.size(); ++i) {
            if (argv[i].starts_with("--filter-policy=")) {
                policy = argv[i].substr(16);
            } else if (argv[i] == "--filter-policy" && i + 1 < argv.size()) {
                policy = argv[i + 1];
            }
        }
    }
    std::transform(policy.begin(), policy.end(), policy.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    std::vector<std::string> probed;
    for (const auto& port : m.ports) {
        const std::string reason = port.exists ? probeReason(m, port, policy) : "";
        if (!reason.empty()) {
            probed.push_back(port.path + " (" + reason + ")");
        }
    }
    const std::string running =
        "ModemManager is running (pid " + pid + ", filter policy " + policy + ")";
    if (probed.empty()) {
        return check("modemmanager", CheckStatus::Ok,
                     running +
                         (m.udevDatabase ? ""
                                         : "; without a udev database the ignore "
                                           "property cannot be seen") +
                         "; it would probe none of the ports");
    }
    return check(
        "modemmanager", CheckStatus::Warning,
        running + " and would probe " + joined(probed) +
            " with AT commands when plugged in, which can stall a flash",
        "for the units' FTDI adapters install zkflash's package (its udev rule sets "
        "ID_MM_DEVICE_IGNORE=1); for another adapter add a rule such as SUBSYSTEM==\"tty\", "
        "ATTRS{idVendor}==\"VVVV\", ATTRS{idProduct}==\"PPPP\", "
        "ENV{ID_MM_DEVICE_IGNORE}=\"1\" to /etc/udev/rules.d/60-zkflash-local.rules; or, "
        "with no modem to serve: sudo systemctl disable --now ModemManager");
}

SetupCheck latencyCheck(const Port& port, const PortProbe* probe) {
    const std::string id = "latency:" + port.path;
    const std::string timer = readLine(port.portDir / "latency_timer");
    const std::string driver = port.driver.empty() ? "this driver" : port.driver;
    if (timer.empty()) {
        return check(id, CheckStatus::Ok,
                     port.driver.empty() ? "no latency timer (not a USB adapter)"
                                         : port.driver + " has no latency timer to set");
    }
    const long ms = std::strtol(timer.c_str(), nullptr, 10);
    const std::string found = "latency timer " + timer + " ms";
    if (ms <= 1) {
        return check(id, CheckStatus::Ok, found);
    }
    // The loader asks for low latency on every open; ftdi_sio then runs its
    // timer at 1 ms. Only a try on a named port shows it for sure.
    std::string how;
    bool helps = port.driver == "ftdi_sio";
    if (probe != nullptr && probe->openError == 0) {
        helps = probe->lowLatencyError == 0 && probe->lowLatencyKept;
        how = helps ? "the low-latency request took effect"
                    : "the low-latency request " +
                          (probe->lowLatencyError != 0
                               ? "failed: " + errnoText(probe->lowLatencyError)
                               : std::string("was ignored"));
    } else {
        how = helps ? "the loader's low-latency request takes effect on ftdi_sio"
                    : "the loader's low-latency request is not known to help on " + driver;
    }
    if (helps) {
        return check(
            id, CheckStatus::Ok,
            found + "; " + how +
                (port.driver == "ftdi_sio" ? ", so ftdi_sio uses 1 ms while it is open" : ""));
    }
    return check(id, CheckStatus::Warning,
                 found + "; " + how + ", so each reply can reach the loader up to " + timer +
                     " ms late",
                 "until the adapter is unplugged: echo 1 | sudo tee /sys/bus/usb-serial/devices/" +
                     port.name +
                     "/latency_timer; for good, a line in "
                     "/etc/udev/rules.d/61-zkflash-latency.rules: ACTION==\"add\", "
                     "SUBSYSTEM==\"usb-serial\", DRIVER==\"" +
                     port.driver + "\", ATTR{latency_timer}=\"1\"");
}

SetupCheck speedCheck(const Machine& m, const Port& port, const PortProbe* probe) {
    const std::string id = "speeds:" + port.path;
    if (probe == nullptr) {
        return check(id, CheckStatus::Failure,
                     "opening it did not come back within " +
                         std::to_string(kProbeDeadline.count() / 1000) + " s",
                     "unplug the adapter and plug it in again");
    }
    if (probe->openError != 0) {
        const std::string hint = SetupCheck_OpenHint(m.roots, m.who, probe->openError, port.path);
        return check(id, CheckStatus::Failure,
                     "cannot open it to try the speeds: " + errnoText(probe->openError),
                     hint.empty() ? "see the other checks of this port" : hint);
    }
    std::vector<std::string> got;
    std::vector<std::string> bad;
    for (size_t i = 0; i < 2; ++i) {
        const auto& s = probe->speeds[i];
        const uint32_t want = kProbeSpeeds[i];
        const auto off = [want](uint32_t v) {
            return static_cast<uint64_t>(v > want ? v - want : want - v) * 100 > want;
        };
        const std::string name = std::to_string(want);
        if (s.error != 0) {
            bad.push_back(name + " refused: " + errnoText(s.error));
        } else if (off(s.out) || off(s.in)) {
            bad.push_back(name + " read back as " + std::to_string(s.out) + "/" +
                          std::to_string(s.in));
        } else {
            got.push_back(s.out == want ? name
                                        : name + " (read back " + std::to_string(s.out) + ")");
        }
    }
    // Only a speed that was set needs putting back.
    const bool set = probe->speeds[0].error == 0 || probe->speeds[1].error == 0;
    const std::string restored = probe->restoreError != 0 ? "; could not put the settings back: " +
                                                                errnoText(probe->restoreError)
                                                          : (set ? "; settings put back" : "");
    if (!bad.empty()) {
        return check(id, CheckStatus::Failure,
                     "the adapter does not take the exact speeds: " + joined(bad) + restored,
                     "use an adapter whose divisor reaches both within 1 %, as the units' FTDI "
                     "cables do (FT232R, FT2232, FT4232, FT232H, FT-X)");
    }
    return check(id, probe->restoreError == 0 ? CheckStatus::Ok : CheckStatus::Warning,
                 "takes " + joined(got, " and ") + " bit/s within 1 %" + restored,
                 probe->restoreError == 0 ? "" : "unplug the adapter and plug it in again");
}

// Tries each port concurrently, in threads of their own so that a port that
// stalls in its driver costs the deadline and no more; a try that has not
// come back is left to finish on its own.
std::map<std::string, PortProbe> probePorts(const std::vector<std::string>& paths) {
    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        std::map<std::string, PortProbe> results;
    };
    auto shared = std::make_shared<Shared>();
    for (const auto& path : paths) {
        std::thread([shared, path] {
            PortProbe probe = probePort(path);
            std::lock_guard lock(shared->mutex);
            shared->results[path] = probe;
            shared->done.notify_all();
        }).detach();
    }
    std::unique_lock lock(shared->mutex);
    shared->done.wait_for(lock, kProbeDeadline,
                          [&] { return shared->results.size() == paths.size(); });
    return shared->results;
}

} // namespace

SetupRoots SetupCheck_MachineRoots() {
    SetupRoots roots;
    struct utsname system {};
    if (::uname(&system) == 0) {
        roots.modulesAlias = std::string("/lib/modules/") + system.release + "/modules.alias";
    }
    return roots;
}

SetupIdentity SetupCheck_ThisProcess() {
    SetupIdentity who;
    who.uid = ::getuid();
    who.user = userName(who.uid);
    const int count = ::getgroups(0, nullptr);
    who.gids.resize(static_cast<size_t>(std::max(count, 0)));
    const int got = ::getgroups(count, who.gids.data());
    who.gids.resize(static_cast<size_t>(std::max(got, 0)));
    who.gids.push_back(::getegid());
    who.ssh = std::getenv("SSH_CONNECTION") != nullptr || std::getenv("SSH_TTY") != nullptr;
    return who;
}

std::vector<SetupCheck> SetupCheck_Run(const SetupRoots& roots, const SetupIdentity& who,
                                       const std::vector<std::string>& named) {
    const Machine m(roots, who, gatherPorts(roots, named));
    // Only named ports are opened, and only when nobody else is using them:
    // changing the speed under another program would garble its line.
    std::vector<std::string> toProbe;
    for (const auto& port : m.ports) {
        if (port.named && port.exists && m.holdersOf(port).empty() && m.lockersOf(port).empty()) {
            toProbe.push_back(port.path);
        }
    }
    const auto probes = probePorts(toProbe);
    const auto probeOf = [&](const Port& port) -> const PortProbe* {
        const auto it = probes.find(port.path);
        return it == probes.end() ? nullptr : &it->second;
    };

    std::vector<SetupCheck> checks = adapterChecks(m);
    const auto add = [&checks](std::vector<SetupCheck> more) {
        checks.insert(checks.end(), more.begin(), more.end());
    };
    const auto each = [&m](auto judge) {
        std::vector<SetupCheck> found;
        for (const auto& port : m.ports) {
            if (port.exists) {
                found.push_back(judge(port));
            }
        }
        return found;
    };
    add(driverChecks(m));
    checks.push_back(ruleCheck(m));
    add(each([&](const Port& p) { return accessCheck(m, p); }));
    add(each([&](const Port& p) { return holderCheck(m, p); }));
    checks.push_back(brlttyCheck(m));
    checks.push_back(modemManagerCheck(m));
    add(each([&](const Port& p) { return latencyCheck(p, probeOf(p)); }));
    for (const auto& port : m.ports) {
        if (port.named && port.exists) {
            if (std::find(toProbe.begin(), toProbe.end(), port.path) == toProbe.end()) {
                checks.push_back(check("speeds:" + port.path, CheckStatus::Warning,
                                       "not tried while another program is using it",
                                       "see holders:" + port.path + " and lock:" + port.path));
            } else {
                checks.push_back(speedCheck(m, port, probeOf(port)));
            }
        }
    }
    add(each([&](const Port& p) { return lockCheck(m, p); }));
    checks.push_back(staleLockCheck(m));
    return checks;
}

std::vector<SetupCheck> SetupCheck_Port(const SetupRoots& roots, const SetupIdentity& who,
                                        const std::string& path) {
    std::vector<Port> ports{describePort(roots, path, true)};
    const Machine m(roots, who, ports);
    const Port& port = m.ports.front();
    if (!port.exists) {
        return {check("access:" + path, CheckStatus::Failure, path + " does not exist")};
    }
    return {accessCheck(m, port), holderCheck(m, port), lockCheck(m, port)};
}

std::string SetupCheck_OpenHint(const SetupRoots& roots, const SetupIdentity& who, int err,
                                const std::string& path) {
    if (err != EACCES && err != EPERM && err != EBUSY && err != EWOULDBLOCK) {
        return {};
    }
    const std::vector<SetupCheck> checks = SetupCheck_Port(roots, who, path);
    const auto find = [&](const std::string& kind) {
        for (const auto& c : checks) {
            if (c.id == kind + ":" + path) {
                return c;
            }
        }
        return SetupCheck{};
    };
    if (err == EACCES || err == EPERM) {
        const SetupCheck access = find("access");
        if (access.status != CheckStatus::Ok) {
            std::string finding = access.finding;
            if (finding.starts_with("you cannot open it: ")) {
                finding.erase(0, 20);
            }
            return "You may not use " + path + ": " + finding +
                   (access.fix.empty() ? "." : ". Fix: " + access.fix + ".");
        }
        if (who.uid == 0) {
            return "You may not use " + path +
                   ", even as root: a security module (AppArmor, SELinux) or the container "
                   "refuses it.";
        }
        return "You may not use " + path + ", though its rights allow it now (" +
               access.finding.substr(access.finding.find('(')) +
               "): udev gives a freshly plugged adapter its access a moment later; try again.";
    }
    const SetupCheck holders = find("holders");
    if (holders.status != CheckStatus::Ok) {
        return holders.finding + ": " + holders.fix;
    }
    const SetupCheck lock = find("lock");
    if (lock.status != CheckStatus::Ok) {
        return lock.finding + ": " + lock.fix + ".";
    }
    return "Another program has " + path + " open" +
           (holders.finding.find("another user") != std::string::npos
                ? " (a process of another user may hold it; sudo zkflash-cli --doctor --port " +
                      path + " shows which)"
                : "") +
           ": close it and try again.";
}

std::vector<SetupCheck> SetupCheck_Run(const std::vector<std::string>& named) {
    return SetupCheck_Run(SetupCheck_MachineRoots(), SetupCheck_ThisProcess(), named);
}

std::vector<SetupCheck> SetupCheck_Port(const std::string& path) {
    return SetupCheck_Port(SetupCheck_MachineRoots(), SetupCheck_ThisProcess(), path);
}

std::string SetupCheck_FailureHint(const std::string& path, const SerialFailure& failure) {
    return SetupCheck_OpenHint(SetupCheck_MachineRoots(), SetupCheck_ThisProcess(), failure.number,
                               path);
}
