// Windows: the serial devices as SetupAPI and the registry show them, for
// port discovery and the setup check.
#pragma once

#include <string>
#include <vector>

#include "serial/com_devices.h"

// The present devices of the Ports class (any bus) and the USB devices of
// the units' adapters' kind (FTDI's vendor id), with or without a driver.
std::vector<ComDevice> Serial_ComDevices();

// The port names in HKLM\HARDWARE\DEVICEMAP\SERIALCOMM: every port a serial
// driver has made, shown or not by SetupAPI (wine's mapped ports only here).
std::vector<std::string> Serial_SerialCommPorts();
