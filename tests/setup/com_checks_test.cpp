// Windows' port discovery and setup check, judged from device records as
// SetupAPI and the registry give them: run on every system.
#include "serial/port_system.h"
#include "setup/com_checks.h"

#include <gtest/gtest.h>

namespace {

const std::string kHub = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)";

// An FTDI adapter's two records: its USB device and the COM port that its
// driver made below it.
std::vector<ComDevice> ftdi(const std::string& serial, const std::string& port,
                            std::optional<uint32_t> latency = 16) {
    return {{"USB\\VID_0403&PID_6001\\" + serial, "USB Serial Converter", "FTDI", "", kHub,
             "FTDIBUS", 0, true, std::nullopt},
            {"FTDIBUS\\VID_0403+PID_6001+" + serial + "A\\0000", "USB Serial Port (" + port + ")",
             "FTDI", port, kHub, "FTDIBUS", 0, true, latency}};
}

std::vector<ComDevice> operator+(std::vector<ComDevice> a, const std::vector<ComDevice>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(ComDevices, AdapterSerialSocketAndOrder) {
    struct Row {
        std::string instanceId, location, serial, vendor, socket;
    } rows[] = {
        {"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", kHub, "A50285BI", "0403", kHub},
        {"FTDIBUS\\VID_0403+PID_6010+FT1234B\\0000", kHub, "FT1234", "0403", kHub + ":1"},
        {"USB\\VID_2341&PID_0043\\85735313233351B0D1B1", "", "85735313233351B0D1B1", "2341", ""},
        {"USB\\VID_067B&PID_2303\\5&2A1B3C&0&2", kHub, "", "067B", kHub},
        {"ACPI\\PNP0501\\0", "", "", "", ""},
    };
    for (const Row& r : rows) {
        ComDevice d;
        d.instanceId = r.instanceId;
        d.location = r.location;
        const SerialPortInfo info = comPortInfo(d);
        EXPECT_EQ(info.serial, r.serial) << r.instanceId;
        EXPECT_EQ(info.vendorId, r.vendor) << r.instanceId;
        EXPECT_EQ(info.socket, r.socket) << r.instanceId;
    }
    // USB ports in natural order, then what only the registry names; a
    // motherboard's port is left out, as Linux leaves out ttyS*.
    const auto devices = ftdi("B", "COM10") + ftdi("A", "COM2") +
                         std::vector<ComDevice>{{"ACPI\\PNP0501\\0", "Communications Port (COM1)",
                                                 "(Standard port types)", "COM1", "", "Serial", 0,
                                                 true, std::nullopt}};
    EXPECT_EQ(comPortList(devices, {"COM1", "COM20", "COM10", "COM3"}),
              (std::vector<std::string>{"COM2", "COM10", "COM3", "COM20"}));
    EXPECT_EQ(comPortInfo(*comDeviceOf(devices, "\\\\.\\com2")).description(),
              "FTDI USB Serial Port (A) 0403:6001");
}

struct Expect {
    std::string id;
    CheckStatus status;
    std::string finding; // a part of it
};

struct ComCase {
    const char* name;
    ComMachine machine;
    std::vector<Expect> expect;
};

void PrintTo(const ComCase& c, std::ostream* os) {
    *os << c.name;
}

class ComChecks : public testing::TestWithParam<ComCase> {};

TEST_P(ComChecks, Findings) {
    const auto checks = comChecks(GetParam().machine);
    for (const Expect& e : GetParam().expect) {
        const auto found = std::find_if(checks.begin(), checks.end(),
                                        [&](const SetupCheck& c) { return c.id == e.id; });
        ASSERT_NE(found, checks.end()) << e.id << "\n" << SetupCheck_Text(checks);
        EXPECT_EQ(found->status, e.status) << SetupCheck_Text(checks);
        EXPECT_NE(found->finding.find(e.finding), std::string::npos) << SetupCheck_Text(checks);
        EXPECT_EQ(found->fix.empty(), e.status == CheckStatus::Ok) << SetupCheck_Text(checks);
    }
}

ComDevice driverless(uint32_t problem, const std::string& service = "") {
    return {"USB\\VID_0403&PID_6001\\A5",
            "FT232R USB UART",
            "",
            "",
            kHub,
            service,
            problem,
            true,
            std::nullopt};
}

const ComCase kComCases[] = {
    {"AdapterWithSlowLatency",
     {ftdi("A50285BI", "COM5"), {"COM5"}, {}, {}},
     {{"adapters", CheckStatus::Ok, "1 port: COM5"},
      {"port:COM5", CheckStatus::Ok,
       "FTDI USB Serial Port (A50285BI) 0403:6001, socket " + kHub + ", driver FTDIBUS"},
      {"latency:COM5", CheckStatus::Warning, "latency timer is 16 ms"},
      {"com-names", CheckStatus::Ok, "no COM name is used twice"}}},
    {"FastLatencyAndOnlyTheRegistry",
     {ftdi("A5", "COM5", 1), {"COM5", "COM20"}, {}, {}},
     {{"adapters", CheckStatus::Ok, "2 ports: COM5, COM20"},
      {"port:COM20", CheckStatus::Ok, "a serial port without a USB device"},
      {"latency:COM5", CheckStatus::Ok, "1 ms"}}},
    {"NoAdapter", {{}, {}, {}, {}}, {{"adapters", CheckStatus::Warning, "no USB-serial port"}}},
    {"DriverNotInstalled",
     {{driverless(28)}, {}, {}, {}},
     {{"driver:" + kHub, CheckStatus::Failure,
       "0403:6001 FT232R USB UART at " + kHub +
           " has no serial port: its driver is not "
           "installed (problem code 28)"}}},
    {"NoComPortMade",
     {{driverless(0, "FTDIBUS")}, {}, {}, {}},
     {{"driver:" + kHub, CheckStatus::Failure, "its driver FTDIBUS makes no COM port"}}},
    {"NameUsedTwice",
     {ftdi("A", "COM5") + ftdi("B", "COM5"), {"COM5"}, {}, {}},
     {{"com-names", CheckStatus::Failure,
       "COM5 (USB Serial Port (COM5), USB Serial Port (COM5))"}}},
    {"NamedPortMissing",
     {{}, {}, {"COM9"}, {}},
     {{"port:COM9", CheckStatus::Failure, "COM9 does not exist"}}},
    {"NamedPortHeld",
     {ftdi("A", "COM5"), {"COM5"}, {"com5"}, {{"COM5", {5, {}}}}},
     {{"holders:COM5", CheckStatus::Failure,
       "another program has it open: " + portsys::errorText(5) + "(5)"}}},
    {"NamedPortSpeeds",
     {ftdi("A", "COM5"), {"COM5"}, {"COM5"}, {{"COM5", {0, {{115200, 0}, {109000, 87}}}}}},
     {{"holders:COM5", CheckStatus::Ok, "no other program"},
      {"speeds:COM5", CheckStatus::Failure, "refuses 109000"}}},
};

INSTANTIATE_TEST_SUITE_P(Windows, ComChecks, testing::ValuesIn(kComCases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(ComChecks, FailureHints) {
    const SerialFailure held{"Error opening serial port COM5", 5, "Access is denied"};
    const SerialFailure locked{"Error locking serial port COM5", 32, "in use"};
    const SerialFailure missing{"Error opening serial port COM9", 2, "not found"};
    const SerialFailure unplugged{"Write Error", 22, "The device does not recognize the command"};
    const SerialFailure other{"Write Error", 87, "The parameter is incorrect"};
    const auto devices = ftdi("A", "COM5");
    EXPECT_NE(comFailureHint(devices, "COM5", held).find("Another program has COM5 open"),
              std::string::npos);
    EXPECT_NE(comFailureHint(devices, "COM5", locked).find("Another program"), std::string::npos);
    EXPECT_NE(comFailureHint(devices, "COM9", missing).find("COM9 does not exist"),
              std::string::npos);
    EXPECT_NE(comFailureHint({driverless(28)}, "COM9", missing).find("driver is missing"),
              std::string::npos);
    EXPECT_NE(comFailureHint(devices, "COM5", unplugged).find("unplugged"), std::string::npos);
    EXPECT_EQ(comFailureHint(devices, "COM5", other), "");
}

} // namespace
