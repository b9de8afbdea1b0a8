// Text from outside (a USB device's strings, a file's name, a record) as it
// may be shown to a person: control characters and bytes that are not UTF-8
// become visible escapes ("\x1b"), so that nothing a device or a file carries
// can move the cursor, set a terminal's title or break a line of a table.
#pragma once

#include <string>
#include <string_view>

// `text` with every control character (C0, DEL, C1) and every byte that is not
// part of well-formed UTF-8 written as \xNN; line feeds are kept when
// `lines` is set (a log line of several lines), else escaped too.
std::string printable(std::string_view text, bool lines = false);
