// Several units from one command: a station runner whose sockets are the
// ports given, each flashed once by a loader process of its own, all at the
// same time, so that one unit's failure neither stops nor slows the others.
#pragma once

#include "cli/cli.h"

#include <string>
#include <vector>

namespace cli {

// Flashes options.firmware into every port at once. Each child is this program
// with one --port and --json; its log lines are shown behind their port, a
// terminal gets one progress line per port, the receiver's prompt is asked
// once for all (the end of the input cancels the units waiting for it),
// Ctrl-C is passed on to every child, and a table of port,
// adapter serial, outcome and seconds ends the run. Returns 0 when every unit
// started its application, else the highest of the children's statuses.
int flashSeveral(const Options& options, const std::vector<std::string>& ports);

// 0 when every status is 0, else the highest (1 before 2 before 130).
int combinedExitStatus(const std::vector<int>& statuses);

} // namespace cli
