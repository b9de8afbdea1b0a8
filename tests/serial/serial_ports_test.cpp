// USB-serial port discovery on a temporary device tree laid out like sysfs.
#include "serial/ZKSerial.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Paths = std::vector<std::string>;

// <root>/sys with the usb-serial bus, its entries linking into the device
// tree as the kernel's do, and a CDC-ACM port that lives on another bus.
class DeviceTree {
public:
    DeviceTree() {
        char name[] = "/tmp/zk-ports-XXXXXX";
        root_ = mkdtemp(name);
        fs::create_directories(devices());
        fs::create_directories(sys() + "/devices/usb1/1-1/1-1:1.0/ttyACM0");
        fs::create_directories(sys() + "/class/tty");
        fs::create_directory_symlink(sys() + "/devices/usb1/1-1/1-1:1.0/ttyACM0",
                                     sys() + "/class/tty/ttyACM0");
    }
    ~DeviceTree() { fs::remove_all(root_); }

    std::string sys() const { return root_ + "/sys"; }
    std::string devices() const { return sys() + "/bus/usb-serial/devices"; }

    void addAdapter(const std::string& name) {
        const std::string target = sys() + "/devices/usb1/1-2/1-2:1.0/" + name;
        fs::create_directories(target);
        fs::create_directory_symlink(target, devices() + "/" + name);
    }

private:
    std::string root_;
};

Paths listIn(const DeviceTree& tree, Paths list = {}) {
    Serial_ListPortsIn(tree.sys(), "/dev", list);
    return list;
}

TEST(SerialPorts, ListsAdaptersInNaturalOrder) {
    struct Case {
        Paths plugged; // in the order they appear
        Paths listed;
    };
    const Case cases[] = {
        {{}, {}},
        {{"ttyUSB0"}, {"/dev/ttyUSB0"}},
        {{"ttyUSB10", "ttyUSB2", "ttyUSB1"}, {"/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB10"}},
        {{"ttyUSB100", "ttyUSB9", "ttyUSB10", "ttyUSB0"},
         {"/dev/ttyUSB0", "/dev/ttyUSB9", "/dev/ttyUSB10", "/dev/ttyUSB100"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.plugged));
        DeviceTree tree;
        for (const std::string& name : c.plugged) {
            tree.addAdapter(name);
        }
        // The CDC-ACM port is not on the usb-serial bus: nothing invents it.
        EXPECT_EQ(listIn(tree), c.listed);
    }
}

TEST(SerialPorts, OrderIsTheSameWhateverOrderTheyWerePlugged) {
    const Paths names = {"ttyUSB3", "ttyUSB11", "ttyUSB0", "ttyUSB20", "ttyUSB1", "ttyUSB2"};
    DeviceTree forward;
    DeviceTree backward;
    for (size_t i = 0; i < names.size(); ++i) {
        forward.addAdapter(names[i]);
        backward.addAdapter(names[names.size() - 1 - i]);
    }
    const Paths first = listIn(forward);
    EXPECT_EQ(first, (Paths{"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB3",
                            "/dev/ttyUSB11", "/dev/ttyUSB20"}));
    EXPECT_EQ(listIn(forward), first);
    EXPECT_EQ(listIn(backward), first);
}

TEST(SerialPorts, AppendsBehindEarlierEntries) {
    DeviceTree tree;
    tree.addAdapter("ttyUSB1");
    tree.addAdapter("ttyUSB0");
    EXPECT_EQ(listIn(tree, {"/dev/ttyS0", "/dev/ttyUSB9"}),
              (Paths{"/dev/ttyS0", "/dev/ttyUSB9", "/dev/ttyUSB0", "/dev/ttyUSB1"}));
}

TEST(SerialPorts, NamesNodesUnderTheDeviceDirectory) {
    DeviceTree tree;
    tree.addAdapter("ttyUSB4");
    Paths list;
    Serial_ListPortsIn(tree.sys(), "/var/devices", list);
    EXPECT_EQ(list, Paths{"/var/devices/ttyUSB4"});
}

TEST(SerialPorts, NoUsbSerialBusListsAndPrintsNothing) {
    DeviceTree tree;
    fs::remove(tree.devices());
    Paths list = {"/dev/ttyS1"};
    testing::internal::CaptureStdout();
    Serial_ListPortsIn(tree.sys(), "/dev", list);
    Serial_ListPortsIn("/nonexistent-zk", "/dev", list);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(list, Paths{"/dev/ttyS1"});
}

} // namespace
