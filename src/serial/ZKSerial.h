// The serial link: one process-wide serial port channel and USB-serial port
// discovery. Plain routines over process-wide state; one run uses the channel
// at a time. Failures are recorded as one line of text (Serial_ErrorText) that
// callers test with Serial_HasError; only Serial_Open also returns -1.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Closes any open port, clears the error text, then opens `path` for exclusive
// use, raw 8N1, no flow control, at exactly `speed` bit/s. Returns the port
// descriptor, or -1 with the failure in the error text.
int32_t Serial_Open(const char* path, uint32_t speed);

// Drains and closes the port if one is open. Leaves the error text alone.
void Serial_Close();

// Waits up to about 550 ms for input, then keeps reading while more arrives
// (until ~20 ms of quiet or 1023 bytes). Returns every byte read, NUL and 0xFF
// included; empty when nothing came. The view stays valid until the next read.
std::string_view Serial_ReadText();

// Waits up to about 550 ms for one byte; returns it, or 0 when none came.
uint8_t Serial_ReadByte();

// True when the last Serial_ReadText or Serial_ReadByte delivered no byte.
bool Serial_LastReadEmpty();

// Writes the bytes, then waits until they have been transmitted.
void Serial_Write(const uint8_t* bytes, int32_t length);
void Serial_WriteString(const char* text);

// Bytes the channel has handed to the driver since the process started.
uint64_t Serial_BytesWritten();

// Writes the bytes without waiting for the driver to report them sent. An
// adapter's drain comes back late, when the far end may have answered long
// before; Serial_DiscardUntilSent tells stale input from an answer instead.
void Serial_Send(const uint8_t* bytes, int32_t length);

// Reads and drops input until the last byte written can have reached the far
// end, judged by the line speed (10 bits a byte) from when each write was
// handed to the driver: what arrives before then cannot answer it. Input that
// arrives later stays for the next read. Returns at once once that time has
// passed.
void Serial_DiscardUntilSent();

// Discards bytes received and not yet read.
void Serial_FlushInput();

// Asserts (true) or clears (false) the DTR modem line.
void Serial_SetDTR(bool on);

bool Serial_HasError();
const char* Serial_ErrorText();
// The errno of the pending failure; 0 when none. Hints are chosen from it,
// since the text follows the locale.
int Serial_ErrorNumber();
// Forgets the pending failure once a shell has shown it.
void Serial_ClearError();

// Sleeps the calling thread for `ms` milliseconds, in full.
void Serial_DelayMs(uint32_t ms);

// Appends the device paths of the USB-serial ports, then those of the CDC-ACM
// ports (ttyACM*), each kind in natural order (ttyUSB2 before ttyUSB10),
// behind the list's earlier entries.
void Serial_ListPorts(std::vector<std::string>& list);

// The same, looking in `sysRoot`/bus/usb-serial/devices and `sysRoot`/class/tty
// and naming the nodes under `devRoot`; lets tests use a temporary tree.
void Serial_ListPortsIn(const std::string& sysRoot, const std::string& devRoot,
                        std::vector<std::string>& list);

// What sysfs says about the USB device behind a port. Every field is empty
// when it cannot be read (not a USB port, no such attribute).
struct SerialPortInfo {
    std::string manufacturer; // "FTDI"
    std::string product;      // "FT232R USB UART"
    std::string serial;       // the adapter's serial number, "A50285BI"
    std::string vendorId;     // "0403"
    std::string productId;    // "6001"
    // Where the port sits: the USB path of its device ("1-1.3": port 3 of the
    // hub on port 1 of bus 1), plus ":N" for port N of an adapter with several
    // ("1-1.3:1"). Unlike the tty's name it stays with the place, not the order
    // of plugging.
    std::string socket;

    // "FTDI FT232R USB UART (A50285BI) 0403:6001", leaving out what is
    // unknown; empty when nothing is known.
    std::string description() const;
};

// Looks up the port at `path` (/dev/ttyUSB0, or a link to it such as
// /dev/serial/by-id/...) by its name under /sys/class/tty.
SerialPortInfo Serial_PortInfo(const std::string& path);
// The same under `sysRoot` instead of /sys.
SerialPortInfo Serial_PortInfoIn(const std::string& sysRoot, const std::string& path);

// What the operator can do about the failure `err` (an errno) on the port at
// `path`: for a refused permission how to get access, for a busy or locked
// port which program holds it. Empty when there is no advice.
std::string Serial_FailureHint(int err, const std::string& path);

// The pending failure's text, followed by its hint on a line of its own.
std::string Serial_FailureReport(const std::string& path);
