// What the flash record needs of the system: where a user's state files go,
// this machine's name, and a line appended so that it survives a crash. One
// file per system implements it (record_system_posix.cpp).
#pragma once

#include <optional>
#include <string>

namespace recordsys {

// The user's folder for programs' state: $XDG_STATE_HOME, else
// ~/.local/state; empty when there is no home either.
std::string stateFolder();

// This machine's name; empty when unknown.
std::string hostName();

// Appends `line` to `path` with one write in append mode, creating missing
// folders (private to the user), and flushes it to the disk before returning.
// Writers take turns, and a line the file ends in without its line feed (a
// writer killed mid-write, a full disk) is ended before `line`. Returns the
// reason when it could not be written whole.
std::optional<std::string> appendDurably(const std::string& path, const std::string& line);

} // namespace recordsys
