// Temporary sysfs trees laid out as the kernel's, for port discovery and the
// station: a tty's class entry links to its port under the USB device
// (through a usb-serial port or a CDC-ACM interface), and the usb-serial
// bus's entries link to the ports.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace usbtree {

namespace fs = std::filesystem;

inline fs::path tempRoot() {
    char name[] = "/tmp/zk-usb-XXXXXX";
    return mkdtemp(name);
}

inline void writeFile(const fs::path& file, const std::string& text) {
    std::ofstream(file) << text << "\n";
}

// Plugs tty `name` in under the USB device `usb` (its attributes, none when
// empty) on interface `interface` ("1.0"); ttyUSB* go through a usb-serial
// port numbered `portNumber`.
inline void plug(const fs::path& sys, const std::string& name, const std::string& usb,
                 const std::vector<std::pair<std::string, std::string>>& attributes,
                 const std::string& interface = "1.0", int portNumber = 0) {
    const fs::path device = sys / "devices/pci0/usb1" / usb;
    const bool usbSerial = name.starts_with("ttyUSB");
    const fs::path parent = device / (usb + ":" + interface) / (usbSerial ? name : "");
    fs::create_directories(parent / "tty" / name);
    fs::create_directory_symlink(parent, parent / "tty" / name / "device");
    fs::create_directories(sys / "class/tty");
    fs::create_directory_symlink(parent / "tty" / name, sys / "class/tty" / name);
    if (usbSerial) {
        fs::create_directories(sys / "bus/usb-serial/devices");
        fs::create_directory_symlink(parent, sys / "bus/usb-serial/devices" / name);
        writeFile(parent / "port_number", std::to_string(portNumber));
    }
    for (const auto& [attribute, value] : attributes) {
        writeFile(device / attribute, value);
    }
}

// Takes tty `name` and its USB device `usb` out again.
inline void unplug(const fs::path& sys, const std::string& name, const std::string& usb) {
    std::error_code ec;
    fs::remove(sys / "bus/usb-serial/devices" / name, ec);
    fs::remove(sys / "class/tty" / name, ec);
    fs::remove_all(sys / "devices/pci0/usb1" / usb, ec);
}

} // namespace usbtree
