// What the serial port needs of the operating system: a device opened for the
// loader alone at an exact speed, waiting for input, moving bytes, the DTR
// line, and the system's texts for its error numbers. ZKSerial keeps the
// channel's timing and failure texts on top. One file per system implements
// it (serial_port_posix.cpp).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace portsys {

// An open port: a file descriptor, or the handle of a Windows device.
using Handle = std::intptr_t;
inline constexpr Handle kClosed = -1;

// The system's text for its error number ("No such file or directory").
std::string errorText(int number);

// True for an error of a read that no wait can mend: the line has gone (hung
// up, its adapter unplugged).
bool lineGone(int number);

// True for an open refused for a reason that may pass: no access yet (right
// after a plug udev may still be applying the port's rights) or another
// program has the port (probing it, say).
bool openMayPass(int number);

// Opens the device at `path` without waiting for carrier and without making it
// a controlling terminal. kClosed with `error` set when it cannot be opened.
Handle openDevice(const std::string& path, int& error);

// Makes the opened device the loader's alone (other openers and other
// loaders, root included, are refused), raw 8N1 without flow control at
// exactly `speed` bit/s, reads returning at once, and asks for low latency.
// Returns empty, or the failing step as the serial error text names it
// before the path ("Error setting TIOCEXCL on ") with `error` set.
std::string configure(Handle port, uint32_t speed, int& error);

// Closes a device whose configuration failed, without draining it.
void release(Handle port);

// Drains the output, hands exclusive use back and closes the port. Returns
// the drain's error number; 0 when it drained.
int close(Handle port);

// Reads what has arrived, up to `length` bytes, without waiting. Returns the
// count, 0 when nothing was there, or -1 with `error` set.
int64_t readNow(Handle port, char* buffer, size_t length, int& error);

// What a wait for input found; nothing set: the time ran out.
struct Ready {
    bool input = false;       // bytes can be read
    bool gone = false;        // hung up, or the device went away
    bool interrupted = false; // a signal came first
    bool failed = false;      // the wait itself failed
};
Ready waitForInput(Handle port, std::chrono::nanoseconds timeout);

// Writes what the driver takes now of `length` bytes, trying again when a
// signal interrupts. Returns the count, or -1 with `error` set.
int64_t writeSome(Handle port, const uint8_t* bytes, size_t length, int& error);

// Waits until the bytes written have been transmitted. Returns the error
// number; 0 when drained.
int drain(Handle port);

// Drops the bytes received and not yet read.
void discardInput(Handle port);

// Asserts (true) or clears (false) DTR. Returns the error number; 0 on success.
int setDtr(Handle port, bool on);

} // namespace portsys
