#include "options.h"

#include <charconv>

namespace sim {

namespace {

constexpr uint32_t kTransmitterSpeed = 115200;
constexpr uint32_t kReceiverSpeed = 109000;

std::optional<uint32_t> parseNumber(const std::string& text) {
    uint32_t value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || text.empty()) {
        return std::nullopt;
    }
    return value;
}

// A data block number: 1 or more.
std::optional<uint32_t> parseBlock(const std::string& text) {
    auto n = parseNumber(text);
    if (!n || *n == 0) {
        return std::nullopt;
    }
    return n;
}

} // namespace

uint32_t expectedSpeed(Target target) {
    return target == Target::Transmitter ? kTransmitterSpeed : kReceiverSpeed;
}

const char* usageText() {
    return "usage: zkunit-sim [--target tx|rx] [--out DIR] [--once] [fault options]\n"
           "  --target tx|rx      which unit (default tx): expected speed 115200 (tx) / 109000 "
           "(rx)\n"
           "  --out DIR           where to write received.bin and events.log (default: a new "
           "temp dir)\n"
           "  --once              exit 0 after the application was started, or 1 after a "
           "hang-up / 60 s idle\n"
           "  --silent            never answer anything\n"
           "  --wrong-mode        answer every \"BOOT\" with 0xFF 0xFF 0xFF\n"
           "  --split-banner      send the banner in two writes ~60 ms apart\n"
           "  --nak-block N       NAK the first copy of data block N\n"
           "  --drop-ack N:K      stay silent on the first K copies of data block N\n"
           "  --can-at N          answer data block N with CAN CAN\n"
           "  --slow-flash MS     spend MS extra ms writing flash before answering each data "
           "block\n"
           "  --hangup-at N       close the line on receiving data block N\n";
}

std::optional<Options> parseOptions(const std::vector<std::string>& args, std::string& error) {
    Options options;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= args.size()) {
                error = arg + " needs a value";
                return std::nullopt;
            }
            return args[++i];
        };
        auto blockValue = [&]() -> std::optional<uint32_t> {
            auto text = value();
            if (!text) {
                return std::nullopt;
            }
            auto n = parseBlock(*text);
            if (!n) {
                error = arg + ": not a data block number (1 or more): " + *text;
            }
            return n;
        };

        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--target") {
            auto text = value();
            if (!text) {
                return std::nullopt;
            }
            if (*text == "tx") {
                options.target = Target::Transmitter;
            } else if (*text == "rx") {
                options.target = Target::Receiver;
            } else {
                error = "--target: expected tx or rx, got " + *text;
                return std::nullopt;
            }
        } else if (arg == "--out") {
            auto text = value();
            if (!text) {
                return std::nullopt;
            }
            if (text->empty()) {
                error = "--out: empty directory name";
                return std::nullopt;
            }
            options.outDir = *text;
        } else if (arg == "--once") {
            options.once = true;
        } else if (arg == "--silent") {
            options.faults.silent = true;
        } else if (arg == "--wrong-mode") {
            options.faults.wrongMode = true;
        } else if (arg == "--split-banner") {
            options.faults.splitBanner = true;
        } else if (arg == "--nak-block") {
            auto n = blockValue();
            if (!n) {
                return std::nullopt;
            }
            options.faults.nakBlocks.insert(*n);
        } else if (arg == "--drop-ack") {
            auto text = value();
            if (!text) {
                return std::nullopt;
            }
            const size_t colon = text->find(':');
            auto n = colon == std::string::npos ? std::nullopt : parseBlock(text->substr(0, colon));
            auto k =
                colon == std::string::npos ? std::nullopt : parseNumber(text->substr(colon + 1));
            if (!n || !k || *k == 0) {
                error = "--drop-ack: expected N:K with N and K 1 or more, got " + *text;
                return std::nullopt;
            }
            options.faults.dropAcks[*n] = *k;
        } else if (arg == "--can-at") {
            auto n = blockValue();
            if (!n) {
                return std::nullopt;
            }
            options.faults.canAt = n;
        } else if (arg == "--slow-flash") {
            auto text = value();
            if (!text) {
                return std::nullopt;
            }
            auto ms = parseNumber(*text);
            if (!ms || *ms > 600000) {
                error = "--slow-flash: expected milliseconds (0 to 600000), got " + *text;
                return std::nullopt;
            }
            options.faults.slowFlashMs = *ms;
        } else if (arg == "--hangup-at") {
            auto n = blockValue();
            if (!n) {
                return std::nullopt;
            }
            options.faults.hangupAt = n;
        } else {
            error = "unknown option: " + arg;
            return std::nullopt;
        }
    }
    return options;
}

} // namespace sim
