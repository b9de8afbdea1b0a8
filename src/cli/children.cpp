#include "cli/children.h"

namespace cli {

std::vector<std::string> childArgs(const Options& options, const FlashJob& job) {
    std::vector<std::string> args{"--json", "--port", job.port};
    if (options.yes) {
        args.push_back("--yes");
    }
    if (options.noRecord) {
        args.push_back("--no-record");
    } else if (!options.record.empty()) {
        args.push_back("--record=" + options.record);
    }
    if (job.openRetryMs > 0) {
        args.insert(args.end(), {"--open-retry", std::to_string(job.openRetryMs)});
    }
    for (const auto& [key, value] : job.fields.items()) {
        args.push_back("--record-field");
        args.push_back(key + "=" + value.dump(-1, ' ', false, Json::error_handler_t::replace));
    }
    args.push_back("--");
    args.push_back(options.firmware);
    return args;
}

void writePrefixed(std::FILE* to, const std::string& prefix, const std::string& text) {
    size_t start = 0;
    do {
        const size_t end = text.find('\n', start);
        std::fprintf(to, "%s: %s\n", prefix.c_str(), text.substr(start, end - start).c_str());
        start = end == std::string::npos ? end : end + 1;
    } while (start != std::string::npos);
    std::fflush(to);
}

} // namespace cli
