// zkflash-cli --doctor: the setup check, as text or as one JSON object.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace cli {

// Runs the setup check on this machine, trying the exact speeds on `ports`,
// and writes one line per check (and a fix line under each problem), or with
// `json` the object {"checks":[{"id","status","finding","fix"}...],
// "status", "failures", "warnings"}. Returns 0 without failures, else 1.
int runDoctor(const std::vector<std::string>& ports, bool json, std::FILE* out);

} // namespace cli
