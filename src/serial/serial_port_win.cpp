// Windows: the port is a COM device, driven through the Win32 communications
// API. "COM5" (or "\\.\COM5") names it; any number works, since the device
// namespace is used whatever the number.
//
// Reads: ReadFile returns what the driver holds at once; a wait for input is
// a one-byte ReadFile whose total timeout is the wait, which returns as soon
// as a byte arrives on Windows and under wine alike. That byte is kept for
// the next read, so the port keeps one byte of its own per handle.
#include "serial/line_speed.h"
#include "serial/port_system.h"
#include "serial/text_win.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <timeapi.h>

namespace portsys {

namespace {

// An open port: its handle, the byte a wait took in, and the read timeout
// last set (changed only when a wait asks for another).
struct Port {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::wstring name;     // "COM5"
    HANDLE lock = nullptr; // the loaders' lock on that name, once taken
    std::optional<uint8_t> waiting;
    DWORD readTimeoutMs = 0;
};

// Handles are numbers handed out here, never reused, so a close from another
// thread (the shell ending a run) leaves a late call with an unknown handle
// rather than another port's.
std::mutex portsMutex;
std::map<Handle, Port> ports;
Handle nextHandle = 1;

HANDLE systemHandle(Handle port) {
    std::lock_guard lock(portsMutex);
    const auto found = ports.find(port);
    return found == ports.end() ? INVALID_HANDLE_VALUE : found->second.handle;
}

// The byte a wait took in, if any; taken out.
std::optional<uint8_t> takeWaiting(Handle port) {
    std::lock_guard lock(portsMutex);
    const auto found = ports.find(port);
    if (found == ports.end()) {
        return std::nullopt;
    }
    return std::exchange(found->second.waiting, std::nullopt);
}

bool hasWaiting(Handle port) {
    std::lock_guard lock(portsMutex);
    const auto found = ports.find(port);
    return found != ports.end() && found->second.waiting.has_value();
}

int lastError() {
    return static_cast<int>(GetLastError());
}

// "COM5" -> "\\.\COM5": names past COM9 exist only in the device namespace.
std::wstring devicePath(const std::string& path) {
    std::string name = path;
    if (name.rfind("\\\\.\\", 0) != 0) {
        name = "\\\\.\\" + name;
    }
    return wintext::wide(name);
}

// The port's name without the device prefix, upper case: "COM5".
std::wstring portName(const std::wstring& device) {
    std::wstring name = device.substr(device.rfind(L'\\') + 1);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](wchar_t c) { return c >= L'a' && c <= L'z' ? c - L'a' + L'A' : c; });
    return name;
}

bool setReadTimeout(Handle port, HANDLE handle, DWORD ms) {
    {
        std::lock_guard lock(portsMutex);
        const auto found = ports.find(port);
        if (found != ports.end() && found->second.readTimeoutMs == ms) {
            return true;
        }
    }
    // No interval or multiplier: a read returns with its one byte or when the
    // total has passed, alike on Windows and under wine (whose interval and
    // MAXDWORD settings behave otherwise).
    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = ms;
    // A write waits for the driver to take the bytes, never for a timeout.
    if (!SetCommTimeouts(handle, &timeouts)) {
        return false;
    }
    std::lock_guard lock(portsMutex);
    if (const auto found = ports.find(port); found != ports.end()) {
        found->second.readTimeoutMs = ms;
    }
    return true;
}

} // namespace

// For line_speed_win.cpp: the COM handle behind a port.
HANDLE systemHandleOf(Handle port) {
    return systemHandle(port);
}

std::string errorText(int number) {
    const std::string text = wintext::systemText(static_cast<DWORD>(number));
    return text.empty() ? "Unknown error" : text;
}

bool lineGone(int number) {
    // What Windows reports on a port whose adapter was unplugged, and what
    // wine reports on a line whose other end closed (ERROR_NOT_READY).
    switch (number) {
    case ERROR_BAD_COMMAND:
    case ERROR_ACCESS_DENIED:
    case ERROR_OPERATION_ABORTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_INVALID_HANDLE:
    case ERROR_DEVICE_NOT_CONNECTED:
        return true;
    default:
        return false;
    }
}

