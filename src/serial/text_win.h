// Windows: the system's texts, for the Windows files of every layer. Windows
// speaks UTF-16; the program's texts are UTF-8.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <string_view>

namespace wintext {

std::wstring wide(std::string_view text);
std::string narrow(std::wstring_view text);

// The system's text for `error`, without its period and line break; empty
// when it has none.
std::string systemText(DWORD error);
// The same, or "error N" when it has none.
std::string errorText(DWORD error);

} // namespace wintext
