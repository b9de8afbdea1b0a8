// Small text files read whole: sysfs attributes for port discovery, and the
// files the setup check reads.
#pragma once

#include <filesystem>
#include <string>

namespace textfile {

// The first line of a file without its line end and trailing blanks; empty
// when unreadable.
std::string readLine(const std::filesystem::path& file);
// The whole file; empty when unreadable.
std::string readText(const std::filesystem::path& file);

} // namespace textfile