bool openMayPass(int number) {
    // Another program has the port (one probing it right after a plug), or
    // another loader holds it for a moment.
    return number == ERROR_ACCESS_DENIED || number == ERROR_SHARING_VIOLATION;
}

Handle openDevice(const std::string& path, int& error) {
    const std::wstring device = devicePath(path);
    // No sharing: Windows refuses every other opener while the loader has it.
    const HANDLE handle = CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = lastError();
        return kClosed;
    }
    error = 0;
    // Read timeouts run on the system's timer, 15.6 ms a tick by default:
    // a wait of a few milliseconds (until a block has left) would take a
    // whole tick, for every block. 1 ms ticks while a port is open.
    timeBeginPeriod(1);
    std::lock_guard lock(portsMutex);
    const Handle port = nextHandle++;
    ports[port].handle = handle;
    ports[port].name = portName(device);
    return port;
}

std::string configure(Handle port, uint32_t speed, int& error) {
    const HANDLE handle = systemHandle(port);
    const auto failed = [&error](const char* step) {
        error = lastError();
        return std::string(step);
    };
    // Other loaders are kept off as on Linux, by a lock on the port's name:
    // a driver that lets a second opener in (wine's does) still serves one
    // loader at a time. A semaphore belongs to no thread, so any thread may
    // close the port, and it goes with the last handle, so a loader that
    // died holds nothing.
    std::wstring name;
    {
        std::lock_guard lock(portsMutex);
        name = ports[port].name;
    }
    const HANDLE lock = CreateSemaphoreW(nullptr, 1, 1, (L"Global\\zkflash.port." + name).c_str());
    if (lock == nullptr) {
        return failed("Error locking serial port ");
    }
    if (WaitForSingleObject(lock, 0) != WAIT_OBJECT_0) {
        CloseHandle(lock);
        SetLastError(ERROR_SHARING_VIOLATION);
        return failed("Error locking serial port ");
    }
    {
        std::lock_guard guard(portsMutex);
        ports[port].lock = lock;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) {
        return failed("Error getting comm state ");
    }
    dcb.BaudRate = speed;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    // No flow control of any kind: a setting left behind by another program
    // would stall every write.
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fAbortOnError = FALSE;
    // SetCommState drives DTR and RTS from the DCB: keep each as the line has
    // it now, so that setting up the port adds no edge a unit would take for
    // a reset. A handshake setting becomes a plain asserted line.
    if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) {
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
    }
    if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE || dcb.fRtsControl == RTS_CONTROL_TOGGLE) {
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
    }
    if (!SetCommState(handle, &dcb)) {
        return failed("Error setting comm state ");
    }
    if (!SetupComm(handle, 4096, 4096)) {
        return failed("Error setting comm queues ");
    }
    if (!setReadTimeout(port, handle, 1)) {
        return failed("Error setting comm timeouts ");
    }
    requestLowLatency(port);
    return {};
}

void release(Handle port) {
    Port gone;
    {
        std::lock_guard lock(portsMutex);
        const auto found = ports.find(port);
        if (found == ports.end()) {
            return;
        }
        gone = found->second;
        ports.erase(found);
    }
    // A call still under way on another thread ends with the handle.
    CancelIoEx(gone.handle, nullptr);
    CloseHandle(gone.handle);
    if (gone.lock != nullptr) {
        ReleaseSemaphore(gone.lock, 1, nullptr);
        CloseHandle(gone.lock);
    }
    timeEndPeriod(1);
}

int close(Handle port) {
    const HANDLE handle = systemHandle(port);
    const int drained =
        handle == INVALID_HANDLE_VALUE || FlushFileBuffers(handle) ? 0 : lastError();
    release(port);
    return drained;
}

