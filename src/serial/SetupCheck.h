// The setup check: what on this machine stands between the loader and its
// adapters (driver, access rights, udev rule, programs holding or probing a
// port, latency, line speeds, locks), each finding with its fix on Debian and
// Ubuntu. It reads files only, except for the ports the operator names: those
// it opens (which moves DTR) to try the line speeds and the low-latency
// request, and restores as it found them.
//
// Check ids, stable for scripts (<port> is the device path as listed or named):
//   adapters          the ports found
//   port:<port>       one port: what it is, its driver and socket; a named
//                     port that does not exist fails here
//   driver:<usb>      a USB device (by USB path, "1-1.3") that a USB-serial
//                     driver claims but that has no tty: the module is missing,
//                     not loaded or not bound
//   udev-rule         the package's udev rule: installed, and sorted before the
//                     rule that grants seat ACLs
//   access:<port>     whether this user can open the port for reading and
//                     writing, and why
//   holders:<port>    processes that have the port open
//   brltty            the braille daemon, running or with rules for an adapter
//   modemmanager      ModemManager, and which ports it would probe
//   latency:<port>    the adapter's latency timer and the low-latency request
//   speeds:<port>     the transmitter's and receiver's exact speeds (named
//                     ports only)
//   lock:<port>       a flock(2) or lock file held on the port
//   stale-locks       lock files left behind by processes that are gone
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// Where the machine's state is read; tests point these into a temporary tree.
struct SetupRoots {
    std::string sys = "/sys";
    std::string dev = "/dev";
    std::string proc = "/proc";
    std::string run = "/run"; // the udev database is run/udev/data
    std::string groupFile = "/etc/group";
    // Highest precedence first: a file here hides one of the same name below.
    std::vector<std::string> ruleDirs = {"/etc/udev/rules.d", "/run/udev/rules.d",
                                         "/usr/lib/udev/rules.d", "/lib/udev/rules.d"};
    std::string modulesAlias; // /lib/modules/<release>/modules.alias
    std::vector<std::string> lockDirs = {"/run/lock", "/var/lock"};
};

// Who is asking.
struct SetupIdentity {
    uid_t uid = 0;
    std::vector<gid_t> gids; // the process's groups, effective one included
    std::string user;
    bool ssh = false; // logged in over ssh: no seat, so no seat ACLs
};

enum class CheckStatus { Ok, Warning, Failure };

struct SetupCheck {
    std::string id;
    CheckStatus status = CheckStatus::Ok;
    std::string finding; // one line: what was found
    std::string fix;     // what to do about it; empty when nothing
};

// This machine's roots (modules.alias of the running kernel) and this process.
SetupRoots SetupCheck_MachineRoots();
SetupIdentity SetupCheck_ThisProcess();

// Runs every check over the ports found and those in `named`; only the named
// ones are opened. Never blocks on a port: each open try has a deadline.
std::vector<SetupCheck> SetupCheck_Run(const SetupRoots& roots, const SetupIdentity& who,
                                       const std::vector<std::string>& named);

// The checks of one port that need no open: access, holders and lock.
std::vector<SetupCheck> SetupCheck_Port(const SetupRoots& roots, const SetupIdentity& who,
                                        const std::string& path);

// What the operator can do after open() failed with `err` on `path`, from the
// findings for that port.
std::string SetupCheck_OpenHint(const SetupRoots& roots, const SetupIdentity& who, int err,
                                const std::string& path);

// "ok", "warning", "failure".
const char* SetupCheck_StatusName(CheckStatus status);

// The checks as text: one line per check ("warning  udev-rule  ..."), a fix
// line under each problem, and a closing count of failures and warnings.
std::string SetupCheck_Text(const std::vector<SetupCheck>& checks);
