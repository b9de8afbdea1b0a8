// Port discovery and what sysfs says about a port, on temporary trees laid out
// as the kernel's.
#include "serial/ports_linux.h"

#include "UsbTree.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
using Paths = std::vector<std::string>;

using usbtree::plug;
using usbtree::tempRoot;
using usbtree::writeFile;

TEST(SerialPorts, AppendsAdaptersThenAcmPortsInNaturalOrderBehindEarlierEntries) {
    const struct {
        Paths plugged; // in the order they appear
        Paths before;
        Paths listed;
    } cases[] = {
        {{}, {}, {}},
        // Neither the order of appearance, its reverse nor plain string order.
        {{"ttyUSB100", "ttyUSB9", "ttyACM10", "ttyUSB10", "ttyACM2", "ttyUSB0", "ttyUSB2"},
         {},
         {"/dev/ttyUSB0", "/dev/ttyUSB2", "/dev/ttyUSB9", "/dev/ttyUSB10", "/dev/ttyUSB100",
          "/dev/ttyACM2", "/dev/ttyACM10"}},
        {{"ttyUSB1", "ttyUSB0", "ttyS0"},
         {"/dev/ttyS0", "/dev/ttyUSB9"},
         {"/dev/ttyS0", "/dev/ttyUSB9", "/dev/ttyUSB0", "/dev/ttyUSB1"}},
    };
    const fs::path root = tempRoot();
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.plugged));
        const fs::path sys = root / std::to_string(&c - cases);
        fs::create_directories(sys);
        for (const std::string& port : c.plugged) {
            plug(sys, port, "1-" + port, {});
        }
        Paths list = c.before;
        Serial_ListPortsIn(sys, "/dev", list);
        EXPECT_EQ(list, c.listed);
    }
    fs::remove_all(root);
}

TEST(SerialPorts, DescribesTheUsbDeviceBehindAPort) {
    const fs::path root = tempRoot();
    const fs::path sys = root / "sys";
    fs::create_directories(sys / "devices/pci0/usb1");
    writeFile(sys / "devices/pci0/usb1/idVendor", "1d6b"); // the root hub is not the adapter
    plug(sys, "ttyUSB0", "1-2",
         {{"idVendor", "0403"},
          {"idProduct", "6001"},
          {"manufacturer", "FTDI"},
          {"product", "FT232R USB UART"},
          {"serial", "A50285BI"}});
    plug(sys, "ttyACM0", "1-3",
         {{"idVendor", "2341"},
          {"idProduct", "0043"},
          {"manufacturer", "Arduino (www.arduino.cc)"}});
    plug(sys, "ttyUSB1", "1-4.2", {{"idVendor", "1a86"}}); // says little, behind a hub
    // A dual-port FTDI chip has an interface for each port; other drivers put
    // several ports on one interface; a composite device has two CDC-ACM ports.
    const std::vector<std::pair<std::string, std::string>> usb = {{"idVendor", "0403"}};
    plug(sys, "ttyUSB2", "1-5", usb, "1.0");
    plug(sys, "ttyUSB3", "1-5", usb, "1.1");
    plug(sys, "ttyUSB4", "1-6", usb, "1.0", 0);
    plug(sys, "ttyUSB5", "1-6", usb, "1.0", 1);
    plug(sys, "ttyACM1", "1-7", usb, "1.0");
    plug(sys, "ttyACM2", "1-7", usb, "1.2");
    fs::create_directories(root / "dev/serial/by-id");
    writeFile(root / "dev/ttyUSB0", "");
    fs::create_symlink(root / "dev/ttyUSB0", root / "dev/serial/by-id/usb-FTDI_A50285BI-port0");
    const struct {
        std::string path, description, socket;
    } cases[] = {
        {"/dev/ttyUSB0", "FTDI FT232R USB UART (A50285BI) 0403:6001", "1-2"},
        {(root / "dev/serial/by-id/usb-FTDI_A50285BI-port0").string(),
         "FTDI FT232R USB UART (A50285BI) 0403:6001", "1-2"},
        {"/dev/ttyACM0", "Arduino (www.arduino.cc) 2341:0043", "1-3"},
        {"/dev/ttyUSB1", "1a86:", "1-4.2"},
        {"/dev/ttyUSB3", "0403:", "1-5:1"},
        {"/dev/ttyUSB5", "0403:", "1-6:1"},
        {"/dev/ttyUSB4", "0403:", "1-6:0"},
        {"/dev/ttyACM2", "0403:", "1-7:2"},
        {"/dev/ttyS0", "", ""}, // no such tty
    };
    for (const auto& c : cases) {
        const SerialPortInfo info = Serial_PortInfoIn(sys, c.path);
        EXPECT_EQ(info.description() + "|" + info.socket, c.description + "|" + c.socket) << c.path;
    }
    EXPECT_EQ(Serial_PortInfoIn(sys, "/dev/ttyUSB0").serial, "A50285BI");
    fs::remove_all(root);
}

} // namespace
