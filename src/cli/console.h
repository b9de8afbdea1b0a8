// The console the loader runs on, as far as it differs between systems: the
// operator's Ctrl-C and SIGTERM, whether standard error is a terminal, and
// what the operator typed on standard input.
#pragma once

namespace cli {

// Sends Ctrl-C (SIGINT) and SIGTERM to `handler`, which may only set atomic
// flags and leave (std::_Exit). A wait for the loaders or the input ends
// early when one arrives.
void onCancelSignals(void (*handler)(int));

} // namespace cli

namespace cli::console {

bool errorIsTerminal();
bool outputIsTerminal();

// Standard input, as a view is given it (a test gives a pipe's end instead).
inline constexpr int kStandardInput = 0;

// What standard input had: a line (Enter), its end, or nothing whole yet.
enum class Input { Nothing, Line, Ended };
// Reads what standard input holds now; call it once the input is ready.
Input readInput();
// What `input` holds now, without waiting: Nothing when it has nothing.
Input pollInput(int input);

} // namespace cli::console
