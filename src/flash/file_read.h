// A file read whole, as far as a limit: what the firmware file needs of the
// system. One file per system implements it (file_read_posix.cpp,
// file_read_win.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fileread {

// The characters that end a folder's name in a path: "/", on Windows "\\/".
extern const char* const kSeparators;

struct Whole {
    std::vector<uint8_t> bytes; // the first bytes, up to the limit
    uint64_t size = 0;          // the file's length as the file system tells it
    std::string reason;         // why it could not be read; empty when it was
};

// Reads up to `limit` bytes of the regular file at `path`. Anything else (a
// folder, a FIFO, a device) is refused without waiting on it.
Whole readRegular(const std::string& path, size_t limit);

} // namespace fileread
