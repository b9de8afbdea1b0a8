// Windows: records under %LOCALAPPDATA%, the computer's name, and a line
// appended with one write, in turn with other loaders, and flushed to the disk. Paths are UTF-8
// here and wide for the system.
#include "flash/record_system.h"
#include "serial/text_win.h"

#include <cstdlib>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace recordsys {

namespace {

bool separator(char c) {
    return c == '\\' || c == '/';
}

// Creates every missing folder above `path`'s last component.
std::optional<std::string> makeParents(const std::string& path) {
    // Past a drive ("C:\") or a share ("\\server\share\").
    size_t from = 0;
    if (path.size() > 2 && path[1] == ':') {
        from = 3;
    } else if (path.size() > 2 && separator(path[0]) && separator(path[1])) {
        const size_t server = path.find_first_of("\\/", 2);
        from = server == std::string::npos ? path.size() : path.find_first_of("\\/", server + 1);
    }
    for (size_t at = path.find_first_of("\\/", from); at != std::string::npos;
         at = path.find_first_of("\\/", at + 1)) {
        const std::string dir = path.substr(0, at);
        if (!CreateDirectoryW(wintext::wide(dir).c_str(), nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS) {
            return dir + ": " + wintext::errorText(GetLastError());
        }
    }
    return std::nullopt;
}

} // namespace

std::string stateFolder() {
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    if (local == nullptr || local[0] == L'\0') {
        return {};
    }
    return wintext::narrow(local);
}

std::string hostName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    return GetComputerNameW(name, &size) ? wintext::narrow(std::wstring(name, size))
                                         : std::string();
}

std::optional<std::string> appendDurably(const std::string& path, const std::string& line) {
    if (auto failed = makeParents(path)) {
        return failed;
    }
    // Append access (with reading, to see how the file ends, where it is
    // allowed): each write lands at the end as one piece, so the records of
    // loaders running side by side stay whole.
    HANDLE file = INVALID_HANDLE_VALUE;
    for (const DWORD access : {GENERIC_READ | FILE_APPEND_DATA, DWORD{FILE_APPEND_DATA}}) {
        file = CreateFileW(wintext::wide(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED) {
            break;
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        return path + ": " + wintext::errorText(GetLastError());
    }
    // Loaders side by side take turns, locking a byte far past any record
    // (which locks no record against a reader), so that each sees the end
    // the last one left. A line cut short there (a loader killed mid-write,
    // a full disk) is ended first: this record starts a line of its own.
    OVERLAPPED turn{};
    turn.Offset = turn.OffsetHigh = MAXDWORD - 1;
    const bool locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &turn) != 0;
    std::string text = line;
    LARGE_INTEGER size{};
    OVERLAPPED at{};
    char last = '\n';
    DWORD got = 0;
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0) {
        at.Offset = static_cast<DWORD>(size.QuadPart - 1);
        at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
        if (ReadFile(file, &last, 1, &got, &at) && got == 1 && last != '\n') {
            text.insert(0, "\n");
        }
    }
    DWORD written = 0;
    const BOOL wrote =
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    DWORD err = wrote ? 0 : GetLastError();
    if (locked) {
        UnlockFileEx(file, 0, 1, 0, &turn);
    }
    // On the disk before the run is reported: a crash or power cut then
    // loses at most the run in progress.
    if (wrote && !FlushFileBuffers(file)) {
        err = GetLastError();
    }
    CloseHandle(file);
    if (err != 0) {
        return path + ": " + wintext::errorText(err);
    }
    if (written != text.size()) {
        return path + ": only " + std::to_string(written) + " of " + std::to_string(text.size()) +
               " bytes written";
    }
    return std::nullopt;
}

} // namespace recordsys
