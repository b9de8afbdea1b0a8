// Windows, for now: several units from one command and the station run their
// units in loader processes and watch the ports through the station runner,
// whose launcher and port watch have no Windows files yet. Until they do,
// both are refused with a usage error rather than half done.
#include "cli/cli.h"
#include "cli/multi_port.h"

#include <cstdio>

namespace cli {

int flashSeveral(const Options&, const std::vector<std::string>&) {
    std::fprintf(stderr, "%s: several units at once are not available on Windows yet\n", kProgram);
    return kExitUsage;
}

int runStation(const Options&) {
    std::fprintf(stderr, "%s: --station is not available on Windows yet\n", kProgram);
    return kExitUsage;
}

} // namespace cli
