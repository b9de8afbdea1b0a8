// Linux: where the setup check reads the machine's state and who is asking,
// so that tests point it into a temporary tree.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "setup/SetupCheck.h"

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

// This machine's roots (modules.alias of the running kernel) and this process.
SetupRoots SetupCheck_MachineRoots();
SetupIdentity SetupCheck_ThisProcess();

// SetupCheck_Run and SetupCheck_Port under `roots` for `who`.
std::vector<SetupCheck> SetupCheck_Run(const SetupRoots& roots, const SetupIdentity& who,
                                       const std::vector<std::string>& named);
std::vector<SetupCheck> SetupCheck_Port(const SetupRoots& roots, const SetupIdentity& who,
                                        const std::string& path);

// What the operator can do after open() failed with `err` on `path`, from the
// findings for that port.
std::string SetupCheck_OpenHint(const SetupRoots& roots, const SetupIdentity& who, int err,
                                const std::string& path);
