// The console that the station and several units from one command run on, as
// far as it differs between systems: whether standard error is a terminal,
// and what the operator typed on standard input.
#pragma once

namespace cli::console {

bool errorIsTerminal();

// What standard input had: a line (Enter), its end, or nothing whole yet.
enum class Input { Nothing, Line, Ended };
// Reads what standard input holds now; call it once the input is ready.
Input readInput();

} // namespace cli::console
