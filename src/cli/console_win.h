// Windows: standard input read on a thread of its own (a console, a pipe and
// a file each wait differently), so that the loader processes' wait can wake
// for it too.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace cli::console {

// Set while standard input has a line or its end that readInput() has not
// taken yet; reading starts at the first call.
HANDLE inputEvent();

// Set when a cancel (Ctrl-C, a closing console, the parent's event) has
// arrived, so that a wait ends early as a signal ends one on POSIX.
HANDLE cancelEvent();

// The environment variable through which a loader process learns the name
// of its parent's cancel events ("<name>.int", "<name>.term").
inline constexpr const wchar_t* kCancelEventsVariable = L"ZKFLASH_CANCEL_EVENTS";

} // namespace cli::console
