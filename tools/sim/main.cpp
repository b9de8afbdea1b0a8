// zkunit-sim: a virtual radio unit on a pseudo-terminal, for running the
// loader without hardware. Prints the slave's path, then "ready".
#include <cstdio>
#include <string>
#include <vector>

#include "options.h"
#include "simulator.h"

int main(int argc, char** argv) {
    std::string error;
    const auto options = sim::parseOptions(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!options) {
        std::fprintf(stderr, "zkunit-sim: %s\n%s", error.c_str(), sim::usageText());
        return sim::Simulator::kExitSetup;
    }
    if (options->help) {
        std::fputs(sim::usageText(), stdout);
        return sim::Simulator::kExitOk;
    }
    sim::Simulator simulator(*options);
    if (!simulator.setUp(error)) {
        std::fprintf(stderr, "zkunit-sim: %s\n", error.c_str());
        return sim::Simulator::kExitSetup;
    }
    return simulator.run();
}
