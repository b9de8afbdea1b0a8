// Linux: port discovery under given sysfs and /dev roots, so that tests and
// the station's socket watch can use a temporary tree of adapters.
#pragma once

#include <string>
#include <vector>

#include "serial/ZKSerial.h"

// Serial_ListPorts looking in `sysRoot`/bus/usb-serial/devices and
// `sysRoot`/class/tty and naming the nodes under `devRoot`.
void Serial_ListPortsIn(const std::string& sysRoot, const std::string& devRoot,
                        std::vector<std::string>& list);

// Serial_PortInfo under `sysRoot` instead of /sys: the port's entry under
// `sysRoot`/class/tty.
SerialPortInfo Serial_PortInfoIn(const std::string& sysRoot, const std::string& path);

// Where sysfs and the device nodes are: /sys and /dev, unless ZK_SYS_ROOT and
// ZK_DEV_ROOT name other folders (a test's tree of adapters that come and go).
const std::string& Serial_SysRoot();
const std::string& Serial_DevRoot();
