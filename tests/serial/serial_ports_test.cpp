// USB-serial port discovery on temporary trees laid out like sysfs: the
// usb-serial bus's entries link into the device tree as the kernel's do, and a
// CDC-ACM port lives on another bus.
#include "serial/ZKSerial.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Paths = std::vector<std::string>;

TEST(SerialPorts, AppendsAdaptersInNaturalOrderBehindEarlierEntries) {
    const struct {
        Paths plugged; // in the order they appear
        Paths before;
        Paths listed;
    } cases[] = {
        {{}, {}, {}},
        // Neither the order of appearance, its reverse nor plain string order.
        {{"ttyUSB100", "ttyUSB9", "ttyUSB10", "ttyUSB0", "ttyUSB2"},
         {},
         {"/dev/ttyUSB0", "/dev/ttyUSB2", "/dev/ttyUSB9", "/dev/ttyUSB10", "/dev/ttyUSB100"}},
        {{"ttyUSB1", "ttyUSB0"},
         {"/dev/ttyS0", "/dev/ttyUSB9"},
         {"/dev/ttyS0", "/dev/ttyUSB9", "/dev/ttyUSB0", "/dev/ttyUSB1"}},
    };
    char name[] = "/tmp/zk-ports-XXXXXX";
    const fs::path root = mkdtemp(name);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.plugged));
        const fs::path sys = root / std::to_string(&c - cases);
        fs::create_directories(sys / "class/tty/ttyACM0");
        fs::create_directories(sys / "bus/usb-serial/devices");
        for (const std::string& adapter : c.plugged) {
            fs::create_directories(sys / "devices/usb1/1-2" / adapter);
            fs::create_directory_symlink(sys / "devices/usb1/1-2" / adapter,
                                         sys / "bus/usb-serial/devices" / adapter);
        }
        Paths list = c.before;
        Serial_ListPortsIn(sys, "/dev", list);
        EXPECT_EQ(list, c.listed); // and no ttyACM0
    }
    // No usb-serial bus (no such driver loaded): nothing appended.
    Paths list = {"/dev/ttyS1"};
    Serial_ListPortsIn(root / "none", "/dev", list);
    EXPECT_EQ(list, Paths{"/dev/ttyS1"});
    fs::remove_all(root);
}

} // namespace
