// Windows: a firmware file read only when it is a file on a disk (not a
// folder, a pipe or a device), with the system's text for a failure; a path's
// folders end in "\" or "/".
#include "flash/FirmwareFile.h"

#include "flash/FlashRun.h"
#include "serial/text_win.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {} // namespace

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
    LARGE_INTEGER size{};
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        file.reason = "not a regular file";
    } else if (!GetFileSizeEx(handle, &size)) {
        file.reason = wintext::errorText(GetLastError());
    } else {
        bytes.resize(kEnough);
        size_t got = 0;
        while (got < kEnough) {
            DWORD n = 0;
            if (!ReadFile(handle, bytes.data() + got, static_cast<DWORD>(kEnough - got), &n,
                          nullptr)) {
                file.reason = wintext::errorText(GetLastError());
                break;
            }
            if (n == 0) {
                break;
            }
            got += n;
        }
        bytes.resize(got);
        bytes.shrink_to_fit();
        if (file.reason.empty() && got == 0) {
            file.reason = "nothing to flash";
        }
    }
    CloseHandle(handle);
    if (file.reason.empty()) {
        // Read whole, the bytes tell the size; cut short, the file system does.
        file.size = bytes.size() < kEnough
                        ? bytes.size()
                        : std::max<uint64_t>(bytes.size(), static_cast<uint64_t>(size.QuadPart));
        file.image = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
    }
    return file;
}

std::string firmwareFileName(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
