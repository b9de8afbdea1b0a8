// Windows: a firmware file read only when it is a file on a disk (not a
// folder, a pipe or a device), with the system's text for a failure; a path's
// folders end in "\" or "/".
#include "flash/FirmwareFile.h"

#include "flash/FlashRun.h"
#include "serial/text_win.h"

#include <cerrno>
#include <cstring>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

FirmwareFile readFirmwareFile(const std::string& path) {
    FirmwareFile file;
    const std::wstring name = wintext::wide(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        file.reason = std::strerror(EISDIR);
        return file;
    }
    const HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        file.reason = wintext::errorText(GetLastError());
        return file;
    }
    constexpr size_t kEnough = kMaxImageSize + 1;
    std::vector<uint8_t> bytes;
    std::string reason;
    LARGE_INTEGER size{};
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        reason = "not a regular file";
    } else if (!GetFileSizeEx(handle, &size)) {
        reason = wintext::errorText(GetLastError());
    } else {
        bytes.resize(kEnough);
        size_t got = 0;
        while (got < kEnough) {
            DWORD n = 0;
            if (!ReadFile(handle, bytes.data() + got, static_cast<DWORD>(kEnough - got), &n,
                          nullptr)) {
                reason = wintext::errorText(GetLastError());
                break;
            }
            if (n == 0) {
                break;
            }
            got += n;
        }
        bytes.resize(got);
    }
    CloseHandle(handle);
    return firmwareRead(std::move(bytes), static_cast<uint64_t>(size.QuadPart), std::move(reason));
}

std::string firmwareFileName(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