int64_t readNow(Handle port, char* buffer, size_t length, int& error) {
    error = 0;
    if (length == 0) {
        return 0;
    }
    const HANDLE handle = systemHandle(port);
    if (handle == INVALID_HANDLE_VALUE) {
        error = ERROR_INVALID_HANDLE;
        return -1;
    }
    size_t count = 0;
    if (const auto first = takeWaiting(port)) {
        buffer[count++] = static_cast<char>(*first);
    }
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle, &errors, &status)) {
        if (count > 0) {
            return static_cast<int64_t>(count);
        }
        error = lastError();
        return -1;
    }
    // Only what the driver already holds: such a read does not wait.
    const DWORD want = static_cast<DWORD>(std::min<size_t>(length - count, status.cbInQue));
    if (want > 0) {
        DWORD got = 0;
        if (!ReadFile(handle, buffer + count, want, &got, nullptr)) {
            if (count > 0) {
                return static_cast<int64_t>(count);
            }
            error = lastError();
            return -1;
        }
        count += got;
    }
    return static_cast<int64_t>(count);
}

Ready waitForInput(Handle port, std::chrono::nanoseconds timeout) {
    Ready found;
    if (hasWaiting(port)) {
        found.input = true;
        return found;
    }
    const HANDLE handle = systemHandle(port);
    if (handle == INVALID_HANDLE_VALUE) {
        found.failed = true;
        return found;
    }
    // A line that has gone says so at once (a read on it only times out
    // under wine).
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle, &errors, &status)) {
        (lineGone(lastError()) ? found.gone : found.failed) = true;
        return found;
    }
    if (status.cbInQue > 0) {
        found.input = true;
        return found;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(timeout).count();
    if (ms <= 0) {
        return found;
    }
    // A zero total timeout would mean no timeout at all: at least 1 ms.
    if (!setReadTimeout(port, handle, static_cast<DWORD>(std::max<int64_t>(ms, 1)))) {
        (lineGone(lastError()) ? found.gone : found.failed) = true;
        return found;
    }
    uint8_t byte = 0;
    DWORD got = 0;
    if (!ReadFile(handle, &byte, 1, &got, nullptr)) {
        const int err = lastError();
        (lineGone(err) ? found.gone : found.failed) = true;
        return found;
    }
    if (got == 1) {
        std::lock_guard lock(portsMutex);
        if (const auto it = ports.find(port); it != ports.end()) {
            it->second.waiting = byte;
            found.input = true;
        }
        return found;
    }
    // The time ran out: a line gone meanwhile is told now, not a slot later.
    if (!ClearCommError(handle, &errors, &status)) {
        (lineGone(lastError()) ? found.gone : found.failed) = true;
    }
    return found;
}

int64_t writeSome(Handle port, const uint8_t* bytes, size_t length, int& error) {
    const HANDLE handle = systemHandle(port);
    DWORD written = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(length, MAXDWORD));
    if (handle == INVALID_HANDLE_VALUE || !WriteFile(handle, bytes, want, &written, nullptr)) {
        error = handle == INVALID_HANDLE_VALUE ? ERROR_INVALID_HANDLE : lastError();
        return -1;
    }
    error = 0;
    return static_cast<int64_t>(written);
}

int drain(Handle port) {
    const HANDLE handle = systemHandle(port);
    if (handle == INVALID_HANDLE_VALUE) {
        return ERROR_INVALID_HANDLE;
    }
    // Returns once the driver has sent what it was given.
    return FlushFileBuffers(handle) ? 0 : lastError();
}

void discardInput(Handle port) {
    (void)takeWaiting(port);
    const HANDLE handle = systemHandle(port);
    if (handle != INVALID_HANDLE_VALUE) {
        (void)PurgeComm(handle, PURGE_RXCLEAR);
    }
}

int setDtr(Handle port, bool on) {
    const HANDLE handle = systemHandle(port);
    if (handle == INVALID_HANDLE_VALUE) {
        return ERROR_INVALID_HANDLE;
    }
    return EscapeCommFunction(handle, on ? SETDTR : CLRDTR) ? 0 : lastError();
}

} // namespace portsys
