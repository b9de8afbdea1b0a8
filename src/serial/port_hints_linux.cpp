// Linux: advice for a port that cannot be opened. Who holds a device is found
// in /proc/<pid>/fd (only the caller's own processes unless it is root); who
// may use it is the device node's group, or the seat's access list that the
// package's udev rule grants.
#include "serial/ZKSerial.h"

#include <cctype>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;

std::string processName(const fs::path& proc) {
    std::ifstream in(proc / "comm");
    std::string name;
    std::getline(in, name);
    return name;
}

// "ModemManager (pid 812)" for every process with `device` open, comma-separated.
std::string holdersOf(const fs::path& device) {
    std::string holders;
    std::error_code ec;
    for (const auto& proc : fs::directory_iterator("/proc", ec)) {
        const std::string pid = proc.path().filename();
        if (pid.empty() || !std::isdigit(static_cast<unsigned char>(pid[0]))) {
            continue;
        }
        std::error_code fdEc; // a process that hides its descriptors is skipped
        for (const auto& fd : fs::directory_iterator(proc.path() / "fd", fdEc)) {
            std::error_code linkEc;
            if (fs::read_symlink(fd.path(), linkEc) == device) {
                holders +=
                    (holders.empty() ? "" : ", ") + processName(proc.path()) + " (pid " + pid + ")";
                break;
            }
        }
    }
    return holders;
}

std::string groupOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && info.st_gid != 0) {
        if (const struct group* entry = ::getgrgid(info.st_gid)) {
            return entry->gr_name;
        }
    }
    return "dialout"; // the usual owner of serial device nodes
}

} // namespace

std::string Serial_FailureHint(int err, const std::string& path) {
    switch (err) {
    case EACCES:
    case EPERM: {
        const std::string group = groupOf(path);
        return "You may not use " + path +
               ". The udev rule that zkflash's package installs gives the user at the computer "
               "access to the adapter: install the package, then unplug the adapter and plug it "
               "in again. Or join the group \"" +
               group + "\" (sudo adduser $USER " + group + ") and log in again.";
    }
    case EBUSY:
    case EWOULDBLOCK: {
        std::error_code ec;
        fs::path device = fs::canonical(path, ec);
        const std::string holders = ec ? std::string() : holdersOf(device);
        if (holders.empty()) {
            return "Another program has " + path + " open: close it and try again.";
        }
        if (holders.find("ModemManager (") != std::string::npos) {
            // It probes new serial ports with AT commands for a few seconds.
            return path + " is held by " + holders +
                   ": wait a moment and try again. The udev rule that zkflash's package "
                   "installs keeps ModemManager away from the adapter.";
        }
        const bool several = holders.find(", ") != std::string::npos;
        return path + " is held by " + holders + ": close " +
               (several ? "those programs" : "that program") + " and try again.";
    }
    default:
        return {};
    }
}

std::string Serial_FailureReport(const SerialFailure& failure, const std::string& path) {
    std::string text = failure.text;
    const std::string hint = Serial_FailureHint(failure.number, path);
    if (!hint.empty()) {
        if (!text.empty() && text.back() != '\n') {
            text += '\n';
        }
        text += hint;
    }
    return text;
}

std::string Serial_FailureReport(const std::string& path) {
    return Serial_FailureReport(SerialFailure{Serial_ErrorText(), Serial_ErrorNumber()}, path);
}
