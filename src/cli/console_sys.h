// The console as the single-unit run needs it, per system.
#pragma once

namespace cli::sys {

// 0: standard input, 1: output, 2: error.
bool isTerminal(int stream);

// What the input `fd` brought since the last call, without waiting.
enum class Input { Nothing, Line, Ended };
Input pollInput(int fd);

// Ctrl-C (SIGINT's number) and a request to end (SIGTERM's) go to `handler`.
void onCancel(void (*handler)(int));

// Ends the process at once with `status`.
[[noreturn]] void exitNow(int status);

} // namespace cli::sys
