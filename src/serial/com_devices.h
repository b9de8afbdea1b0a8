// Windows' serial devices as plain records: what SetupAPI and the registry
// tell of each (ports_win.cpp gathers them), and what the loader makes of
// them: the port list, each port's adapter and socket. Plain data and no
// system calls, so the decisions are tested on any system.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "serial/ZKSerial.h"

struct ComDevice {
    // The device instance id: "FTDIBUS\VID_0403+PID_6001+A50285BIA\0000",
    // "USB\VID_2341&PID_0043\85735313233351B0D1B1".
    std::string instanceId;
    std::string description;  // "USB Serial Port (COM5)"
    std::string manufacturer; // "FTDI"
    std::string portName;     // "COM5"; empty when the driver made no port
    // Where it is plugged in, from the device's or its USB parent's location
    // paths: "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)#USB(1)".
    std::string location;
    std::string service;               // its driver's service ("FTDIBUS", "usbser"); empty: none
    uint32_t problem = 0;              // the device manager's problem code; 0: working
    bool present = true;               // plugged in now
    std::optional<uint32_t> latencyMs; // an FTDI port's LatencyTimer
};

// "0403" and "6001" from "VID_0403" and "PID_6001" in an id; empty when absent.
std::string comVendorId(const std::string& instanceId);
std::string comProductId(const std::string& instanceId);

// The adapter's own serial number from its instance id: FTDI's driver appends
// the channel letter ("A50285BIA" is A50285BI's channel A); a USB device's
// last part is its serial number unless Windows made one up (it then holds
// '&'). Empty when there is none.
std::string comSerialNumber(const std::string& instanceId);

// The port's adapter and socket as the rest of the loader knows them. A
// channel past the first of a multi-channel FTDI chip adds ":N" to the
// socket, as on Linux.
SerialPortInfo comPortInfo(const ComDevice& device);

// The ports to list: those of present USB devices with a port, in natural
// order (COM2 before COM10), then the names in the registry's SERIALCOMM map
// that no device record names (wine's mapped ports, drivers SetupAPI does not
// show), in natural order too. A port on another bus that SetupAPI shows (a
// motherboard's COM1) is left out, as Linux leaves out ttyS*.
std::vector<std::string> comPortList(const std::vector<ComDevice>& devices,
                                     const std::vector<std::string>& serialComm);

// The record of the device behind `port` ("COM5", "\\.\COM5", any case).
const ComDevice* comDeviceOf(const std::vector<ComDevice>& devices, const std::string& port);

// "COM5" from "\\.\com5"; the name as given otherwise.
std::string comPortName(const std::string& port);

// True for a name that is a COM port's: "COM" and a number.
bool isComPortName(const std::string& name);
