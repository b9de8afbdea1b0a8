// The setup check: what on this machine stands between the loader and its
// adapters (driver, access rights, udev rule, programs holding or probing a
// port, latency, line speeds, locks), each finding with its fix. It reads
// files only, except for the ports the operator names: those it opens (which
// moves DTR) to try the line speeds and the low-latency request, and restores
// as it found them. One file per system implements the checks
// (setup_check_linux.cpp); their text is shared (SetupCheck.cpp).
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
#include <vector>

#include "serial/SerialLink.h"

enum class CheckStatus { Ok, Warning, Failure };

struct SetupCheck {
    std::string id;
    CheckStatus status = CheckStatus::Ok;
    std::string finding; // one line: what was found
    std::string fix;     // what to do about it; empty when nothing
};

// Runs every check on this machine over the ports found and those in `named`;
// only the named ones are opened. Never blocks on a port: each open try has a
// deadline.
std::vector<SetupCheck> SetupCheck_Run(const std::vector<std::string>& named);

// The checks of one port that need no open: access, holders and lock.
std::vector<SetupCheck> SetupCheck_Port(const std::string& path);

// What the operator can do about `failure` on the port at `path`, from this
// machine's findings for that port: for an open refused for access how to get
// it, for a busy or locked port which program holds it. Empty for other
// failures. A run's hint provider (RunSettings::failureHint).
std::string SetupCheck_FailureHint(const std::string& path, const SerialFailure& failure);

// "ok", "warning", "failure".
const char* SetupCheck_StatusName(CheckStatus status);

// The checks as text: one line per check ("warning  udev-rule  ..."), a fix
// line under each problem, and a closing count of failures and warnings.
std::string SetupCheck_Text(const std::vector<SetupCheck>& checks);
