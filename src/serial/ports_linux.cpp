// Linux: the USB-serial adapters are the devices of the kernel's usb-serial
// bus (FTDI, CP210x, PL2303, ...), and cables that present themselves as
// modems are CDC-ACM ttys (ttyACM*); each has a node /dev/<name>.
#include "serial/ports_linux.h"
#include "serial/text_files.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>

namespace {

// Natural order: runs of digits compare as numbers, so ttyUSB2 < ttyUSB10.
bool naturalLess(const std::string& a, const std::string& b) {
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
        const bool db = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (da && db) {
            size_t ie = i;
            size_t je = j;
            while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie]))) {
                ++ie;
            }
            while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je]))) {
                ++je;
            }
            // Compare the numbers without converting: strip leading zeros,
            // then the longer run is larger.
            size_t is = a.find_first_not_of('0', i);
            size_t js = b.find_first_not_of('0', j);
            is = (is == std::string::npos || is > ie) ? ie : is;
            js = (js == std::string::npos || js > je) ? je : js;
            if (ie - is != je - js) {
                return ie - is < je - js;
            }
            const int c = a.compare(is, ie - is, b, js, je - js);
            if (c != 0) {
                return c < 0;
            }
            i = ie;
            j = je;
        } else {
            if (a[i] != b[j]) {
                return a[i] < b[j];
            }
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j || (a.size() - i == b.size() - j && a < b);
}

// The ports below USB interface `interface`: usb-serial port devices
// (ttyUSB*) and CDC-ACM ttys (in its tty folder).
int portsOn(const std::filesystem::path& interface) {
    namespace fs = std::filesystem;
    int count = 0;
    std::error_code ec;
    for (fs::directory_iterator it(interface, ec); !ec && it != fs::end(it); it.increment(ec)) {
        const std::string name = it->path().filename();
        if (name == "tty") {
            count += portsOn(it->path()); // a CDC-ACM interface's ttys
        } else if (name.starts_with("tty") && it->is_directory(ec)) {
            ++count;
        }
    }
    return count;
}

// The socket of the port whose device is `port` (a usb-serial port or, for
// CDC-ACM, the interface) on the USB device `usb`. An adapter with several
// ports tells them apart by interface where each has its own (FTDI's dual
// and quad chips, "1-1.3:1.1"), else by the port's port_number.
std::string socketOf(const std::filesystem::path& usb, const std::filesystem::path& port) {
    namespace fs = std::filesystem;
    const std::string name = usb.filename();
    const bool isInterface = port.parent_path() == usb;
    const fs::path interface = isInterface ? port : port.parent_path();
    int total = 0;
    std::error_code ec;
    for (fs::directory_iterator it(usb, ec); !ec && it != fs::end(it); it.increment(ec)) {
        if (it->path().filename().string().starts_with(name + ":")) {
            total += portsOn(it->path());
        }
    }
    if (total <= 1) {
        return name;
    }
    if (isInterface || portsOn(interface) == 1) {
        // "1-1.3:1.1" is configuration 1, interface 1.
        const std::string id = interface.filename();
        return name + ":" + id.substr(id.rfind('.') + 1);
    }
    return name + ":" + textfile::readLine(port / "port_number");
}

} // namespace

SerialPortInfo Serial_PortInfoIn(const std::string& sysRoot, const std::string& path) {
    namespace fs = std::filesystem;
    SerialPortInfo info;
    std::error_code ec;
    // The tty's device is a usb-serial port or a USB interface; the USB device
    // (the one with idVendor) is the first ancestor that has the ids.
    // A link such as /dev/serial/by-id/usb-FTDI_...-port0 names its node; a
    // node's own name is taken as it is.
    const fs::path ttys = fs::path(sysRoot) / "class/tty";
    fs::path node = path;
    if (!fs::exists(ttys / node.filename(), ec)) {
        node = fs::canonical(path, ec);
        if (ec) {
            node = path;
        }
    }
    const fs::path port = fs::canonical(ttys / node.filename() / "device", ec);
    if (ec) {
        return info;
    }
    const fs::path top = fs::canonical(sysRoot, ec);
    for (fs::path dir = port; !ec && dir != top && dir.has_relative_path();
         dir = dir.parent_path()) {
        if (fs::exists(dir / "idVendor", ec)) {
            info.socket = socketOf(dir, port);
            info.manufacturer = textfile::readLine(dir / "manufacturer");
            info.product = textfile::readLine(dir / "product");
            info.serial = textfile::readLine(dir / "serial");
            info.vendorId = textfile::readLine(dir / "idVendor");
            info.productId = textfile::readLine(dir / "idProduct");
            break;
        }
    }
    return info;
}

const std::string& Serial_SysRoot() {
    static const std::string root = [] {
        const char* given = std::getenv("ZK_SYS_ROOT");
        return std::string(given != nullptr && given[0] == '/' ? given : "/sys");
    }();
    return root;
}

const std::string& Serial_DevRoot() {
    static const std::string root = [] {
        const char* given = std::getenv("ZK_DEV_ROOT");
        return std::string(given != nullptr && given[0] == '/' ? given : "/dev");
    }();
    return root;
}

SerialPortInfo Serial_PortInfo(const std::string& path) {
    return Serial_PortInfoIn(Serial_SysRoot(), path);
}

void Serial_ListPortsIn(const std::string& sysRoot, const std::string& devRoot,
                        std::vector<std::string>& list) {
    // No directory (no such driver loaded) lists nothing.
    const auto names = [](const std::string& dir, std::string_view prefix) {
        std::vector<std::string> found;
        if (DIR* d = opendir(dir.c_str())) {
            while (const dirent* e = readdir(d)) {
                if (e->d_name[0] != '.' && std::string_view(e->d_name).starts_with(prefix)) {
                    found.emplace_back(e->d_name);
                }
            }
            closedir(d);
        }
        std::sort(found.begin(), found.end(), naturalLess);
        return found;
    };
    for (const auto& name : names(sysRoot + "/bus/usb-serial/devices", "")) {
        list.push_back(devRoot + "/" + name);
    }
    for (const auto& name : names(sysRoot + "/class/tty", "ttyACM")) {
        list.push_back(devRoot + "/" + name);
    }
}

void Serial_ListPorts(std::vector<std::string>& list) {
    Serial_ListPortsIn(Serial_SysRoot(), Serial_DevRoot(), list);
}
