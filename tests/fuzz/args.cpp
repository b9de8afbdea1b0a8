// The command line of every mode, as arguments separated by NUL bytes: each
// is parsed or refused with a reason, and the record fields of an accepted
// one are made or refused likewise.
#include "Fuzz.h"
#include "cli/cli.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (size_t at = 0; at <= text.size();) {
        const size_t end = std::min(text.find('\0', at), text.size());
        args.emplace_back(text.substr(at, end - at));
        at = end + 1;
    }
    std::string error;
    const auto options = cli::parseArgs(args, error);
    FUZZ_REQUIRE(options || !error.empty());
    if (options) {
        error.clear();
        FUZZ_REQUIRE(cli::recordFields(*options, error) || !error.empty());
    }
    return 0;
}
