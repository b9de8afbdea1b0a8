// The command line of every mode, as arguments separated by NUL bytes: each
// is parsed or refused with a reason, and the record fields of an accepted
// one are made or refused likewise.
#include "Fuzz.h"
#include "cli/cli.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto parts = fuzz::split({reinterpret_cast<const char*>(data), size}, '\0');
    std::string error;
    const auto options = cli::parseArgs({parts.begin(), parts.end()}, error);
    FUZZ_REQUIRE(options || !error.empty());
    error.clear();
    FUZZ_REQUIRE(!options || cli::recordFields(*options, error) || !error.empty());
    return 0;
}
