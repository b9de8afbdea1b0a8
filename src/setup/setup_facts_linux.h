// What the setup check reads off the machine, before any judgement: the ports
// and their sysfs entries, processes and their open ports, locks, udev rules,
// groups and ACLs. Every reader takes its roots, so tests use a temporary tree.
#pragma once

#include "serial/ports_linux.h"
#include "serial/text_files.h"
#include "setup/setup_linux.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace setup {

namespace fs = std::filesystem;

using textfile::readLine;
using textfile::readText;
// "Permission denied (13)": the one place where the setup check turns an errno
// into text.
std::string errnoText(int err);

struct Port {
    std::string path; // as listed or named; the ids use it
    bool named = false;
    bool exists = false;
    std::string node; // the node it resolves to
    std::string name; // ttyUSB0
    SerialPortInfo info;
    std::string usb;       // USB path of its device, "1-1.3"; empty when not USB
    fs::path usbDir;       // that device in sysfs
    fs::path portDir;      // the usb-serial port, or the CDC-ACM interface
    std::string driver;    // "ftdi_sio", "cdc_acm"
    std::string devNumber; // "188:0", from sysfs
    struct stat st {};
};

// The ports discovery lists, then the named ones it does not (a named path
// that resolves to a listed node takes that entry's place).
std::vector<Port> gatherPorts(const SetupRoots& roots, const std::vector<std::string>& named);
Port describePort(const SetupRoots& roots, const std::string& path, bool named);

struct Processes {
    std::map<std::string, std::string> names;                // pid -> name
    std::map<std::string, std::vector<std::string>> holders; // node -> pids
    // A pseudo-terminal's far end: node -> pids holding its master.
    std::map<std::string, std::vector<std::string>> masters;
    std::map<std::string, std::vector<std::string>> cmdlines; // pid -> argv, for those asked
    int hidden = 0; // other users' processes whose descriptors cannot be read

    std::string pidOf(const std::string& name) const; // the first one so named
    std::string named(const std::string& pid) const;  // "ModemManager (pid 812)"
};
// Reads every process once: its name, and which of `nodes` it has open; the
// command lines of processes named in `withCmdline`.
Processes scanProcesses(const SetupRoots& roots, uid_t uid, const std::set<std::string>& nodes,
                        const std::set<std::string>& withCmdline);

// A lock from /proc/locks, on the file system device major:minor and inode.
struct FileLock {
    std::string kind; // FLOCK, POSIX, OFDLCK
    std::string pid;
    unsigned major = 0, minor = 0;
    uint64_t inode = 0;
};
std::vector<FileLock> readLocks(const SetupRoots& roots);

// A lock file LCK..<device> and the pid written in it.
struct LockFile {
    fs::path file;
    std::string device; // ttyUSB0
    std::string pid;    // empty when unreadable
};
std::vector<LockFile> readLockFiles(const SetupRoots& roots);

// The udev rule files in effect, by name in the order udev reads them; a file
// hides those of the same name in lower directories, and a masked one (empty,
// or a link to /dev/null) is left out.
std::map<std::string, fs::path> ruleFiles(const SetupRoots& roots);

struct Group {
    std::string name;
    gid_t gid = 0;
    std::vector<std::string> members;
};
std::vector<Group> readGroups(const std::string& file);
std::string groupName(const std::vector<Group>& groups, gid_t gid);

// An entry of a POSIX ACL (the system.posix_acl_access attribute).
struct AclEntry {
    uint16_t tag = 0; // kAclUser, ...
    uint16_t perm = 0;
    uint32_t id = 0;
};
constexpr uint16_t kAclUserObj = 0x01, kAclUser = 0x02, kAclGroupObj = 0x04, kAclGroup = 0x08,
                   kAclMask = 0x10, kAclOther = 0x20;
std::vector<AclEntry> readAcl(const std::string& path); // empty when it has none

// The USB devices that a USB-serial driver claims by their ids, per
// modules.alias, and that have no tty: USB path, the device, the module.
struct Unbound {
    std::string usb;
    fs::path dir;
    std::string module;
    fs::path interface; // the interface the module's alias matched
};
std::vector<Unbound> unboundAdapters(const SetupRoots& roots, const std::vector<Port>& ports);

} // namespace setup
