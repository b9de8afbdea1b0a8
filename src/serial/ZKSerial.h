// The serial link: the serial port channel and USB-serial port discovery. The
// process has one default port, used through the plain Serial_ routines;
// failures are recorded as values (SerialFailure; Serial_ErrorText renders the
// pending one) that callers test with Serial_HasError; only Serial_Open also
// returns -1.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "serial/SerialLink.h"

// A serial port on this machine, through the system's interface (port_system.h:
// a terminal device node on POSIX). One run uses a port at a time; close() may
// come from another thread (the shell's termination) while a call is under way.
class ZKSerial : public SerialLink {
public:
    ZKSerial() = default;
    ~ZKSerial() override { close(); }
    ZKSerial(const ZKSerial&) = delete;
    ZKSerial& operator=(const ZKSerial&) = delete;

    int32_t open(const std::string& path, uint32_t speed) override;
    void close() override;
    std::string_view readText() override;
    uint8_t readByte() override;
    bool lastReadEmpty() const override { return lastReadCount_ == 0; }
    void send(const uint8_t* bytes, int32_t length) override;
    void write(const uint8_t* bytes, int32_t length) override;
    // Judged by the line speed (10 bits a byte) from when each write was
    // handed to the driver: what arrives before then cannot answer it. An
    // adapter's drain comes back late, when the far end may have answered
    // long before, so the sender tells stale input from an answer this way.
    void discardUntilSent() override;
    void flushInput() override;
    void setDTR(bool on) override;
    uint64_t bytesWritten() const override { return bytesWritten_; }
    void delayMs(uint32_t ms) override;
    std::chrono::steady_clock::duration now() const override;

private:
    int32_t failOpen(const std::string& step, const std::string& path, int err);

    std::atomic<std::intptr_t> port_{-1}; // the system's handle; -1 while closed
    int64_t lastReadCount_ = 0;
    char receiveBuffer_[1024] = {};
    uint64_t bytesWritten_ = 0;
    uint32_t lineSpeed_ = 0; // bit/s of the open port
    std::chrono::steady_clock::time_point
        lineFreeAt_{}; // when the last byte written can have arrived
};

// The process's own port, which the Serial_ operations below use: the
// single-unit flow's serial link.
ZKSerial& Serial_DefaultPort();

// The default port's operations (see SerialLink for each).
int32_t Serial_Open(const char* path, uint32_t speed);
void Serial_Close();
std::string_view Serial_ReadText();
uint8_t Serial_ReadByte();
bool Serial_LastReadEmpty();
void Serial_Write(const uint8_t* bytes, int32_t length);
void Serial_WriteString(const char* text);
void Serial_FlushInput();
void Serial_SetDTR(bool on);
bool Serial_HasError();
// The pending failure's text, "<what> - <system text>(<number>).\n"; empty
// when none.
const char* Serial_ErrorText();
// The system's error number of the pending failure; 0 when none.
int Serial_ErrorNumber();
// Sleeps the calling thread for `ms` milliseconds, in full.
void Serial_DelayMs(uint32_t ms);

// Port discovery, one file per system (ports_linux.cpp: sysfs; the sysfs
// roots for tests and the station are in ports_linux.h).
//
// Appends the device paths of the USB-serial ports, then those of the CDC-ACM
// ports (ttyACM*), each kind in natural order (ttyUSB2 before ttyUSB10),
// behind the list's earlier entries.
void Serial_ListPorts(std::vector<std::string>& list);

// What the system says about the USB device behind a port. Every field is
// empty when it cannot be read (not a USB port, no such attribute).
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
// /dev/serial/by-id/...).
SerialPortInfo Serial_PortInfo(const std::string& path);
